// The C++ state behind the Python record classes: each holds its JSON object (the caller's own
// dict) and nothing else but, for a MergeCell, its side. Shared by the modules so that
// MergeCell and DiffCell derive from the Cell of the common module.
#ifndef QOR_PYTHON_PY_CELL_H_
#define QOR_PYTHON_PY_CELL_H_

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "qor/errors.h"

namespace qor::py {

// The state of every record: `_data`, the JSON object itself, never a copy.
//
// Its storage starts zero-filled. pybind11 gives an object made by Class.__new__(Class) alone
// (whose __init__ never ran) storage that no constructor filled when a member first reads it;
// zero-filled, that state has a null `data`, which initialised() turns into a TypeError.
struct RecordHolder {
  RecordHolder() = default;
  explicit RecordHolder(pybind11::object d) : data(std::move(d)) {}

  static void* operator new(std::size_t size) {
    void* p = ::operator new(size);
    std::memset(p, 0, size);
    return p;
  }
  static void operator delete(void* p) { ::operator delete(p); }

  pybind11::object data;
};

struct CellHolder : RecordHolder {
  using RecordHolder::RecordHolder;
};

struct MergeCellHolder : CellHolder {
  std::string file_type;  // `_file_type`: "base", "current" or "incoming"
};

// `self`, once it is known to be initialised. Raises TypeError for a record whose __init__ never
// ran.
template <class Holder>
Holder& initialised(Holder& self) {
  if (!self.data) throw TypeError("record object is not initialized: its __init__ was not called");
  return self;
}

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_CELL_H_
