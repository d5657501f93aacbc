// The tree operations of the cell views over Python objects: the views of the core work on the
// caller's own dicts and lists through these, so that every read and write goes to them.
#ifndef QOR_PYTHON_PY_TREE_H_
#define QOR_PYTHON_PY_TREE_H_

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "py_json.h"
#include "qor/errors.h"

namespace qor::py {

struct PyTree {
  // Owning references: a dict subclass may compute the values it returns.
  using Ref = pybind11::object;
  using Owned = pybind11::object;

  static bool is_object(const Ref& r) { return PyDict_Check(r.ptr()); }
  static bool is_array(const Ref& r) { return PyList_Check(r.ptr()); }
  static bool is_string(const Ref& r) { return PyUnicode_Check(r.ptr()); }
  static bool is_null(const Ref& r) { return r.is_none(); }
  static const char* type_name(const Ref& r) { return Py_TYPE(r.ptr())->tp_name; }

  static Ref find(const Ref& obj, std::string_view key) {
    expect_dict(obj);
    pybind11::object k = make_str(key);
    if (PyDict_CheckExact(obj.ptr())) {
      PyObject* v = PyDict_GetItemWithError(obj.ptr(), k.ptr());
      if (v == nullptr && PyErr_Occurred()) throw pybind11::error_already_set();
      return pybind11::reinterpret_borrow<pybind11::object>(v);
    }
    PyObject* v = PyObject_GetItem(obj.ptr(), k.ptr());
    if (v == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw pybind11::error_already_set();
      PyErr_Clear();
    }
    return pybind11::reinterpret_steal<pybind11::object>(v);
  }

  static Ref set(const Ref& obj, std::string_view key, Owned value) {
    expect_dict(obj);
    if (PyObject_SetItem(obj.ptr(), make_str(key).ptr(), value.ptr()) != 0) {
      throw pybind11::error_already_set();
    }
    return value;
  }

  static bool erase(const Ref& obj, std::string_view key) {
    expect_dict(obj);
    pybind11::object k = make_str(key);
    const int has = PySequence_Contains(obj.ptr(), k.ptr());
    if (has < 0) throw pybind11::error_already_set();
    if (has == 0) return false;
    if (PyObject_DelItem(obj.ptr(), k.ptr()) != 0) throw pybind11::error_already_set();
    return true;
  }

  static std::string to_string(const Ref& r) { return str_text(r); }

  static std::size_t size(const Ref& array) {
    const Py_ssize_t n = PyObject_Size(array.ptr());
    if (n < 0) throw pybind11::error_already_set();
    return static_cast<std::size_t>(n);
  }

  static Ref item(const Ref& array, std::size_t i) {
    PyObject* v = PySequence_GetItem(array.ptr(), static_cast<Py_ssize_t>(i));
    if (v == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(v);
  }

  static void append(const Ref& array, Owned value) {
    if (PyList_Append(array.ptr(), value.ptr()) != 0) throw pybind11::error_already_set();
  }

  static bool equal(const Ref& a, const Ref& b) {
    const int eq = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (eq < 0) throw pybind11::error_already_set();
    return eq == 1;
  }

  static Owned make_null() { return pybind11::none(); }
  static Owned make_string(std::string_view s) { return make_str(s); }
  static Owned make_object() { return pybind11::dict(); }
  static Owned make_array() { return pybind11::list(); }
  static Owned own(const Ref& r) { return r; }
  // A new dict with the top-level entries of `obj`; nested objects are shared.
  static Owned shallow_copy(const Ref& obj) {
    expect_dict(obj);
    PyObject* copy = PyDict_Copy(obj.ptr());
    if (copy == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(copy);
  }
  static Ref ref(Owned& o) { return o; }
  // A text that tells dict keys apart: strings by their text, other keys by their repr.
  static std::string key(const Ref& r) {
    std::string k(1, PyUnicode_Check(r.ptr()) ? 's' : 'v');
    if (PyUnicode_Check(r.ptr())) {
      k += str_text(r);
      return k;
    }
    pybind11::object text = pybind11::reinterpret_steal<pybind11::object>(PyObject_Repr(r.ptr()));
    if (!text) throw pybind11::error_already_set();
    k += str_text(text);
    return k;
  }

 private:
  static void expect_dict(const Ref& r) {
    if (!PyDict_Check(r.ptr())) {
      throw TypeError(std::string("expected dict, got ") + Py_TYPE(r.ptr())->tp_name);
    }
  }
};

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_TREE_H_
