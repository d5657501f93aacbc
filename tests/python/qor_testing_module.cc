// Module qor_testing (tests only): the JSON reader and writers and the structural difference,
// exposed so that the Python tests can compare them with CPython's json and with jsondiff.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>

#include "json/escape.h"
#include "py_errors.h"
#include "py_json.h"
#include "qor/json.h"
#include "qor/structdiff.h"

namespace pyb = pybind11;

namespace {

std::string_view bytes_view(const pyb::bytes& b) {
  return std::string_view(PyBytes_AS_STRING(b.ptr()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr())));
}

// Reads `text` with parse(), or with parse_lazy() from level `lazy` on when it is given (over a
// copy of the bytes that the values keep alive).
qor::json::Value read(const pyb::bytes& text, const std::optional<std::size_t>& lazy) {
  if (!lazy) return qor::json::parse(bytes_view(text));
  auto copy = std::make_shared<const std::string>(bytes_view(text));
  const std::string_view view(*copy);
  return qor::json::parse_lazy(view, {}, std::move(copy), {*lazy, {}});
}

}  // namespace

PYBIND11_MODULE(qor_testing, m) {
  qor::py::register_error_translator();
  m.def(
      "loads",
      [](const pyb::bytes& text, std::optional<std::size_t> lazy) {
        return qor::py::from_value(read(text, lazy));
      },
      pyb::arg("text"), pyb::arg("lazy") = pyb::none(),
      "Parse UTF-8 bytes into Python objects (lazily from level `lazy` on, when given).");
  m.def(
      "roundtrip",
      [](const pyb::bytes& text, std::optional<std::size_t> lazy) {
        return qor::json::write(read(text, lazy));
      },
      pyb::arg("text"), pyb::arg("lazy") = pyb::none(),
      "Parse UTF-8 bytes and write the value back.");
  m.def(
      "lazy_equal",
      [](const pyb::bytes& a, const pyb::bytes& b, std::size_t lazy) {
        return read(a, lazy) == read(b, lazy);
      },
      "Whether two texts, read lazily from level `lazy` on, hold equal values.");
  m.def(
      "dumps", [](const pyb::handle& obj) { return qor::json::write(qor::py::to_value(obj)); },
      "Write a Python object as JSON text.");
  m.def(
      "dumps_jupyter",
      [](const pyb::handle& obj) {
        std::string out;
        qor::json::write_pretty(qor::py::to_value(obj), out);
        return pyb::bytes(out);
      },
      "Write a Python object in the indented form, as UTF-8 bytes.");
  m.def(
      "roundtrip_jupyter",
      [](const pyb::bytes& text, std::optional<std::size_t> lazy) {
        std::string out;
        qor::json::write_pretty(read(text, lazy), out);
        return pyb::bytes(out);
      },
      pyb::arg("text"), pyb::arg("lazy") = pyb::none(),
      "Parse UTF-8 bytes (lazily from level `lazy` on, when given) and write the value back in "
      "the indented form.");
  m.def(
      "diff_repr",
      [](const pyb::handle& a, const pyb::handle& b) {
        return qor::structdiff::repr(
            qor::structdiff::diff(qor::py::to_value(a), qor::py::to_value(b)));
      },
      "The printed form of the structural difference of two objects.");
  m.def(
      "diff",
      [](const pyb::handle& a, const pyb::handle& b, const pyb::object& markers) {
        qor::py::Markers mk{markers.attr("insert"), markers.attr("delete"),
                            markers.attr("replace")};
        return qor::py::from_delta(
            qor::structdiff::diff(qor::py::to_value(a), qor::py::to_value(b)), mk);
      },
      "The structural difference of two objects, with the markers of the given module.");
  m.def("use_wide_escape", &qor::json::detail::use_wide_escape, pyb::arg("on"),
        "Turn the writer's vector path for non-ASCII text on (where the processor has it) or "
        "off; returns whether the processor has it.");
  m.def("similarity", [](const pyb::handle& a, const pyb::handle& b) {
    return qor::structdiff::similarity(qor::py::to_value(a), qor::py::to_value(b));
  });
}
