// Fuzz target: the structural difference. The input is read as a JSON list; its first two items
// are compared both ways, under the default limits and under budgets so small that the
// alignment falls back to equality part way or from the start. Every difference must be empty
// exactly when the values are equal, lead from the old value to the new one, hold the same keys
// under every budget, and print.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/structdiff.h"

namespace {

using qor::json::Value;
using qor::structdiff::Delta;

// The value `d` leads to from `old_value`, as jsondiff's patch applies the compact form.
Value apply(const Value& old_value, const Delta& d) {
  switch (d.kind()) {
    case Delta::Kind::kEmpty:
      return old_value;
    case Delta::Kind::kValue:
    case Delta::Kind::kReplace:
      return d.new_value();
    case Delta::Kind::kObject: {
      // Member by member, so that a changed member is not copied before it is rebuilt.
      const auto& part = d.object_part();
      qor::json::Object out;
      for (const auto& m : old_value.as_object()) {
        if (std::find(part.deleted.begin(), part.deleted.end(), m.name()) != part.deleted.end()) {
          continue;
        }
        const Delta* child = d.find(m.name());
        out.set(m.name(), child != nullptr ? apply(m.value, *child) : m.value);
      }
      for (const auto& [key, child] : part.entries) {
        if (!old_value.as_object().contains(key)) out.set(key, child.new_value());
      }
      return Value(std::move(out));
    }
    case Delta::Kind::kList: {
      qor::json::Array out = old_value.as_array();
      for (std::size_t pos : d.list_part().deleted) {
        if (pos >= out.size()) std::abort();
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos));
      }
      for (const auto& [pos, item] : d.list_part().inserted) {
        if (pos > out.size()) std::abort();
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), item);
      }
      for (const auto& [pos, child] : d.list_part().changed) {
        if (pos >= out.size()) std::abort();
        out[pos] = apply(out[pos], child);
      }
      return Value(std::move(out));
    }
  }
  std::abort();
}

std::string keys_of(const Delta& d) {
  std::string keys = d.kind() == Delta::Kind::kObject ? "object:" : d.empty() ? "empty" : "other";
  if (d.kind() == Delta::Kind::kObject) {
    for (const auto& [key, child] : d.object_part().entries) keys += key + "\n";
    keys += d.object_part().deleted.empty() ? "" : "$delete";
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<Value> input = qor::fuzz::list_input(data, size, 2);
  if (!input) return 0;
  const Value& a = input->as_array()[0];
  const Value& b = input->as_array()[1];
  const qor::structdiff::Limits budgets[] = {{}, {0, 0, 0}, {40, 1, 256}};
  for (int turn = 0; turn < 2; ++turn) {
    const Value& older = turn == 0 ? a : b;
    const Value& newer = turn == 0 ? b : a;
    std::string keys;
    for (const auto& limits : budgets) {
      const Delta delta = qor::structdiff::diff(older, newer, limits);
      if ((older == newer) != delta.empty()) std::abort();
      if (!(apply(older, delta) == newer)) std::abort();
      if (keys.empty()) keys = keys_of(delta);
      if (keys_of(delta) != keys) std::abort();
      qor::structdiff::repr(delta);
    }
    const double s = qor::structdiff::similarity(older, newer);
    if (!(s >= 0.0 && s <= 1.0)) std::abort();
  }
  return 0;
}
