// Module qor_kelm_git.drivers.notebook_diff: diff_dicts, _cell_modified, DiffCell and
// DiffParameter. The diff runs directly on the caller's dicts: result cells are shallow copies
// of the input cells and result parameters are the input parameter objects, so the annotations
// written into nested objects show in the inputs too.
#include <pybind11/pybind11.h>

#include "diff/diff-inl.h"
#include "py_args.h"
#include "py_cell.h"
#include "py_errors.h"
#include "py_json.h"
#include "py_tree.h"
#include "qor/diff.h"
#include "qor/errors.h"

namespace pyb = pybind11;
using qor::py::CellHolder;
using qor::py::PyTree;
using PyDiffCell = qor::diff::BasicDiffCell<PyTree>;
using PyDiffParameter = qor::diff::BasicDiffParameter<PyTree>;

namespace {

struct DiffCellHolder : CellHolder {};

struct ParameterHolder : qor::py::RecordHolder {  // `_data`: the parameter object itself
  using RecordHolder::RecordHolder;
};

PyDiffCell cell_view(const CellHolder& self) { return PyDiffCell(qor::py::initialised(self).data); }
PyDiffParameter parameter_view(const ParameterHolder& self) {
  return PyDiffParameter(qor::py::initialised(self).data);
}

template <class Class>
void add_statuses(Class& cls) {
  cls.attr("UNCHANGED") = qor::diff::kUnchanged;
  cls.attr("ADDED") = qor::diff::kAdded;
  cls.attr("REMOVED") = qor::diff::kRemoved;
  cls.attr("MODIFIED") = qor::diff::kModified;
}

const qor::py::Signature kDiffCellInit{"__init__", {{"cell"}}};
const qor::py::Signature kParameterInit{"__init__", {{"data"}}};
const qor::py::Signature kCellModified{"_cell_modified", {{"cell"}}};
const qor::py::Signature kDiffDicts{"diff_dicts", {{"prev"}, {"current"}}};

}  // namespace

PYBIND11_MODULE(notebook_diff, m) {
  pyb::options options;
  options.disable_function_signatures();
  qor::py::register_error_translator();
  pyb::module_::import("qor_kelm_git.drivers.common");
  m.doc() = "The diff engine for pipeline notebooks.";

  pyb::class_<DiffCellHolder, CellHolder> diff_cell(
      m, "DiffCell", pyb::dynamic_attr(),
      qor::py::class_doc("DiffCell", kDiffCellInit,
                         "Data structure to represent a cell that undergoes diff process.")
          .c_str());
  add_statuses(diff_cell);
  diff_cell
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
             auto v = qor::py::bind_args(kDiffCellInit, args, kwargs);
             qor::py::check_arg(v[0], "cell", &PyDict_Type);
             DiffCellHolder holder;
             holder.data = v[0];
             PyDiffCell::start(holder.data);
             return holder;
           }),
           qor::py::method_doc(kDiffCellInit).c_str())
      .def_property(
          "status", [](const DiffCellHolder& self) { return cell_view(self).status(); },
          [](const DiffCellHolder& self, pyb::object v) {
            cell_view(self).set_status(std::move(v));
          })
      .def_property(
          "prev_source", [](const DiffCellHolder& self) { return cell_view(self).prev_source(); },
          [](const DiffCellHolder& self, pyb::object v) {
            cell_view(self).set_prev_source(std::move(v));
          })
      .def_property(
          "removed_parents",
          [](const DiffCellHolder& self) { return cell_view(self).removed_parents(); },
          [](const DiffCellHolder& self, pyb::object v) {
            cell_view(self).set_removed_parents(std::move(v));
          })
      .def_property(
          "added_parents",
          [](const DiffCellHolder& self) { return cell_view(self).added_parents(); },
          [](const DiffCellHolder& self, pyb::object v) {
            cell_view(self).set_added_parents(std::move(v));
          });

  pyb::class_<ParameterHolder> parameter(
      m, "DiffParameter", pyb::dynamic_attr(),
      qor::py::class_doc("DiffParameter", kParameterInit,
                         "Data structure to represent a parameter that undergoes diff process.")
          .c_str());
  add_statuses(parameter);
  parameter
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
             auto v = qor::py::bind_args(kParameterInit, args, kwargs);
             qor::py::check_arg(v[0], "data", &PyDict_Type);
             ParameterHolder holder{v[0]};
             PyDiffParameter::start(holder.data);
             return holder;
           }),
           qor::py::method_doc(kParameterInit).c_str())
      .def_property(
          "_data", [](const ParameterHolder& self) { return qor::py::initialised(self).data; },
          [](ParameterHolder& self, pyb::object v) {
            qor::py::initialised(self).data = std::move(v);
          })
      .def_property_readonly(
          "data", [](const ParameterHolder& self) { return qor::py::initialised(self).data; })
      .def_property(
          "status", [](const ParameterHolder& self) { return parameter_view(self).status(); },
          [](const ParameterHolder& self, pyb::object v) {
            parameter_view(self).set_status(std::move(v));
          })
      .def_property_readonly(
          "name", [](const ParameterHolder& self) { return parameter_view(self).name(); })
      .def_property_readonly(
          "type", [](const ParameterHolder& self) { return parameter_view(self).type(); })
      .def_property_readonly(
          "value", [](const ParameterHolder& self) { return parameter_view(self).value(); })
      .def_property(
          "prev_type", [](const ParameterHolder& self) { return parameter_view(self).prev_type(); },
          [](const ParameterHolder& self, pyb::object v) {
            parameter_view(self).set_prev_type(std::move(v));
          })
      .def_property(
          "prev_value",
          [](const ParameterHolder& self) { return parameter_view(self).prev_value(); },
          [](const ParameterHolder& self, pyb::object v) {
            parameter_view(self).set_prev_value(std::move(v));
          });

  m.def(
      "_cell_modified",
      [](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kCellModified, args, kwargs);
        if (!pyb::isinstance<DiffCellHolder>(v[0])) {
          throw qor::TypeError(
              qor::argument_type_message("cell", "DiffCell", Py_TYPE(v[0].ptr())->tp_name));
        }
        return qor::diff::cell_modified(cell_view(v[0].cast<const DiffCellHolder&>()));
      },
      qor::py::function_doc(kCellModified,
                            "Whether the cell's source differs from its previous source.")
          .c_str());

  m.def(
      "diff_dicts",
      [](const pyb::args& args, const pyb::kwargs& kwargs) {
        auto v = qor::py::bind_args(kDiffDicts, args, kwargs);
        qor::py::check_arg(v[0], "prev", &PyDict_Type);
        qor::py::check_arg(v[1], "current", &PyDict_Type);
        return qor::diff::diff_documents<PyTree>(v[0], v[1]);
      },
      qor::py::function_doc(kDiffDicts, "Ipython Notebook Diff Driver main").c_str());
}
