// Argument binding with the wording of compiled Python extensions: a missing argument reports
// how many arguments were found before it, keywords fill the parameters the positions left open.
// The same parameter lists give the text signatures of the documentation strings.
#include "py_args.h"

#include <string>

#include "qor/errors.h"

namespace pyb = pybind11;

namespace qor::py {
namespace {

[[noreturn]] void count_error(const char* func, std::size_t min, std::size_t max,
                              std::size_t given) {
  const char* how = min == max ? "exactly" : (given < min ? "at least" : "at most");
  const std::size_t expected = given < min ? min : max;
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
               how, static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s",
               static_cast<Py_ssize_t>(given));
  throw pyb::error_already_set();
}

// "name(self, a, b=None)\n--\n\ntext": the text signature ends with ")\n--\n\n".
std::string signature_doc(const char* name, bool self, const std::vector<Param>& params,
                          const char* text) {
  std::string doc = std::string(name) + (self ? "(self" : "(");
  bool first = !self;
  for (const Param& p : params) {
    doc += first ? "" : ", ";
    doc += p.name;
    if (!p.required) doc += "=None";
    first = false;
  }
  return doc + ")\n--\n\n" + text;
}

}  // namespace

std::string function_doc(const Signature& sig, const char* text) {
  return signature_doc(sig.func, false, sig.params, text);
}

std::string method_doc(const Signature& sig, const char* text) {
  return signature_doc(sig.func, true, sig.params, text);
}

std::string class_doc(const char* cls, const Signature& init, const char* text) {
  return signature_doc(cls, false, init.params, text);
}

std::vector<pyb::object> bind_args(const Signature& sig, const pyb::args& args,
                                   const pyb::kwargs& kwargs) {
  const char* func = sig.func;
  const std::vector<Param>& params = sig.params;
  std::size_t min = 0;
  for (const Param& p : params) min += p.required ? 1 : 0;
  const std::size_t max = params.size();
  const std::size_t given = args.size();
  if (given > max) count_error(func, min, max, given);
  std::vector<pyb::object> values(max);
  for (std::size_t i = 0; i < given; ++i) values[i] = args[i];
  const bool has_kwargs = kwargs && PyDict_Size(kwargs.ptr()) > 0;
  if (!has_kwargs) {
    if (given < min) count_error(func, min, max, given);
    return values;
  }
  std::size_t i = 0;
  for (const Param& p : params) {
    if (i >= given) {
      PyObject* v = PyDict_GetItemString(kwargs.ptr(), p.name);
      if (v != nullptr) {
        values[i] = pyb::reinterpret_borrow<pyb::object>(v);
      } else if (p.required) {
        count_error(func, min, max, i);
      }
    }
    ++i;
  }
  for (auto item : kwargs) {
    if (!PyUnicode_Check(item.first.ptr())) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
      throw pyb::error_already_set();
    }
    std::size_t index = 0;
    bool known = false;
    for (const Param& p : params) {
      if (PyUnicode_CompareWithASCIIString(item.first.ptr(), p.name) == 0) {
        known = true;
        break;
      }
      ++index;
    }
    if (!known) {
      PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", func,
                   item.first.ptr());
      throw pyb::error_already_set();
    }
    if (index < given) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func,
                   item.first.ptr());
      throw pyb::error_already_set();
    }
  }
  return values;
}

void check_arg(const pyb::handle& value, const char* name, PyTypeObject* type, bool none_ok) {
  if (value.is_none() && none_ok) return;
  if (PyObject_TypeCheck(value.ptr(), type)) return;
  throw qor::TypeError(
      qor::argument_type_message(name, type->tp_name, Py_TYPE(value.ptr())->tp_name));
}

}  // namespace qor::py
