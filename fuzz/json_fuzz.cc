// Fuzz target: the JSON reader and writer. Any text either fails with a core error or reads into
// a value that writes, reads back equal and writes again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qor/errors.h"
#include "qor/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qor::json::Value value;
  try {
    value = qor::json::parse(text);
  } catch (const qor::Error&) {
    return 0;
  }
  const std::string written = qor::json::write(value);
  const qor::json::Value again = qor::json::parse(written);
  if (!(again == value)) std::abort();
  if (qor::json::write(again) != written) std::abort();
  std::string repr;
  qor::json::append_py_repr(value, repr);
  return 0;
}
