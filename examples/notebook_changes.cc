// Example on the public API: reads three versions of a pipeline notebook (base, current,
// incoming), tells for each component which side changed it and how (the cell difference), and
// writes the current version back in the written form of notebook files.
//
//   notebook_changes BASE CURRENT INCOMING [OUT]
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge.h"
#include "qor/notebook.h"

namespace {

using qor::json::Value;
using qor::merge::MergeCell;
using qor::merge::Side;

struct Version {
  const char* label;
  Side side;
  Value doc;
};

// The cell of `doc` whose component id is `id`, or nullptr.
Value* find_cell(Value& doc, const std::string& id) {
  for (Value& cell : doc.as_object().at("cells").as_array()) {
    if (MergeCell(&cell, Side::kBase).component_id() == id) return &cell;
  }
  return nullptr;
}

std::string describe(Value& base_cell, Value* side_cell, Side side) {
  if (side_cell == nullptr) return "deleted";
  // Compare copies: the comparison drops parent names from the cells it is given.
  Value older = base_cell, newer = *side_cell;
  const auto delta =
      qor::merge::cell_changed(MergeCell(&older, Side::kBase), MergeCell(&newer, side));
  return delta.empty() ? "-" : qor::structdiff::repr(delta);
}

int run(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: notebook_changes BASE CURRENT INCOMING [OUT]\n";
    return 2;
  }
  std::vector<Version> versions;
  versions.push_back({"base", Side::kBase, qor::notebook::read_notebook(argv[1])});
  versions.push_back({"current", Side::kCurrent, qor::notebook::read_notebook(argv[2])});
  versions.push_back({"incoming", Side::kIncoming, qor::notebook::read_notebook(argv[3])});

  std::cout << "Components of " << argv[1] << " and what each side changed:\n\n";
  Value& base = versions[0].doc;
  std::vector<std::string> seen;
  for (Value& cell : base.as_object().at("cells").as_array()) {
    MergeCell view(&cell, Side::kBase);
    const std::string id = view.component_id();
    seen.push_back(id);
    std::cout << "  " << (view.name().empty() ? "(unnamed " + id.substr(0, 8) + ")" : view.name())
              << "\n";
    for (std::size_t v = 1; v < versions.size(); ++v) {
      std::cout << "    " << versions[v].label << ": "
                << describe(cell, find_cell(versions[v].doc, id), versions[v].side) << "\n";
    }
  }
  for (std::size_t v = 1; v < versions.size(); ++v) {
    for (Value& cell : versions[v].doc.as_object().at("cells").as_array()) {
      MergeCell view(&cell, versions[v].side);
      bool known = false;
      for (const auto& id : seen) known = known || id == view.component_id();
      if (!known)
        std::cout << "  " << view.name() << "\n    added by " << versions[v].label << "\n";
    }
  }

  const std::string out = argc > 4 ? argv[4] : "/tmp/qor-demo-current.ipynb";
  qor::notebook::write_notebook(out, versions[1].doc);
  const Value back = qor::notebook::read_notebook(out);
  std::cout << "\nWrote the current version to " << out << " in the written form of notebook files "
            << "(one line of ASCII JSON); it reads back "
            << (back == versions[1].doc ? "equal" : "DIFFERENT") << ".\n";
  return back == versions[1].doc ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const qor::Error& e) {
    std::cerr << "notebook_changes: " << e.what() << "\n";
    return 1;
  }
}
