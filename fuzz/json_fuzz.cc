// Fuzz target: the JSON reader and writer. Any text either fails with a core error or reads into
// a value that writes, reads back equal and writes again to the same bytes. The lazy reader, from
// a level the input chooses, agrees with the plain one: the same error, or a value that writes
// the same bytes (in both layouts), compares equal both ways, and writes the same again once it
// is read whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
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
  read_whole(lazy);
  if (qor::json::write(lazy) != written) std::abort();
  const qor::json::Value again = qor::json::parse(written);
  if (!(again == value)) std::abort();
  if (qor::json::write(again) != written) std::abort();
  std::string repr;
  qor::json::append_py_repr(value, repr);
  return 0;
}
