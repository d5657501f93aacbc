// Alignment of two lists for the structural difference (private to src/structdiff).
#ifndef QOR_STRUCTDIFF_ALIGN_H_
#define QOR_STRUCTDIFF_ALIGN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "qor/json.h"

namespace qor::structdiff::detail {

enum class StepKind : std::uint8_t { kPair, kInsert, kDelete };

// One step of an alignment: a pair of old item `i` with new item `j` (with similarity `s`), the
// insertion of new item `j`, or the deletion of old item `i`.
struct Step {
  StepKind kind;
  std::size_t i;
  std::size_t j;
  double s;
};

using Similarity = std::function<double(const json::Value&, const json::Value&)>;

// Aligns `x` (old) with `y` (new) along a longest common subsequence weighted by `sim`, which
// is asked only about unequal items that are both objects or both lists (every other unequal
// pair weighs 0, equal items weigh 1). Among optimal alignments, the one found by walking back
// from the ends, preferring a pair whose weight is positive and lies on an optimal alignment,
// then an insertion when the best score without the new item is at least the best without the
// old one, else a deletion. Returns the steps in forward order.
std::vector<Step> align(const json::Array& x, const json::Array& y, const Similarity& sim);

}  // namespace qor::structdiff::detail

#endif  // QOR_STRUCTDIFF_ALIGN_H_
