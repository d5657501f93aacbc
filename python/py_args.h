// Argument handling of the module functions and constructors, with the messages the modules
// promise: wrong positional counts, unknown or repeated keywords, and declared types.
#ifndef QOR_PYTHON_PY_ARGS_H_
#define QOR_PYTHON_PY_ARGS_H_

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <vector>

namespace qor::py {

struct Param {
  const char* name;
  bool required = true;
};

// Binds `args` and `kwargs` to `params` for the function `func`, each by position or by name.
// Returns one object per parameter, null for an absent optional one. Raises TypeError:
//   "<func>() takes exactly|at least|at most N positional argument(s) (M given)"
//   "<func>() got an unexpected keyword argument 'k'"
//   "<func>() got multiple values for keyword argument 'k'"
std::vector<pybind11::object> bind_args(const char* func, const pybind11::args& args,
                                        const pybind11::kwargs& kwargs,
                                        std::initializer_list<Param> params);

// Raises "Argument '<name>' has incorrect type (expected <type>, got <type>)" unless `value` is
// an instance of `type` (or None, when `none_ok`).
void check_arg(const pybind11::handle& value, const char* name, PyTypeObject* type,
               bool none_ok = false);

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_ARGS_H_
