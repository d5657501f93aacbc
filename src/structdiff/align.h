// Alignment of two lists for the structural difference, and the budget that bounds it (private
// to src/structdiff).
#ifndef QOR_STRUCTDIFF_ALIGN_H_
#define QOR_STRUCTDIFF_ALIGN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qor/json.h"
#include "qor/structdiff.h"

namespace qor::structdiff::detail {

// The work and the table memory that one list alignment may spend, together with every
// comparison and alignment nested in it. A unit of work is about one table cell, one value
// visited or sixteen bytes of text compared or hashed. Work is spent as it is done; a table is
// only built when its cells and its memory fit in what is left. Once the work is spent, lists
// pair equal items only and unequal items weigh nothing.
class Budget {
 public:
  Budget(std::uint64_t work, std::size_t memory) : work_(work), memory_(memory) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  bool spent() const { return work_ == 0; }
  std::uint64_t work_left() const { return work_; }
  std::size_t memory_left() const { return memory_; }

  // Spends `units`, or what is left when less is. Polls for interruption now and then.
  void spend(std::uint64_t units);
  // Spends `units` when that many are left; otherwise spends nothing and returns false.
  bool try_spend(std::uint64_t units);
  // Takes `bytes` of table memory when that many are free; false otherwise.
  bool try_reserve(std::size_t bytes);
  void release(std::size_t bytes) { memory_ += bytes; }

 private:
  std::uint64_t work_;
  std::size_t memory_;
  std::uint64_t unpolled_ = 0;
};

// Table memory held for as long as the object lives.
class Reservation {
 public:
  Reservation(Budget& budget, std::size_t bytes) : budget_(budget), bytes_(bytes) {}
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;
  ~Reservation() { budget_.release(bytes_); }

 private:
  Budget& budget_;
  std::size_t bytes_;
};

// The work units a value stands for: one per value and per object member, and one per sixteen
// bytes of its strings and keys.
std::uint64_t units_of(const json::Value& v);

// json::Value equality, with the values visited charged to `budget`.
bool equal_within(const json::Value& a, const json::Value& b, Budget& budget);

// How alike two unequal values of one kind (two objects or two lists) are, from 0 to 1, as the
// structural difference weighs them; its work is charged to `budget`. Defined with the
// difference itself.
double similarity_within(const json::Value& a, const json::Value& b, const Limits& limits,
                         Budget& budget);

enum class StepKind : std::uint8_t { kPair, kInsert, kDelete };

// One step of an alignment: a pair of old item `i` with new item `j` (with similarity `s`, and
// whether the two are equal), the insertion of new item `j`, or the deletion of old item `i`.
struct Step {
  StepKind kind;
  bool equal;
  std::size_t i;
  std::size_t j;
  double s;
};

// Aligns `x` (old) with `y` (new) along a longest common subsequence in which equal items weigh
// 1, two unequal objects or two unequal lists weigh their similarity, and other unequal pairs
// weigh 0. Among optimal alignments, the one found by walking back from the ends, preferring a
// pair whose weight is positive and lies on an optimal alignment, then an insertion when the
// best score without the new item is at least the best without the old one, else a deletion.
// Work and table memory come from `budget`; where they do not suffice, items pair by equality
// alone (and where even that costs too much, only the equal items at both ends pair). Returns
// the steps in forward order.
std::vector<Step> align(const json::Array& x, const json::Array& y, const Limits& limits,
                        Budget& budget);

}  // namespace qor::structdiff::detail

#endif  // QOR_STRUCTDIFF_ALIGN_H_
