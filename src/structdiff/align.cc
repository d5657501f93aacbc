// List alignment for the structural difference, within a work and memory budget.
//
// The alignment is the one that a full weighted-LCS table and a walk back from its far corner
// would give, computed without building that table where possible. Equal items at the ends are
// paired first (the walk always pairs them), a shared prefix is set aside (the walk meets it on a
// boundary where its moves are known), and only the middle is solved. Items of the middle get
// ids (equal items, equal ids) through a table under a keyed hash. When both sides hold objects
// or lists, a weighted table runs: each distinct pair of items is weighed once, the walk reads
// those weights back, and the score table is kept in checkpoint rows. Otherwise, or when the
// weighted table does not fit the budget, the middle is aligned over the ids with Myers' O(ND)
// search (whose edit distances answer the walk's questions exactly) or a bit-parallel LCS table
// kept in checkpoints; past the budget, a short Myers search or nothing pairs the middle.
#include "structdiff/align.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "keyed_hash.h"
#include "qor/interrupt.h"

namespace qor::structdiff::detail {

// ---------------------------------------------------------------------------------------------
// Budget

namespace {

// Work between two polls for interruption: well under a millisecond.
constexpr std::uint64_t kPollEvery = std::uint64_t{1} << 14;

}  // namespace

void Budget::spend(std::uint64_t units) {
  work_ = units < work_ ? work_ - units : 0;
  unpolled_ += units;
  if (unpolled_ >= kPollEvery) {
    unpolled_ = 0;
    interrupt::poll();
  }
}

bool Budget::try_spend(std::uint64_t units) {
  if (units > work_) return false;
  spend(units);
  return true;
}

bool Budget::try_reserve(std::size_t bytes) {
  if (bytes > memory_) return false;
  memory_ -= bytes;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Units, equality and the keyed structural hash

namespace {

using json::Array;
using json::Value;

std::uint64_t text_units(std::string_view text) { return text.size() / 16; }

bool equal_counting(const Value& a, const Value& b, std::uint64_t& units) {
  ++units;
  if (a.is_array()) {
    if (!b.is_array()) return false;
    const Array& x = a.as_array();
    const Array& y = b.as_array();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!equal_counting(x[i], y[i], units)) return false;
    }
    return true;
  }
  if (a.is_object()) {
    if (!b.is_object()) return false;
    const json::Object& x = a.as_object();
    const json::Object& y = b.as_object();
    if (x.size() != y.size()) return false;
    for (const auto& m : x) {
      units += 1 + text_units(m.name());
      const Value* other = y.find(m.name());
      if (other == nullptr || !equal_counting(m.value, *other, units)) return false;
    }
    return true;
  }
  if (b.is_container()) return false;
  if (a.is_string() && b.is_string()) units += text_units(a.as_string());
  return a == b;
}

enum : std::uint64_t {
  kTagNull = 1,
  kTagNumber,
  kTagDigits,
  kTagReal,
  kTagString,
  kTagArray,
  kTagObject,
  kTagMember
};

// A number's hash, equal for equal numbers of any kind (see json::number_key).
std::uint64_t number_hash(const Value& v) {
  const json::NumberKey key = json::number_key(v);
  qor::detail::KeyedHasher h;
  switch (key.kind) {
    case json::NumberKey::kInteger:
      h.write_u64(kTagNumber);
      h.write_u64(key.word);
      break;
    case json::NumberKey::kDigits:
      h.write_u64(kTagDigits);
      h.write(key.digits);
      break;
    case json::NumberKey::kRealBits:
      h.write_u64(kTagReal);
      h.write_u64(key.word);
      break;
  }
  return h.finish();
}

// A hash consistent with json::Value equality, under the process key; counts the units visited.
// An object's hash does not depend on its key order.
std::uint64_t structural_hash(const Value& v, std::uint64_t& units) {
  ++units;
  switch (v.type()) {
    case json::Type::kNull: {
      qor::detail::KeyedHasher h;
      h.write_u64(kTagNull);
      return h.finish();
    }
    case json::Type::kString: {
      const std::string_view text = v.as_string();
      units += text_units(text);
      qor::detail::KeyedHasher h;
      h.write_u64(kTagString);
      h.write(text);
      return h.finish();
    }
    case json::Type::kArray: {
      const Array& items = v.as_array();
      qor::detail::KeyedHasher h;
      h.write_u64(kTagArray);
      h.write_u64(items.size());
      for (const Value& item : items) h.write_u64(structural_hash(item, units));
      return h.finish();
    }
    case json::Type::kObject: {
      std::uint64_t sum = 0;
      for (const auto& m : v.as_object()) {
        units += 1 + text_units(m.name());
        qor::detail::KeyedHasher member;
        member.write_u64(kTagMember);
        member.write_u64(structural_hash(m.value, units));
        member.write(m.name());
        sum += member.finish();
      }
      qor::detail::KeyedHasher h;
      h.write_u64(kTagObject);
      h.write_u64(v.as_object().size());
      h.write_u64(sum);
      return h.finish();
    }
    default:
      return number_hash(v);
  }
}

// Gives equal values (json::Value equality) equal ids, 0, 1, 2, ... in order of first sight.
class IdMap {
 public:
  IdMap(std::size_t expected, Budget& budget)
      : budget_(budget), slots_(std::bit_ceil(std::max<std::size_t>(16, expected * 2))) {}

