// Notebook files and the source-line helpers of the cell views. Reading checks the whole file
// with the JSON reader and builds what the engines look at; writing streams the text and
// replaces the file atomically.
#include "qor/notebook.h"

#include <memory>

#include "platform/file.h"

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

json::Value read_notebook(const std::string& path) {
  // The cells (level 2), their members and their metadata are built; deeper arrays and objects
  // in written form (outputs, sources, attachments) stay slices of the file's bytes until a
  // merge or a diff looks into them, and are written back by copying them.
  static constexpr std::string_view kBuilt[] = {"metadata"};
  auto bytes = std::make_shared<platform::FileBuffer>(platform::FileBuffer::read(path));
  const std::string_view text = bytes->view();
  return json::parse_lazy(text, path, std::move(bytes), {3, kBuilt});
}

void write_notebook(const std::string& path, const json::Value& doc) {
  // Streamed: the text of a large notebook is never held in memory whole.
  platform::replace_file_with(
      path, [&](const std::function<void(std::string_view)>& emit) { json::write(doc, emit); });
}

}  // namespace qor::notebook
