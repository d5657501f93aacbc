// Conversion between Python objects and the core's JSON values and differences. This is the one
// place where Python objects become json::Value and back.
#ifndef QOR_PYTHON_PY_JSON_H_
#define QOR_PYTHON_PY_JSON_H_

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "qor/json.h"
#include "qor/structdiff.h"

namespace qor::py {

// Converts a Python object as json.dumps would see it: dict (keys str, or int, float, bool and
// None turned into their JSON text), list and tuple, str (lone surrogates kept), int of any
// size, float, bool, None; subclasses included. Raises TypeError for other objects and for
// other key types, ValueError for a circular reference or nesting deeper than json::kMaxDepth.
json::Value to_value(pybind11::handle obj);

// Builds new Python objects (dict, list, str, int, float, bool, None) for `value`.
pybind11::object from_value(const json::Value& value);

// The marker objects that stand for insertion, deletion and replacement in a difference.
struct Markers {
  pybind11::object insert;
  pybind11::object del;
  pybind11::object replace;
};

// Builds the Python form of a difference: dicts keyed by str, int positions and the markers;
// insertions as lists of (position, item) tuples.
pybind11::object from_delta(const structdiff::Delta& delta, const Markers& markers);

// A Python str for UTF-8 text that may hold lone surrogates.
pybind11::object make_str(std::string_view text);
// The UTF-8 text of a Python str, lone surrogates kept. Raises TypeError for other objects.
std::string str_text(pybind11::handle obj);
// The bytes of a path as Python's open() uses them: os.fspath(), then a str encoded with the
// file-system encoding and its error handler (os.fsencode). Raises ValueError ("embedded null
// byte") for a path holding NUL, TypeError for objects that are not paths.
std::string fs_path(pybind11::handle obj);

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_JSON_H_