  std::uint32_t id(const Value& v) {
    std::uint64_t units = 0;
    const std::uint64_t hash = structural_hash(v, units);
    budget_.spend(units);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.rep == nullptr) {
        slot = {hash, &v, next_};
        return next_++;
      }
      if (slot.hash == hash && equal_within(*slot.rep, v, budget_)) return slot.id;
    }
  }

  std::uint32_t count() const { return next_; }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    const Value* rep = nullptr;
    std::uint32_t id = 0;
  };
  Budget& budget_;
  std::vector<Slot> slots_;
  std::uint32_t next_ = 0;
};

}  // namespace

std::uint64_t units_of(const Value& v) {
  std::uint64_t units = 1;
  if (v.is_string()) return units + text_units(v.as_string());
  if (v.is_array()) {
    for (const Value& item : v.as_array()) units += units_of(item);
  } else if (v.is_object()) {
    for (const auto& m : v.as_object()) units += 1 + text_units(m.name()) + units_of(m.value);
  }
  return units;
}

bool equal_within(const Value& a, const Value& b, Budget& budget) {
  std::uint64_t units = 0;
  const bool equal = equal_counting(a, b, units);
  budget.spend(units);
  return equal;
}

// ---------------------------------------------------------------------------------------------
// Alignment

namespace {

// Largest edit distance searched with Myers' algorithm before the bit-parallel table takes over.
constexpr std::size_t kMaxMyersDistance = 2000;
// The edit distance searched past the budget: a few edits in long lists still pair the rest.
constexpr std::size_t kGraceDistance = 16;
// Rows of the weighted score table between two kept rows.
constexpr std::size_t kScoreBlock = 64;
constexpr std::size_t kNoDistance = std::numeric_limits<std::size_t>::max();

bool has_container(const Array& a, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (a[i].is_container()) return true;
  }
  return false;
}

// a * b, or the largest value when that overflows.
std::uint64_t product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t p;
  return __builtin_mul_overflow(a, b, &p) ? std::numeric_limits<std::uint64_t>::max() : p;
}

// Edit distances (insertions and deletions) of the prefixes of two id sequences, from the
// furthest-reaching paths of Myers' algorithm: D(a, b) is the least d whose furthest-reaching
// path on diagonal a - b gets at least as far as a. Its fronts are table memory of the budget.
class MyersDistances {
 public:
  explicit MyersDistances(Budget& budget) : budget_(budget) {}
  MyersDistances(const MyersDistances&) = delete;
  MyersDistances& operator=(const MyersDistances&) = delete;
  ~MyersDistances() { budget_.release(reserved_); }

