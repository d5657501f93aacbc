// Translation of the core's exceptions into Python exceptions, shared by every module.
#ifndef QOR_PYTHON_PY_ERRORS_H_
#define QOR_PYTHON_PY_ERRORS_H_

namespace qor::py {

// Registers, for the calling module only, the translator that turns each core error category into
// the Python exception of the same name: KeyError, TypeError, ValueError (json.JSONDecodeError for
// invalid JSON, UnicodeDecodeError for invalid UTF-8), OSError (with errno and file name),
// AssertionError (without a message) and RuntimeError for any other core error.
//
// Also connects the core's interruption check (qor/interrupt.h) to Python's signal handling, for
// the whole process: long native work runs Python's signal handlers every few milliseconds
// (taking the GIL for that moment when the work runs without it), and an exception they raise,
// KeyboardInterrupt for Ctrl-C, stops the work and reaches the caller as it was raised.
void register_error_translator();

}  // namespace qor::py

#endif  // QOR_PYTHON_PY_ERRORS_H_
