// The C++ state behind the Python record classes: each holds its JSON object (the caller's own
// dict) and nothing else but, for a MergeCell, its side. Shared by the modules so that
// MergeCell and DiffCell derive from the Cell of the common module.
#ifndef QOR_PYTHON_PY_CELL_H_
#define QOR_PYTHON_PY_CELL_H_

#include <pybind11/pybind11.h>

#include <string>

namespace qor::py {

struct CellHolder {
  pybind11::object data;  // `_data`: the cell object itself, never a copy
};

struct MergeCellHolder : CellHolder {
  std::string file_type;  // `_file_type`: "base", "current" or "incoming"
};

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_CELL_H_