  // Runs the search; false when the distance exceeds `cap` or the fronts do not fit the
  // budget's memory (nothing is kept then).
  bool run(const std::vector<std::uint32_t>& xs, const std::vector<std::uint32_t>& ys,
           std::size_t cap) {
    if (xs.size() >= kFar || ys.size() >= kFar) return false;
    const long m = static_cast<long>(xs.size()), n = static_cast<long>(ys.size());
    long done_at = -1;
    for (long d = 0;; ++d) {
      if (static_cast<std::size_t>(d) > cap + 1 || !reserve(2 * d + 1)) {
        clear();
        return false;
      }
      std::vector<std::int32_t> v(static_cast<std::size_t>(2 * d + 1), -1);
      const std::vector<std::int32_t>* prev = d > 0 ? &fronts_.back() : nullptr;
      auto prev_at = [&](long k) -> long {
        if (prev == nullptr || k < -(d - 1) || k > d - 1) return -1;
        return (*prev)[static_cast<std::size_t>(k + d - 1)];
      };
      std::uint64_t units = static_cast<std::uint64_t>(2 * d + 1);
      for (long k = -d; k <= d; k += 2) {
        long a = -1;
        if (d == 0) {
          a = 0;
        } else {
          const long down = prev_at(k + 1);  // insertion: same a, b + 1
          if (down >= 0 && down - k <= n) a = down;
          const long right = prev_at(k - 1);  // deletion: a + 1
          if (right >= 0 && right + 1 <= m) a = std::max(a, right + 1);
        }
        if (a < 0) continue;
        long b = a - k;
        const long start = a;
        while (a < m && b < n &&
               xs[static_cast<std::size_t>(a)] == ys[static_cast<std::size_t>(b)]) {
          ++a;
          ++b;
        }
        units += static_cast<std::uint64_t>(a - start);
        v[static_cast<std::size_t>(k + d)] = static_cast<std::int32_t>(a);
      }
      budget_.spend(units);
      fronts_.push_back(std::move(v));
      if (done_at < 0) {
        const long k = m - n;
        if (k >= -d && k <= d && fronts_.back()[static_cast<std::size_t>(k + d)] >= m) {
          done_at = d;
        }
      } else {
        // One more round than the full distance: the walk asks about points one edit off an
        // optimal path, whose distance is at most one more.
        return true;
      }
    }
  }

  std::size_t distance(long a, long b) {
    const long k = a - b;
    std::uint64_t units = 0;
    std::size_t found = kNoDistance;
    for (long d = std::abs(k); d < static_cast<long>(fronts_.size()); d += 2) {
      ++units;
      if (fronts_[static_cast<std::size_t>(d)][static_cast<std::size_t>(k + d)] >= a) {
        found = static_cast<std::size_t>(d);
        break;
      }
    }
    budget_.spend(units);
    return found;
  }

 private:
  static constexpr std::size_t kFar = std::size_t{1} << 30;

  bool reserve(long entries) {
    const std::size_t bytes = static_cast<std::size_t>(entries) * sizeof(std::int32_t);
    if (!budget_.try_reserve(bytes)) return false;
    reserved_ += bytes;
    return true;
  }
  void clear() {
    fronts_.clear();
    budget_.release(reserved_);
    reserved_ = 0;
  }

  Budget& budget_;
  std::vector<std::vector<std::int32_t>> fronts_;
  std::size_t reserved_ = 0;
};

// LCS lengths of the prefixes of two id sequences, by the bit-parallel row recurrence
// V' = (V + U) | (V - U), U = V & match(x[a]); C(a, b) is the number of zero bits of row a below
// b. Rows are kept every kBlock rows and recomputed a block at a time for the walk back, which
// visits rows in decreasing order.
class BitLcs {
 public:
  static constexpr std::size_t kBlock = 64;

  // The work (row steps of one word) and the memory (bytes) it takes for m x n ids.
  static std::uint64_t work_for(std::size_t m, std::size_t n) {
    return product(2 * static_cast<std::uint64_t>(m), (n + 63) / 64) + m + n;
  }
  static std::uint64_t memory_for(std::size_t m, std::size_t n) {
    return product(m / kBlock + 2 + kBlock, ((n + 63) / 64) * 8) + product(n, 16);
  }

  BitLcs(const std::vector<std::uint32_t>& xs, const std::vector<std::uint32_t>& ys)
      : xs_(xs), words_((ys.size() + 63) / 64), match_(words_, 0) {
    for (std::size_t b = 0; b < ys.size(); ++b) positions_[ys[b]].push_back(b);
    std::vector<std::uint64_t> row(words_, ~std::uint64_t{0});
    for (std::size_t a = 0; a <= xs.size(); ++a) {
      if (a % kBlock == 0) checkpoints_.insert(checkpoints_.end(), row.begin(), row.end());
      if (a < xs.size()) step(row, xs[a]);
      if (a % kBlock == 0) interrupt::poll();
    }
  }

  // C(a, b): the LCS length of x[0..a) and y[0..b).
  std::size_t lcs(std::size_t a, std::size_t b) {
    const std::uint64_t* row = row_at(a);
    std::size_t ones = 0;
    for (std::size_t w = 0; w < b / 64; ++w)
      ones += static_cast<std::size_t>(std::popcount(row[w]));
    if (b % 64 != 0) {
      ones += static_cast<std::size_t>(
          std::popcount(row[b / 64] & ((std::uint64_t{1} << (b % 64)) - 1)));
    }
    return b - ones;
  }

