// Python objects <-> json::Value. Strings cross as UTF-8 with lone surrogates passed through,
// so that any str survives the round trip; containers are walked with an explicit depth bound
// and a set of the containers on the current path, so that cycles and deep nesting are errors.
#include "py_json.h"

#include <cmath>
#include <unordered_set>

#include "qor/errors.h"

namespace pyb = pybind11;

namespace qor::py {
namespace {

class ToValue {
 public:
  json::Value convert(pyb::handle obj) {
    PyObject* o = obj.ptr();
    if (PyUnicode_Check(o)) return json::Value(std::string_view(str_text(obj)));
    if (o == Py_None) return json::Value();
    if (o == Py_True) return json::Value(true);
    if (o == Py_False) return json::Value(false);
    if (PyLong_Check(o)) return integer(o);
    if (PyFloat_Check(o)) return json::Value(PyFloat_AS_DOUBLE(o));
    if (PyDict_Check(o)) return dict(obj);
    if (PyList_Check(o) || PyTuple_Check(o)) return sequence(obj);
    throw TypeError(std::string("Object of type ") + Py_TYPE(o)->tp_name +
                    " is not JSON serializable");
  }

 private:
  static json::Value integer(PyObject* o) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) throw pyb::error_already_set();
      return json::Value(v);
    }
    pyb::object text = pyb::reinterpret_steal<pyb::object>(PyLong_Type.tp_repr(o));
    if (!text) throw pyb::error_already_set();
    return json::Value::integer_from_digits(str_text(text));
  }

  // A dict key as json.dumps writes it.
  static std::string key_text(pyb::handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_Check(k)) return str_text(key);
    if (k == Py_True) return "true";
    if (k == Py_False) return "false";
    if (k == Py_None) return "null";
    if (PyLong_Check(k)) {
      pyb::object text = pyb::reinterpret_steal<pyb::object>(PyLong_Type.tp_repr(k));
      if (!text) throw pyb::error_already_set();
      return str_text(text);
    }
    if (PyFloat_Check(k)) {
      const double d = PyFloat_AS_DOUBLE(k);
      if (std::isnan(d)) return "NaN";
      if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
      std::string out;
      json::append_real(d, out);
      return out;
    }
    throw TypeError(std::string("keys must be str, int, float, bool or None, not ") +
                    Py_TYPE(k)->tp_name);
  }

  void enter(PyObject* o) {
    if (path_.size() >= json::kMaxDepth) throw ValueError("Nesting deeper than 1000 levels");
    if (!path_.insert(o).second) throw ValueError("Circular reference detected");
  }

  // Converting a value can run Python code (a dict subclass's items(), for one), which may
  // change any list on the way, the list of items included. So every item is held by an owned
  // reference while it is converted, and sizes are read again before every item.

  json::Value dict(pyb::handle obj) {
    enter(obj.ptr());
    json::Object members;
    // Items are taken from a list of pairs, so that a dict changed by a key's __hash__ or a
    // value's conversion cannot invalidate the iteration.
    pyb::object items = pyb::reinterpret_steal<pyb::object>(PyMapping_Items(obj.ptr()));
    if (!items) throw pyb::error_already_set();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
      pyb::object pair = pyb::reinterpret_borrow<pyb::object>(PyList_GET_ITEM(items.ptr(), i));
      if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2) {
        throw TypeError(std::string(Py_TYPE(obj.ptr())->tp_name) +
                        ".items() must give (key, value) pairs, not " +
                        Py_TYPE(pair.ptr())->tp_name);
      }
      std::string key = key_text(PyTuple_GET_ITEM(pair.ptr(), 0));
      json::Value value = convert(PyTuple_GET_ITEM(pair.ptr(), 1));
      members.set(key, std::move(value));
    }
    path_.erase(obj.ptr());
    return json::Value(std::move(members));
  }

  json::Value sequence(pyb::handle obj) {
    enter(obj.ptr());
    // A list or tuple itself; a subclass through its iterator, as json.dumps reads it.
    pyb::object seq =
        pyb::reinterpret_steal<pyb::object>(PySequence_Fast(obj.ptr(), "not a sequence"));
    if (!seq) throw pyb::error_already_set();
    json::Array items;
    items.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.ptr())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
      pyb::object item =
          pyb::reinterpret_borrow<pyb::object>(PySequence_Fast_GET_ITEM(seq.ptr(), i));
      items.push_back(convert(item));
    }
    path_.erase(obj.ptr());
    return json::Value(std::move(items));
  }

  std::unordered_set<PyObject*> path_;
};

}  // namespace

