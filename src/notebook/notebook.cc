// Notebook files and the source-line helpers of the cell views. Reading parses the whole file
// with the JSON reader; writing serialises once and replaces the file atomically.
#include "qor/notebook.h"

#include "notebook/notebook_file.h"
#include "platform/file.h"
#include "qor/interrupt.h"

namespace qor::notebook {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::vector<std::string> source_lines(const Cell& cell) {
  const json::Value& source = *cell.source();
  std::vector<std::string> lines;
  if (source.is_string()) {
    for (std::string_view line : split_lines(source.as_string())) lines.emplace_back(line);
    return lines;
  }
  for (const json::Value& line : source.as_array()) {
    if (!line.is_string()) {
      throw TypeError(std::string("cell source lines must be str, not ") + line.type_name());
    }
    lines.emplace_back(line.as_string());
  }
  return lines;
}

json::Value parse_notebook(platform::FileBuffer bytes, const std::string& path) {
  // The parsed part of the file is given back as the document grows, so that a read never
  // holds the whole file next to the whole document; that is also where a long parse polls
  // for interruption.
  return json::parse(
      bytes.view(), path,
      [](void* buffer, std::size_t from, std::size_t to) {
        static_cast<platform::FileBuffer*>(buffer)->discard(from, to);
        interrupt::poll();
      },
      &bytes);
}

json::Value read_notebook(const std::string& path) {
  return parse_notebook(platform::FileBuffer::read(path), path);
}

void write_notebook(const std::string& path, const json::Value& doc) {
  // Streamed: the text of a large notebook is never held in memory whole.
  platform::replace_file_with(
      path, [&](const std::function<void(std::string_view)>& emit) { json::write(doc, emit); });
}

}  // namespace qor::notebook