 private:
  void step(std::vector<std::uint64_t>& row, std::uint32_t symbol) {
    auto it = positions_.find(symbol);
    if (it == positions_.end()) return;  // U = 0 leaves the row unchanged
    for (std::size_t b : it->second) match_[b / 64] |= std::uint64_t{1} << (b % 64);
    std::uint64_t carry = 0, borrow = 0;
    for (std::size_t w = 0; w < words_; ++w) {
      const std::uint64_t v = row[w], u = v & match_[w];
      const std::uint64_t sum1 = v + u;
      const std::uint64_t sum = sum1 + carry;
      carry = (sum1 < v || sum < sum1) ? 1 : 0;
      const std::uint64_t diff1 = v - u;
      const std::uint64_t diff = diff1 - borrow;
      borrow = (v < u || diff1 < borrow) ? 1 : 0;
      row[w] = sum | diff;
    }
    for (std::size_t b : it->second) match_[b / 64] = 0;
  }

  const std::uint64_t* row_at(std::size_t a) {
    const std::size_t base = a / kBlock * kBlock;
    if (block_base_ != base || block_.empty()) {
      interrupt::poll();
      block_.assign(
          checkpoints_.begin() + static_cast<std::ptrdiff_t>(base / kBlock * words_),
          checkpoints_.begin() + static_cast<std::ptrdiff_t>((base / kBlock + 1) * words_));
      std::vector<std::uint64_t> row(block_.begin(), block_.end());
      for (std::size_t r = base; r < base + kBlock - 1 && r < xs_.size(); ++r) {
        step(row, xs_[r]);
        block_.insert(block_.end(), row.begin(), row.end());
      }
      block_base_ = base;
    }
    return block_.data() + (a - base) * words_;
  }

  const std::vector<std::uint32_t>& xs_;
  std::size_t words_;
  std::vector<std::uint64_t> match_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> positions_;
  std::vector<std::uint64_t> checkpoints_;
  std::vector<std::uint64_t> block_;
  std::size_t block_base_ = 0;
};

// The weighted score table C of a middle, kept as every kScoreBlock-th row; rows are computed
// again from the nearest kept row, a block at a time, as the walk back needs them.
class ScoreRows {
 public:
  // Bytes it holds for an m x n middle.
  static std::uint64_t memory_for(std::size_t m, std::size_t n) {
    return product(m / kScoreBlock + kScoreBlock + 4, (n + 1) * sizeof(double));
  }

  // `weight(r, q)`: the weight of old item r - 1 with new item q - 1.
  template <class Weight>
  ScoreRows(std::size_t m, std::size_t n, Weight weight) : m_(m), width_(n + 1) {
    std::vector<double> prev(width_, 0.0), cur(width_, 0.0);
    kept_.insert(kept_.end(), prev.begin(), prev.end());
    for (std::size_t r = 1; r <= m_; ++r) {
      next_row(prev.data(), cur.data(), r, weight);
      std::swap(prev, cur);
      if (r % kScoreBlock == 0) kept_.insert(kept_.end(), prev.begin(), prev.end());
      if (r % kScoreBlock == 0) interrupt::poll();
    }
  }

  // Row `a` (1 <= a <= m) and row a - 1, valid until the next call.
  template <class Weight>
  std::pair<const double*, const double*> rows(std::size_t a, Weight weight) {
    const std::size_t base = (a - 1) / kScoreBlock * kScoreBlock;
    if (block_.empty() || block_base_ != base) {
      interrupt::poll();
      const std::size_t last = std::min(base + kScoreBlock, m_);
      block_.assign((last - base + 1) * width_, 0.0);
      std::copy_n(kept_.begin() + static_cast<std::ptrdiff_t>(base / kScoreBlock * width_), width_,
                  block_.begin());
      for (std::size_t r = base + 1; r <= last; ++r) {
        next_row(&block_[(r - base - 1) * width_], &block_[(r - base) * width_], r, weight);
      }
      block_base_ = base;
    }
    return {&block_[(a - base) * width_], &block_[(a - 1 - base) * width_]};
  }

 private:
  template <class Weight>
  void next_row(const double* prev, double* cur, std::size_t r, Weight& weight) const {
    cur[0] = 0.0;
    for (std::size_t q = 1; q < width_; ++q) {
      cur[q] = std::max({cur[q - 1], prev[q], prev[q - 1] + weight(r, q)});
    }
  }

  std::size_t m_, width_;
  std::vector<double> kept_;
  std::vector<double> block_;
  std::size_t block_base_ = 0;
};