pyb::object make_str(std::string_view text) {
  PyObject* s =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (s == nullptr) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(s);
}

std::string str_text(pyb::handle obj) {
  if (!PyUnicode_Check(obj.ptr())) {
    throw TypeError(std::string("expected str, got ") + Py_TYPE(obj.ptr())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();  // lone surrogates: encode them as they are
  PyObject* bytes = PyUnicode_AsEncodedString(obj.ptr(), "utf-8", "surrogatepass");
  if (bytes == nullptr) throw pyb::error_already_set();
  std::string text(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return text;
}

std::string fs_path(pyb::handle obj) {
  PyObject* bytes = nullptr;
  if (PyUnicode_FSConverter(obj.ptr(), &bytes) == 0) throw pyb::error_already_set();
  pyb::object owned = pyb::reinterpret_steal<pyb::object>(bytes);
  return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

json::Value to_value(pyb::handle obj) { return ToValue().convert(obj); }

pyb::object from_value(const json::Value& value) {
  switch (value.type()) {
    case json::Type::kNull:
      return pyb::none();
    case json::Type::kBool:
      return pyb::bool_(value.as_bool());
    case json::Type::kInt:
      return pyb::reinterpret_steal<pyb::object>(PyLong_FromLongLong(value.as_int()));
    case json::Type::kBigInt: {
      const std::string digits(value.big_int_digits());
      PyObject* o = PyLong_FromString(digits.c_str(), nullptr, 10);
      if (o == nullptr) throw pyb::error_already_set();
      return pyb::reinterpret_steal<pyb::object>(o);
    }
    case json::Type::kReal:
      return pyb::reinterpret_steal<pyb::object>(PyFloat_FromDouble(value.as_real()));
    case json::Type::kString:
      return make_str(value.as_string());
    case json::Type::kArray: {
      const json::Array& items = value.as_array();
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
      if (list == nullptr) throw pyb::error_already_set();
      pyb::object result = pyb::reinterpret_steal<pyb::object>(list);
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), from_value(items[i]).release().ptr());
      }
      return result;
    }
    case json::Type::kObject: {
      pyb::dict dict;
      for (const auto& m : value.as_object()) {
        pyb::object key = make_str(m.name());
        pyb::object item = from_value(m.value);
        if (PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()) != 0) throw pyb::error_already_set();
      }
      return dict;
    }
  }
  return pyb::none();
}

pyb::object from_delta(const structdiff::Delta& delta, const Markers& markers) {
  using Kind = structdiff::Delta::Kind;
  switch (delta.kind()) {
    case Kind::kEmpty:
      return pyb::dict();
    case Kind::kValue:
      return from_value(delta.new_value());
    case Kind::kReplace: {
      pyb::dict d;
      d[markers.replace] = from_value(delta.new_value());
      return d;
    }
    case Kind::kObject: {
      const auto& part = delta.object_part();
      pyb::dict d;
      for (const auto& [key, child] : part.entries) d[make_str(key)] = from_delta(child, markers);
      if (!part.deleted.empty()) {
        pyb::list keys;
        for (const std::string& key : part.deleted) keys.append(make_str(key));
        d[markers.del] = keys;
      }
      return d;
    }
    case Kind::kList: {
      const auto& part = delta.list_part();
      pyb::dict d;
      for (const auto& [pos, child] : part.changed) d[pyb::int_(pos)] = from_delta(child, markers);
      if (!part.inserted.empty()) {
        pyb::list items;
        for (const auto& [pos, item] : part.inserted) {
          items.append(pyb::make_tuple(pyb::int_(pos), from_value(item)));
        }
        d[markers.insert] = items;
      }
      if (!part.deleted.empty()) {
        pyb::list positions;
        for (std::size_t pos : part.deleted) positions.append(pyb::int_(pos));
        d[markers.del] = positions;
      }
      return d;
    }
  }
  return pyb::none();
}

}  // namespace qor::py
