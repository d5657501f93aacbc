// Core error categories to Python exceptions. The Python exception objects are built the way the
// standard library builds its own, so that callers can catch and inspect them as usual
// (JSONDecodeError.pos/.lineno/.colno, UnicodeDecodeError.start/.end, OSError.errno/.filename).
#include "py_errors.h"

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

#include "qor/errors.h"
#include "qor/interrupt.h"

namespace pyb = pybind11;

namespace qor::py {
namespace {

// The exception a signal handler raised, from the check until the translator raises it again
// (per thread: each operation runs on its caller's thread).
struct PendingException {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local PendingException pending;

void check_signals() {
  pyb::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() == 0) return;
  Py_XDECREF(pending.type);
  Py_XDECREF(pending.value);
  Py_XDECREF(pending.traceback);
  PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
  throw interrupt::Interrupted();
}

void raise_pending() {
  if (pending.type == nullptr) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  PyErr_Restore(pending.type, pending.value, pending.traceback);
  pending = {};
}

void raise_decode_error(const DecodeError& e) {
  pyb::object cls = pyb::module_::import("json").attr("JSONDecodeError");
  pyb::object exc = cls.attr("__new__")(cls);
  pyb::module_::import("builtins").attr("ValueError").attr("__init__")(exc, e.what());
  exc.attr("msg") = e.msg();
  exc.attr("doc") = "";
  exc.attr("pos") = e.pos();
  exc.attr("lineno") = e.line();
  exc.attr("colno") = e.column();
  PyErr_SetObject(cls.ptr(), exc.ptr());
}

void raise_unicode_error(const UnicodeError& e) {
  // The object holds the offending bytes at their own offsets, so that the exception prints
  // the byte and the position of the file.
  std::string object(e.start(), '\0');
  object += e.sequence();
  std::string reason = e.reason();
  if (!e.file().empty()) reason += " (in file " + py_quote(e.file()) + ")";
  PyObject* exc = PyUnicodeDecodeError_Create(
      "utf-8", object.data(), static_cast<Py_ssize_t>(object.size()),
      static_cast<Py_ssize_t>(e.start()), static_cast<Py_ssize_t>(e.end()), reason.c_str());
  if (exc == nullptr) return;
  PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
  Py_DECREF(exc);
}

void raise_io_error(const IoError& e) {
  // The file name as Python's os functions give it: decoded as the file system encodes names
  // (a byte that is not UTF-8 becomes a surrogate escape), never a decoding error of its own.
  const std::string& path = e.path();
  pyb::object filename = pyb::reinterpret_steal<pyb::object>(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!filename) throw pyb::error_already_set();
  pyb::object exc = pyb::reinterpret_borrow<pyb::object>(PyExc_OSError)(
      e.error_code(), std::strerror(e.error_code()), filename);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

void translate(std::exception_ptr p) {
  try {
    try {
      std::rethrow_exception(p);
    } catch (const DecodeError& e) {
      raise_decode_error(e);
    } catch (const UnicodeError& e) {
      raise_unicode_error(e);
    } catch (const KeyError& e) {
      pyb::object key = e.has_context() ? pyb::str(e.what()) : pyb::str(e.key());
      PyErr_SetObject(PyExc_KeyError, key.ptr());
    } catch (const TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const AssertionError&) {
      PyErr_SetNone(PyExc_AssertionError);
    } catch (const IoError& e) {
      raise_io_error(e);
    } catch (const Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const interrupt::Interrupted&) {
      raise_pending();
    }
  } catch (pyb::error_already_set& e) {
    // Building the exception failed; report that failure instead.
    e.restore();
  }
}

}  // namespace

void register_error_translator() {
  pyb::register_local_exception_translator(&translate);
  interrupt::set_check(&check_signals);
}

}  // namespace qor::py