class Aligner {
 public:
  Aligner(const Array& x, const Array& y, const Limits& limits, Budget& budget)
      : x_(x), y_(y), limits_(limits), budget_(budget) {}

  std::vector<Step> run() {
    std::size_t i = x_.size(), j = y_.size();
    while (i > 0 && j > 0 && equal(x_[i - 1], y_[j - 1])) pair(--i, --j, 1.0, true);
    if (i > 0 && j > 0) {
      const std::size_t limit = std::min(i, j);
      std::size_t k = 0;
      while (k < limit && equal(x_[k], y_[k])) ++k;
      if (k < i && k < j) middle(k, i, j);
    }
    // Now x[0..min(i, j)) equals y[0..min(i, j)): on that boundary the walk pairs equal ends
    // and otherwise consumes the longer side.
    while (j > i) {
      if (i > 0 && equal(x_[i - 1], y_[j - 1])) {
        pair(--i, --j, 1.0, true);
      } else {
        insert(--j);
      }
    }
    while (i > j) {
      if (j > 0 && equal(x_[i - 1], y_[j - 1])) {
        pair(--i, --j, 1.0, true);
      } else {
        remove(--i);
      }
    }
    while (i > 0) pair(--i, --j, 1.0, true);
    budget_.spend(steps_.size());
    std::reverse(steps_.begin(), steps_.end());
    return std::move(steps_);
  }

 private:
  bool equal(const Value& a, const Value& b) { return equal_within(a, b, budget_); }
  void pair(std::size_t i, std::size_t j, double s, bool equal) {
    steps_.push_back({StepKind::kPair, equal, i, j, s});
  }
  void insert(std::size_t j) { steps_.push_back({StepKind::kInsert, false, 0, j, 0.0}); }
  void remove(std::size_t i) { steps_.push_back({StepKind::kDelete, false, i, 0, 0.0}); }

  // Walks back through x[k..i) and y[k..j) until one of them is used up; leaves i and j there.
  void middle(std::size_t k, std::size_t& i, std::size_t& j) {
    std::size_t a = i - k, b = j - k;
    IdMap ids(a + b, budget_);
    std::vector<std::uint32_t> xs(a), ys(b);
    for (std::size_t r = 0; r < a; ++r) xs[r] = ids.id(x_[k + r]);
    for (std::size_t q = 0; q < b; ++q) ys[q] = ids.id(y_[k + q]);
    const bool weighted = has_container(x_, k, i) && has_container(y_, k, j) &&
                          walk_weighted(k, xs, ys, ids.count(), a, b);
    if (!weighted) walk_unit(k, xs, ys, a, b);
    i = k + a;
    j = k + b;
  }

  // The weighted walk, when its table fits the budget (else false, with nothing done).
  bool walk_weighted(std::size_t k, const std::vector<std::uint32_t>& xs,
                     const std::vector<std::uint32_t>& ys, std::uint32_t id_count, std::size_t& a,
                     std::size_t& b) {
    const std::size_t m = a, n = b;
    // Items with equal ids have equal rows (or columns) of weights: each distinct pair is
    // weighed once.
    std::vector<std::uint32_t> row_of(m), col_of(n), dense(id_count);
    std::vector<std::size_t> row_item, col_item;
    std::fill(dense.begin(), dense.end(), UINT32_MAX);
    for (std::size_t r = 0; r < m; ++r) {
      if (dense[xs[r]] == UINT32_MAX) {
        dense[xs[r]] = static_cast<std::uint32_t>(row_item.size());
        row_item.push_back(r);
      }
      row_of[r] = dense[xs[r]];
    }
    std::fill(dense.begin(), dense.end(), UINT32_MAX);
    for (std::size_t q = 0; q < n; ++q) {
      if (dense[ys[q]] == UINT32_MAX) {
        dense[ys[q]] = static_cast<std::uint32_t>(col_item.size());
        col_item.push_back(q);
      }
      col_of[q] = dense[ys[q]];
    }
    const std::size_t rows = row_item.size(), cols = col_item.size();
    const std::uint64_t distinct = product(rows, cols);
    const std::uint64_t memory = product(distinct, sizeof(double)) + ScoreRows::memory_for(m, n);
    const std::uint64_t work = product(2, product(m, n)) + distinct;
    if (memory > budget_.memory_left() || work > budget_.work_left()) return false;
    budget_.try_reserve(memory);
    Reservation held(budget_, memory);
    budget_.spend(work);

    std::vector<double> weights(distinct);
    for (std::size_t r = 0; r < rows; ++r) {
      const Value& p = x_[k + row_item[r]];
      for (std::size_t q = 0; q < cols; ++q) {
        const Value& v = y_[k + col_item[q]];
        double s = 0.0;
        if (xs[row_item[r]] == ys[col_item[q]]) {
          s = 1.0;
        } else if (!budget_.spent() &&
                   ((p.is_object() && v.is_object()) || (p.is_array() && v.is_array()))) {
          s = similarity_within(p, v, limits_, budget_);
        }
        weights[r * cols + q] = s;
      }
    }
    auto weight = [&](std::size_t r, std::size_t q) {
      return weights[row_of[r - 1] * cols + col_of[q - 1]];
    };
    ScoreRows c(m, n, weight);
    while (a > 0 && b > 0) {
      const auto [here, above] = c.rows(a, weight);
      const double s = weight(a, b);
      if (s > 0 && here[b] == above[b - 1] + s) {
        pair(k + a - 1, k + b - 1, s, xs[a - 1] == ys[b - 1]);
        --a;
        --b;
      } else if (here[b - 1] >= above[b]) {
        insert(k + --b);
      } else {
        remove(k + --a);
      }
    }
    return true;
  }

