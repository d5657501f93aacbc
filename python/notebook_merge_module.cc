// Module qor_kelm_git.drivers.notebook_merge: MergeCell, the cell difference `_cell_changed`
// and the difference markers. Debug records of the core go to Python's root logger.
#include <pybind11/pybind11.h>

#include "py_args.h"
#include "py_cell.h"
#include "py_errors.h"
#include "py_json.h"
#include "py_tree.h"
#include "qor/log.h"
#include "qor/merge.h"

namespace pyb = pybind11;
using qor::py::MergeCellHolder;
using qor::py::PyTree;
using PyMergeCell = qor::merge::BasicMergeCell<PyTree>;

namespace {

// A marker of a difference; printed as "$insert", "$delete" or "$replace".
struct Symbol {
  std::string label;
};

PyMergeCell view(const MergeCellHolder& self) {
  return PyMergeCell(self.data, qor::merge::side_from_name(self.file_type));
}

qor::py::Markers markers(const pyb::module_& m) {
  return {m.attr("insert"), m.attr("delete"), m.attr("replace")};
}

void connect_root_logger() {
  qor::log::set_debug_sink({
      [] {
        pyb::object root = pyb::module_::import("logging").attr("getLogger")();
        return root.attr("isEnabledFor")(10).cast<bool>();
      },
      [](std::string_view record) {
        pyb::module_::import("logging").attr("debug")(qor::py::make_str(record));
      },
  });
}

}  // namespace

PYBIND11_MODULE(notebook_merge, m) {
  pyb::options options;
  options.disable_function_signatures();
  qor::py::register_error_translator();
  connect_root_logger();
  pyb::module_::import("qor_kelm_git.drivers.common");
  m.doc() = "The three-way merge engine for pipeline notebooks.";

  pyb::class_<Symbol>(m, "Symbol", "A marker of a structural difference.")
      .def_property_readonly("label", [](const Symbol& s) { return s.label; })
      .def("__repr__", [](const Symbol& s) { return "$" + s.label; })
      .def("__str__", [](const Symbol& s) { return "$" + s.label; });
  m.attr("insert") = pyb::cast(Symbol{"insert"});
  m.attr("delete") = pyb::cast(Symbol{"delete"});
  m.attr("replace") = pyb::cast(Symbol{"replace"});

  pyb::class_<MergeCellHolder, qor::py::CellHolder> merge_cell(
      m, "MergeCell", pyb::dynamic_attr(),
      "Data structure to represent a cell that undergos merge process.");
  merge_cell.attr("BASE") = qor::merge::kBaseName;
  merge_cell.attr("CURRENT") = qor::merge::kCurrentName;
  merge_cell.attr("INCOMING") = qor::merge::kIncomingName;
  merge_cell
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args("__init__", args, kwargs, {{"cell"}, {"file_type"}});
        qor::py::check_arg(v[0], "cell", &PyDict_Type);
        qor::py::check_arg(v[1], "file_type", &PyUnicode_Type);
        MergeCellHolder holder;
        holder.data = v[0];
        holder.file_type = qor::py::str_text(v[1]);
        qor::merge::side_from_name(holder.file_type);
        return holder;
      }))
      .def_property_readonly("file_type",
                             [](const MergeCellHolder& self) {
                               return std::string(qor::merge::side_name(view(self).file_type()));
                             })
      .def_property_readonly("_file_type",
                             [](const MergeCellHolder& self) { return self.file_type; })
      .def(
          "add_conflict_mark", [](const MergeCellHolder& self) { view(self).add_conflict_mark(); },
          "Change name adding '<<< ' when current cell.\n"
          "Change name adding '>>> ' when incoming cell.");

  m.def(
      "_cell_changed",
      [m](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args("_cell_changed", args, kwargs, {{"cell0"}, {"cell1"}});
        for (const pyb::object& cell : v) {
          pyb::object parents = cell.attr("parents");
          qor::merge::strip_names<PyTree>(parents);
        }
        const qor::json::Value older = qor::py::to_value(v[0].attr("data"));
        const qor::json::Value newer = qor::py::to_value(v[1].attr("data"));
        return qor::py::from_delta(qor::merge::cell_difference(older, newer), markers(m));
      },
      "Return the structural difference of a cell from its older version `cell0` to its newer "
      "version `cell1`, without the execution count. Removes the parent names of both cells.");
}
