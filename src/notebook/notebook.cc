// Notebook files and the lenient reads of a notebook's parts. Reading checks the whole file with
// the JSON reader and builds what the engines look at; writing streams the text into a file that
// replaces the old one atomically.
#include "qor/notebook.h"

#include <cerrno>
#include <memory>
#include <optional>

#include "json/item_texts.h"
#include "notebook/notebook_file.h"
#include "platform/file.h"
#include "qor/errors.h"
#include "qor/interrupt.h"
#include "qor/printable.h"

namespace qor::notebook {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for_each_line(text, [&](std::string_view line) { lines.push_back(line); });
  return lines;
}

const json::Value* cell_list(const json::Value& doc) {
  const json::Value* cells = member(&doc, "cells");
  return cells != nullptr && cells->is_array() ? cells : nullptr;
}

const json::Value* parameter_list(const json::Value& doc) {
  const json::Value* parameters = member(canvas_of(&doc), "parameters");
  return parameters != nullptr && parameters->is_array() ? parameters : nullptr;
}

std::string source_text(const json::Value* source) {
  std::string text;
  if (source != nullptr && source->is_string()) {
    text = source->as_string();
  } else if (source != nullptr && source->is_array() && !json::append_string_items(*source, text)) {
    for (const json::Value& item : source->as_array()) {
      if (item.is_string()) {
        text += item.as_string();
      } else {
        json::write(item, text);
      }
    }
  }
  return text;
}

std::vector<std::string> source_text_lines(const json::Value* source) {
  const std::string text = source_text(source);
  std::vector<std::string> lines;
  for (std::string_view line : split_lines(text)) lines.emplace_back(line);
  return lines;
}

std::string version_name(std::string_view notebook, std::string_view version) {
  return std::string(notebook) + " (" + std::string(version) + " version)";
}

std::optional<PipelineProblem> pipeline_problem(const json::Value& doc) {
  if (!doc.is_object()) return PipelineProblem{std::nullopt, "is not a JSON object"};
  const json::Value* cells = cell_list(doc);
  if (cells == nullptr) return PipelineProblem{std::nullopt, "has no cell list"};
  const json::Array& list = cells->as_array();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].is_object()) return PipelineProblem{i, "is not a JSON object"};
    // Found without reading a cell held as text.
    const std::optional<json::Value> id = json::find_path(list[i], {"metadata", "canvas", "id"});
    if (!id || !id->is_string()) return PipelineProblem{i, "has no component id"};
  }
  if (parameter_list(doc) == nullptr) {
    return PipelineProblem{std::nullopt, "has no canvas parameter list"};
  }
  return std::nullopt;
}

json::Value parse_notebook(platform::FileBuffer bytes, const std::string& name,
                           CellTexts* cell_texts, CellReading reading) {
  // The cells (level 2), their members and their metadata are built, unless the cells may stay
  // text; deeper arrays and objects in written form (outputs, sources, attachments) stay slices
  // of the file's bytes until a merge or a diff looks into them, and are written back by
  // copying them. A long read polls for interruption as it goes.
  static constexpr std::string_view kBuilt[] = {"metadata"};
  auto owner = std::make_shared<platform::FileBuffer>(std::move(bytes));
  const std::string_view text = owner->view();
  json::LazyOptions options{reading == CellReading::kNone ? 2u : 3u, kBuilt};
  options.progress = [](void*) { interrupt::poll(); };
  std::vector<std::string_view>* texts = nullptr;
  if (cell_texts != nullptr) {
    texts = &cell_texts->texts;
    cell_texts->bytes = owner;
  }
  return json::detail::parse_lazy_with_item_texts(text, name, std::move(owner), options, "cells",
                                                  texts);
}

std::string lost_file_message(const std::string& name, const std::string& path) {
  return printable_line(named_io_message(name, IoError(EIO, path)));
}

platform::FileBuffer read_file_bytes(const std::string& path, const std::string& name) {
  return naming_io_errors(name, path, [&] {
    return platform::FileBuffer::read_unchanging(path, lost_file_message(name, path));
  });
}

json::Value read_notebook(const std::string& path, const std::string& name) {
  return parse_notebook(read_file_bytes(path, name), name.empty() ? path : name);
}

platform::Produce notebook_text(const json::Value& doc, Layout layout) {
  return [&doc, layout](const std::function<void(std::string_view)>& emit) {
    if (layout == Layout::kJupyter) {
      json::write_pretty(doc, emit);
      emit("\n");
    } else {
      json::write(doc, emit);
    }
  };
}

void write_notebook(const std::string& path, const json::Value& doc, Layout layout) {
  // Streamed: the text of a large notebook is never held in memory whole.
  platform::replace_file_with(path, notebook_text(doc, layout));
}

std::optional<std::string> interrupted_write_backup(const std::string& path) {
  return platform::kept_backup(path);
}

}  // namespace qor::notebook