  void walk_unit(std::size_t k, const std::vector<std::uint32_t>& xs,
                 const std::vector<std::uint32_t>& ys, std::size_t& a, std::size_t& b) {
    // Myers costs about (m + n) * d steps, the bit table m * n / 32 words; the cheaper runs
    // first. Both give the exact alignment; past the budget only a short search remains.
    const std::size_t span = a + b;
    const std::uint64_t bit_work = BitLcs::work_for(a, b);
    const std::uint64_t bit_memory = BitLcs::memory_for(a, b);
    auto bits_fit = [&] {
      return bit_work <= budget_.work_left() && bit_memory <= budget_.memory_left();
    };
    std::size_t cap = kGraceDistance;
    if (bits_fit()) {
      cap = std::min<std::uint64_t>(kMaxMyersDistance, bit_work / span + 1);
    } else if (!budget_.spent()) {
      cap = std::max<std::uint64_t>(
          kGraceDistance, std::min<std::uint64_t>(kMaxMyersDistance, budget_.work_left() / span));
    }
    {
      MyersDistances myers(budget_);
      if (myers.run(xs, ys, cap)) {
        walk_ids(k, xs, ys, a, b,
                 [&](std::size_t ra, std::size_t rb, std::size_t qa, std::size_t qb) {
                   // Insertion when C(a, b-1) >= C(a-1, b), i.e. D(a, b-1) <= D(a-1, b).
                   return myers.distance(static_cast<long>(ra), static_cast<long>(rb)) <=
                          myers.distance(static_cast<long>(qa), static_cast<long>(qb));
                 });
        return;
      }
    }
    if (bits_fit()) {
      budget_.try_reserve(bit_memory);
      Reservation held(budget_, bit_memory);
      budget_.spend(bit_work);
      BitLcs lcs(xs, ys);
      walk_ids(k, xs, ys, a, b,
               [&](std::size_t ra, std::size_t rb, std::size_t qa, std::size_t qb) {
                 return lcs.lcs(ra, rb) >= lcs.lcs(qa, qb);
               });
      return;
    }
    // Past the budget: the middle pairs nothing.
    while (b > 0) insert(k + --b);
    while (a > 0) remove(k + --a);
  }

  // The walk over ids: pair equal items, else insert when `prefer_insert(a, b-1, a-1, b)`.
  template <class PreferInsert>
  void walk_ids(std::size_t k, const std::vector<std::uint32_t>& xs,
                const std::vector<std::uint32_t>& ys, std::size_t& a, std::size_t& b,
                PreferInsert prefer_insert) {
    while (a > 0 && b > 0) {
      if (xs[a - 1] == ys[b - 1]) {
        pair(k + a - 1, k + b - 1, 1.0, true);
        --a;
        --b;
      } else if (prefer_insert(a, b - 1, a - 1, b)) {
        insert(k + --b);
      } else {
        remove(k + --a);
      }
    }
  }

  const Array& x_;
  const Array& y_;
  const Limits& limits_;
  Budget& budget_;
  std::vector<Step> steps_;  // in walk order (backwards) until run() reverses them
};

}  // namespace

std::vector<Step> align(const Array& x, const Array& y, const Limits& limits, Budget& budget) {
  return Aligner(x, y, limits, budget).run();
}

}  // namespace qor::structdiff::detail
