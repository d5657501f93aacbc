// Fuzz target: the structural difference. The input is read as a JSON list; its first two items
// are compared both ways. Equal values must give an empty difference, and every difference must
// print.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/structdiff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<qor::json::Value> input = qor::fuzz::list_input(data, size, 2);
  if (!input) return 0;
  qor::json::Value& value = *input;
  const qor::json::Value& a = value.as_array()[0];
  const qor::json::Value& b = value.as_array()[1];
  for (int turn = 0; turn < 2; ++turn) {
    const qor::json::Value& older = turn == 0 ? a : b;
    const qor::json::Value& newer = turn == 0 ? b : a;
    const qor::structdiff::Delta delta = qor::structdiff::diff(older, newer);
    if (older == newer && !delta.empty()) std::abort();
    const double s = qor::structdiff::similarity(older, newer);
    if (!(s >= 0.0 && s <= 1.0)) std::abort();
    qor::structdiff::repr(delta);
  }
  return 0;
}
