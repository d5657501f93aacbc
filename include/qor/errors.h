// Error categories of the qor core. Every failure in the core is one of these exceptions; the
// message is final, user-visible text. The Python modules map each category onto the Python
// exception of the same name, and the command line turns them into exit statuses.
#ifndef QOR_ERRORS_H_
#define QOR_ERRORS_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qor {

// Base of every error the core throws.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value of the wrong kind where a particular kind is needed (Python's TypeError).
class TypeError : public Error {
 public:
  using Error::Error;
};

// A value that has the right kind but cannot be used (Python's ValueError).
class ValueError : public Error {
 public:
  using Error::Error;
};

// A required key is missing (Python's KeyError). `key()` is the missing key; what() is either
// the key in quotes (as Python prints a KeyError) or, when the thrower knows where the key was
// looked up, a sentence naming that place.
class KeyError : public Error {
 public:
  explicit KeyError(const std::string& key);
  KeyError(const std::string& key, const std::string& message);

  const std::string& key() const { return key_; }
  // True when what() carries more than the quoted key.
  bool has_context() const { return has_context_; }

 private:
  std::string key_;
  bool has_context_;
};

// An internal consistency condition of the merge and diff records failed (Python's
// AssertionError without a message). Raised, never aborts: callers may pass any value.
class AssertionError : public Error {
 public:
  AssertionError() : Error("") {}
};

// A JSON text that is not valid (Python's json.JSONDecodeError). `pos`, `line` and `column`
// count characters (code points) the way CPython's json module does: `pos` from 0, `line` and
// `column` from 1. `file` is the file the text came from, empty for in-memory text.
class DecodeError : public ValueError {
 public:
  DecodeError(std::string msg, std::size_t pos, std::size_t line, std::size_t column,
              std::string file = {});

  const std::string& msg() const { return msg_; }
  std::size_t pos() const { return pos_; }
  std::size_t line() const { return line_; }
  std::size_t column() const { return column_; }
  const std::string& file() const { return file_; }

 private:
  std::string msg_;
  std::size_t pos_, line_, column_;
  std::string file_;
};

// Bytes that are not valid UTF-8 (Python's UnicodeDecodeError). `start` and `end` are byte
// offsets of the offending sequence, `sequence` its bytes; `reason` is CPython's wording
// ("invalid start byte", ...).
class UnicodeError : public ValueError {
 public:
  UnicodeError(std::size_t start, std::size_t end, std::string sequence, std::string reason,
               std::string file = {});

  std::size_t start() const { return start_; }
  std::size_t end() const { return end_; }
  const std::string& sequence() const { return sequence_; }
  const std::string& reason() const { return reason_; }
  const std::string& file() const { return file_; }

 private:
  std::size_t start_, end_;
  std::string sequence_;
  std::string reason_;
  std::string file_;
};

// A file-system operation failed (Python's OSError with errno and file name).
class IoError : public Error {
 public:
  // `err` is the errno value; the message reads "[Errno N] strerror: 'path'".
  IoError(int err, const std::string& path);
  IoError(int err, const std::string& path, const std::string& message);

  int error_code() const { return errno_; }
  const std::string& path() const { return path_; }

 private:
  int errno_;
  std::string path_;
};

// An external command failed in a way that is not its normal report (an exit status that
// means the command itself failed, or death by a signal).
class CommandError : public Error {
 public:
  using Error::Error;
};

// Quotes `text` the way Python's repr() quotes a str, for messages.
std::string py_quote(const std::string& text);

// "Argument '<name>' has incorrect type (expected <expected>, got <given>)": the message of a
// call whose argument has the wrong type (each part cut at 200 bytes, as the C format does).
std::string argument_type_message(std::string_view name, std::string_view expected,
                                  std::string_view given);

// Inside a catch block: throws the exception being handled again with `where` and ": " in front
// of its message, when it is a KeyError (an uninformative "'key'" becomes "missing key 'key'"),
// a TypeError or a plain ValueError. Other errors (positions in a text, files, commands) carry
// their own place and are rethrown as they are.
[[noreturn]] void rethrow_with_context(const std::string& where);

}  // namespace qor

#endif  // QOR_ERRORS_H_
