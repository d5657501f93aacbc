// Fuzz target: the structural difference. The input is read as a JSON list; its first two items
// are compared both ways, under the default limits and under budgets so small that the
// alignment falls back to equality part way or from the start. Every difference must be empty
// exactly when the values are equal, lead from the old value to the new one, hold the same keys
// under every budget, and print.
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
      if (!(qor::structdiff::apply(older, delta) == newer)) std::abort();
      if (keys.empty()) keys = keys_of(delta);
      if (keys_of(delta) != keys) std::abort();
      qor::structdiff::repr(delta);
    }
    const double s = qor::structdiff::similarity(older, newer);
    if (!(s >= 0.0 && s <= 1.0)) std::abort();
  }
  return 0;
}
