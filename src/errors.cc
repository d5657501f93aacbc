// Construction of the core's error messages. Messages follow Python's wording, so that a user
// sees the same text from the command line and from the Python modules.
#include "qor/errors.h"

#include <cstdio>
#include <cstring>

#include "qor/json.h"

namespace qor {

std::string py_quote(const std::string& text) {
  std::string out;
  json::append_py_str_repr(text, out);
  return out;
}

std::string argument_type_message(std::string_view name, std::string_view expected,
                                  std::string_view given) {
  // The "%.200s" of the message's C format: at most 200 bytes, cut on a character boundary.
  auto cut = [](std::string_view text) {
    if (text.size() <= 200) return std::string(text);
    std::size_t n = 200;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
  };
  return "Argument '" + cut(name) + "' has incorrect type (expected " + cut(expected) + ", got " +
         cut(given) + ")";
}

void rethrow_with_context(const std::string& where) {
  try {
    throw;
  } catch (const KeyError& e) {
    throw KeyError(
        e.key(),
        where + ": " + (e.has_context() ? e.what() : "missing key " + std::string(e.what())));
  } catch (const TypeError& e) {
    throw TypeError(where + ": " + e.what());
  } catch (const DecodeError&) {
    throw;
  } catch (const UnicodeError&) {
    throw;
  } catch (const ValueError& e) {
    throw ValueError(where + ": " + e.what());
  }
}

KeyError::KeyError(const std::string& key) : Error(py_quote(key)), key_(key), has_context_(false) {}

KeyError::KeyError(const std::string& key, const std::string& message)
    : Error(message), key_(key), has_context_(true) {}

namespace {

std::string decode_message(const std::string& msg, std::size_t pos, std::size_t line,
                           std::size_t column, const std::string& file) {
  std::string text = file.empty() ? std::string() : file + ": ";
  text += msg + ": line " + std::to_string(line) + " column " + std::to_string(column) + " (char " +
          std::to_string(pos) + ")";
  return text;
}

std::string unicode_message(std::size_t start, std::size_t end, unsigned char byte,
                            const std::string& reason, const std::string& file) {
  char buf[160];
  if (end - start <= 1) {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: ", byte,
                  start);
  } else {
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: ", start,
                  end - 1);
  }
  std::string text = file.empty() ? std::string() : file + ": ";
  return text + buf + reason;
}

}  // namespace

DecodeError::DecodeError(std::string msg, std::size_t pos, std::size_t line, std::size_t column,
                         std::string file)
    : ValueError(decode_message(msg, pos, line, column, file)),
      msg_(std::move(msg)),
      pos_(pos),
      line_(line),
      column_(column),
      file_(std::move(file)) {}

UnicodeError::UnicodeError(std::size_t start, std::size_t end, std::string sequence,
                           std::string reason, std::string file)
    : ValueError(
          unicode_message(start, end, static_cast<unsigned char>(sequence.at(0)), reason, file)),
      start_(start),
      end_(end),
      sequence_(std::move(sequence)),
      reason_(std::move(reason)),
      file_(std::move(file)) {}

IoError::IoError(int err, const std::string& path)
    : IoError(err, path,
              "[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": " + py_quote(path)) {
}

IoError::IoError(int err, const std::string& path, const std::string& message)
    : Error(message), errno_(err), path_(path) {}

}  // namespace qor
