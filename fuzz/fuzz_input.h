// The input of a fuzz target read as one JSON value (private to fuzz/).
#ifndef QOR_FUZZ_FUZZ_INPUT_H_
#define QOR_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "qor/errors.h"
#include "qor/json.h"

namespace qor::fuzz {

// The input as a JSON list of at least `items` items, or nothing.
inline std::optional<json::Value> list_input(const std::uint8_t* data, std::size_t size,
                                             std::size_t items) {
  json::Value value;
  try {
    value = json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const Error&) {
    return std::nullopt;
  }
  if (!value.is_array() || value.as_array().size() < items) return std::nullopt;
  return value;
}

}  // namespace qor::fuzz

#endif  // QOR_FUZZ_FUZZ_INPUT_H_
