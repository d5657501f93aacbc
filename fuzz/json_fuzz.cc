// Fuzz target: the JSON reader and writer. Any text either fails with a core error or reads into
// a value that writes, reads back equal and writes again to the same bytes. The lazy reader, from
// a level the input chooses, agrees with the plain one: the same error, or a value that writes
// the same bytes (in both layouts), compares equal both ways (also to the value held as the text
// of either layout), and writes the same again once it is read whole. The UTF-8 check reports
// the sequence that a byte-wise decoder reports.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include "qor/errors.h"
#include "qor/json.h"

namespace {

// The error's kind and text, or nothing.
std::string error_of(const std::function<void()>& read) {
  try {
    read();
  } catch (const qor::Error& e) {
    return std::string(typeid(e).name()) + ": " + e.what();
  }
  return {};
}

// The first invalid UTF-8 sequence of `text` as CPython's decoder reports it ("start end
// reason"), or nothing: the byte-wise statement of the rules, for the reader's check, which
// skips blocks of ASCII and two-byte sequences sixteen bytes at a time.
std::string utf8_error(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = p[i];
    std::size_t need = 1;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 3;
      lo = c == 0xE0 ? 0xA0 : 0x80;
      hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 4;
      lo = c == 0xF0 ? 0x90 : 0x80;
      hi = c == 0xF4 ? 0x8F : 0xBF;
    } else if (c >= 0x80) {
      return std::to_string(i) + " " + std::to_string(i + 1) + " invalid start byte";
    }
    for (std::size_t k = 1; k < need; ++k) {
      if (i + k == n) {
        return std::to_string(i) + " " + std::to_string(n) + " unexpected end of data";
      }
      const unsigned b = p[i + k];
      if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
        return std::to_string(i) + " " + std::to_string(i + k) + " invalid continuation byte";
      }
    }
    i += need;
  }
  return {};
}

// Reads every array and object of `v`, so that nothing stays held as text.
void read_whole(const qor::json::Value& v) {
  if (v.is_array()) {
    for (const auto& item : v.as_array()) read_whole(item);
  } else if (v.is_object()) {
    for (const auto& m : v.as_object()) read_whole(m.value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t lazy_depth = size == 0 ? 0 : data[size / 2] % 4;
  std::string checked;
  try {
    qor::json::check_utf8(text);
  } catch (const qor::UnicodeError& e) {
    checked = std::to_string(e.start()) + " " + std::to_string(e.end()) + " " + e.reason();
  }
  if (checked != utf8_error(text)) std::abort();
  auto owned = std::make_shared<const std::string>(text);
  qor::json::Value value, lazy;
  const std::string plain_error = error_of([&] { value = qor::json::parse(text); });
  const std::string lazy_error = error_of([&] {
    lazy = qor::json::parse_lazy(*owned, "", owned, {lazy_depth, {}});
  });
  if (plain_error != lazy_error) std::abort();
  if (!plain_error.empty()) return 0;
  const std::string written = qor::json::write(value);
  if (qor::json::write(lazy) != written) std::abort();
  std::string pretty, lazy_pretty;
  const std::string pretty_error = error_of([&] { qor::json::write_pretty(value, pretty); });
  if (error_of([&] { qor::json::write_pretty(lazy, lazy_pretty); }) != pretty_error) std::abort();
  if (pretty_error.empty() && lazy_pretty != pretty) std::abort();
  const qor::json::Value lazy_copy = lazy;
  if (!(lazy == value) || !(value == lazy_copy)) std::abort();
  // Held as text both (in the written form and, where it can be written, in the indented one),
  // the value still compares equal to itself read lazily from the input.
  for (const std::string* form : {&written, pretty_error.empty() ? &pretty : &written}) {
    auto form_owned = std::make_shared<const std::string>(*form);
    const qor::json::Value other = qor::json::parse_lazy(*form_owned, "", form_owned, {1, {}});
    const qor::json::Value input = qor::json::parse_lazy(*owned, "", owned, {1, {}});
    if (!(other == input) || !(input == other)) std::abort();
  }
  // The strings of each array item joined from its text, as from its members read.
  if (const qor::json::Value fresh = qor::json::parse_lazy(*owned, "", owned, {1, {}});
      fresh.is_array()) {
    for (const qor::json::Value& item : fresh.as_array()) {
      std::string joined, expected;
      const bool strings = qor::json::append_string_items(item, joined);
      const qor::json::Value read = item;
      read_whole(read);
      if (read.is_array()) {
        for (const qor::json::Value& s : read.as_array()) {
          if (s.is_string()) expected += s.as_string();
        }
      }
      const bool all_strings =
          read.is_array() && std::all_of(read.as_array().begin(), read.as_array().end(),
                                         [](const qor::json::Value& s) { return s.is_string(); });
      if (strings != all_strings || joined != (strings ? expected : std::string())) std::abort();
    }
  }
  read_whole(lazy);
  if (qor::json::write(lazy) != written) std::abort();
  const qor::json::Value again = qor::json::parse(written);
  if (!(again == value)) std::abort();
  if (qor::json::write(again) != written) std::abort();
  std::string repr;
  qor::json::append_py_repr(value, repr);
  return 0;
}
