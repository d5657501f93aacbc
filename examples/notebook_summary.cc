// Example on the public API: a short, readable summary of a pipeline notebook: its components
// with their names (conflict marks included), source lengths and conflict blocks left in their
// source, and its canvas parameters.
//
//   notebook_summary NOTEBOOK
#include <cstdio>
#include <iostream>
#include <string>

#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge.h"
#include "qor/notebook.h"

namespace {

using qor::json::Value;

int run(const std::string& path) {
  Value doc = qor::notebook::read_notebook(path);
  const qor::json::Array& cells = doc.as_object().at("cells").as_array();
  int blocks_total = 0, marked = 0;
  std::printf("%s: %zu cells\n\n", path.c_str(), cells.size());
  std::printf("  %-3s %-28s %-9s %6s  %s\n", "#", "component", "kind", "lines", "conflict blocks");
  for (std::size_t i = 0; i < cells.size(); ++i) {
    Value cell = cells[i];
    qor::notebook::Cell view(&cell);
    std::string name = view.name();
    if (name.empty()) name = "(unnamed)";
    if (name.starts_with(qor::merge::kCurrentMark) || name.starts_with(qor::merge::kIncomingMark)) {
      ++marked;
    }
    int blocks = 0;
    const auto lines = view.source_lines();
    for (const std::string& line : lines) blocks += line.rfind("<<<<<<< ", 0) == 0 ? 1 : 0;
    blocks_total += blocks;
    const Value* kind = cell.find("cell_type");
    std::printf("  %-3zu %-28s %-9s %6zu  %s\n", i + 1, name.c_str(),
                kind != nullptr && kind->is_string() ? std::string(kind->as_string()).c_str() : "?",
                lines.size(), blocks == 0 ? "" : std::to_string(blocks).c_str());
    for (std::size_t k = 0; blocks > 0 && k < lines.size(); ++k)
      std::printf("        | %s", lines[k].c_str());
    if (blocks > 0 && !lines.empty() && lines.back().back() != '\n') std::printf("\n");
  }
  std::printf("\n  parameters:");
  for (const Value& p : doc.as_object()
                            .at("metadata")
                            .as_object()
                            .at("canvas")
                            .as_object()
                            .at("parameters")
                            .as_array()) {
    const Value* name = p.find("name");
    const Value* value = p.find("value");
    std::printf("  %s=%s", name != nullptr ? qor::json::write(*name).c_str() : "?",
                value != nullptr ? qor::json::write(*value).c_str() : "?");
  }
  std::printf(
      "\n\n  %d component(s) marked as one side of a conflict, %d conflict block(s) in sources\n",
      marked, blocks_total);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: notebook_summary NOTEBOOK\n";
    return 2;
  }
  try {
    return run(argv[1]);
  } catch (const qor::Error& e) {
    std::cerr << "notebook_summary: " << e.what() << "\n";
    return 1;
  }
}
