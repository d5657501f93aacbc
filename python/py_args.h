// Argument handling of the module functions and constructors, with the messages the modules
// promise: wrong positional counts, unknown or repeated keywords, and declared types; and the
// documentation strings that show the same parameters to inspect.signature() and help().
#ifndef QOR_PYTHON_PY_ARGS_H_
#define QOR_PYTHON_PY_ARGS_H_

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace qor::py {

// A parameter; an optional one defaults to None.
struct Param {
  const char* name;
  bool required = true;
};

// A function's or constructor's name and parameters, in order, each taken by position or by
// name: what bind_args binds, and what its documentation string shows.
struct Signature {
  const char* func;  // "__init__" for a constructor
  std::vector<Param> params;
};

// Binds `args` and `kwargs` to the parameters of `sig`. Returns one object per parameter, null
// for an absent optional one. Raises TypeError:
//   "<func>() takes exactly|at least|at most N positional argument(s) (M given)"
//   "<func>() got an unexpected keyword argument 'k'"
//   "<func>() got multiple values for keyword argument 'k'"
std::vector<pybind11::object> bind_args(const Signature& sig, const pybind11::args& args,
                                        const pybind11::kwargs& kwargs);

// Documentation strings that carry a text signature: "name(params)", a line "--" and an empty
// line, then `text`. CPython gives a builtin function or class with such a string the
// __text_signature__ "(params)", which inspect.signature() and help() show, and the __doc__
// `text` alone (None when `text` is empty).
//   function_doc: a module function, "func(a, b=None)"
//   method_doc:   a method, constructors included, "func(self, a, b=None)"
//   class_doc:    a class, named `cls` and built by the constructor `init`, "cls(a, b=None)"
std::string function_doc(const Signature& sig, const char* text);
std::string method_doc(const Signature& sig, const char* text = "");
std::string class_doc(const char* cls, const Signature& init, const char* text);

// Raises "Argument '<name>' has incorrect type (expected <type>, got <type>)" unless `value` is
// an instance of `type` (or None, when `none_ok`).
void check_arg(const pybind11::handle& value, const char* name, PyTypeObject* type,
               bool none_ok = false);

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_ARGS_H_
