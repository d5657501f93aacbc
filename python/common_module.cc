// Module qor_kelm_git.drivers.common: the cell component `Cell`, a view over the caller's own
// cell dict. Every member reads or writes that dict through the core's cell view.
#include <pybind11/pybind11.h>

#include "py_args.h"
#include "py_cell.h"
#include "py_errors.h"
#include "py_json.h"
#include "py_tree.h"
#include "qor/notebook.h"

namespace pyb = pybind11;
using qor::py::CellHolder;
using PyCell = qor::notebook::BasicCell<qor::py::PyTree>;

namespace {

PyCell view(const CellHolder& self) { return PyCell(qor::py::initialised(self).data); }

void set_source(const CellHolder& self, const pyb::object& value) {
  qor::py::check_arg(value, "value", &PyList_Type);
  view(self).set_source(value);
}

void set_parents(const CellHolder& self, const pyb::object& value) {
  qor::py::check_arg(value, "value", &PyList_Type);
  view(self).set_parents(value);
}

void set_text(const pyb::object& value) { qor::py::check_arg(value, "value", &PyUnicode_Type); }

const qor::py::Signature kInit{"__init__", {{"cell"}}};
const qor::py::Signature kAddComment{"add_comment", {{"comment"}}};

}  // namespace

PYBIND11_MODULE(common, m) {
  pyb::options options;
  options.disable_function_signatures();
  qor::py::register_error_translator();
  m.doc() = "The cell component shared by the notebook merge and diff engines.";

  pyb::class_<CellHolder>(m, "Cell", pyb::dynamic_attr(),
                          qor::py::class_doc("Cell", kInit,
                                             "A notebook cell taking part in a merge or a diff: a "
                                             "view that reads and writes the given cell dict in "
                                             "place.")
                              .c_str())
      .def(pyb::init([](const pyb::args& args, const pyb::kwargs& kwargs) {
             auto v = qor::py::bind_args(kInit, args, kwargs);
             qor::py::check_arg(v[0], "cell", &PyDict_Type);
             return CellHolder{v[0]};
           }),
           qor::py::method_doc(kInit).c_str())
      .def_property(
          "_data", [](const CellHolder& self) { return qor::py::initialised(self).data; },
          [](CellHolder& self, pyb::object value) {
            qor::py::initialised(self).data = std::move(value);
          })
      .def_property_readonly("data",
                             [](const CellHolder& self) { return qor::py::initialised(self).data; })
      .def_property(
          "source", [](const CellHolder& self) { return view(self).source_list(); }, &set_source)
      .def_property(
          "name", [](const CellHolder& self) { return qor::py::make_str(view(self).name()); },
          [](const CellHolder& self, const pyb::object& value) {
            set_text(value);
            view(self).set_name(qor::py::str_text(value));
          })
      .def_property(
          "parents", [](const CellHolder& self) { return view(self).parents_or_new(); },
          &set_parents)
      .def_property_readonly("comments",
                             [](const CellHolder& self) { return view(self).comments_or_new(); })
      .def(
          "add_comment",
          [](const CellHolder& self, const pyb::args& args, const pyb::kwargs& kwargs) {
            auto v = qor::py::bind_args(kAddComment, args, kwargs);
            view(self).add_comment(v[0]);
          },
          qor::py::method_doc(kAddComment, "Append a comment entry to the cell's comments.")
              .c_str())
      .def_property(
          "kelm_id",
          [](const CellHolder& self) { return qor::py::make_str(view(self).component_id()); },
          [](const CellHolder& self, const pyb::object& value) {
            set_text(value);
            view(self).set_component_id(qor::py::str_text(value));
          })
      .def_property(
          "cell_id",
          [](const CellHolder& self) -> pyb::object {
            pyb::object id = view(self).find_cell_id();
            return id ? id : pyb::none();
          },
          [](const CellHolder& self, const pyb::object& value) {
            set_text(value);
            view(self).set_cell_id(qor::py::str_text(value));
          });
}
