// Notebook files and the helpers of the views. Reading parses the whole file with the JSON
// reader; writing streams the text into a file that replaces the old one atomically.
#include "qor/notebook.h"

#include "platform/file.h"

namespace qor::notebook {
namespace {

platform::FileBuffer read_bytes(const std::string& path, const std::string& name) {
  try {
    return platform::FileBuffer::read(path);
  } catch (const IoError& e) {
    if (name.empty()) throw;
    throw IoError(e.error_code(), path, name + ": " + e.what());
  }
}

}  // namespace

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

std::string version_name(std::string_view notebook, std::string_view version) {
  return std::string(notebook) + " (" + std::string(version) + " version)";
}

json::Value read_notebook(const std::string& path, const std::string& name) {
  // The parsed part of the file is given back as the document grows, so that a read never
  // holds the whole file next to the whole document.
  platform::FileBuffer bytes = read_bytes(path, name);
  return json::parse(
      bytes.view(), name.empty() ? path : name,
      [](void* buffer, std::size_t from, std::size_t to) {
        static_cast<platform::FileBuffer*>(buffer)->discard(from, to);
      },
      &bytes);
}

void write_notebook(const std::string& path, const json::Value& doc, Layout layout) {
  // Streamed: the text of a large notebook is never held in memory whole.
  platform::replace_file_with(path, [&](const std::function<void(std::string_view)>& emit) {
    if (layout == Layout::kJupyter) {
      json::write_pretty(doc, emit);
      emit("\n");
    } else {
      json::write(doc, emit);
    }
  });
}

}  // namespace qor::notebook
