// List alignment for the structural difference.
//
// The alignment is the one that a full weighted-LCS table and a walk back from its far corner
// would give, computed without building that table where possible. Equal items at the ends are
// paired first (the walk always pairs them), a shared prefix is set aside (the walk meets it on a
// boundary where its moves are known), and only the middle is solved: by a weighted table when
// both sides hold objects or lists, otherwise over item ids with Myers' O(ND) search (whose edit
// distances answer the walk's questions exactly) or, when the lists differ a lot, a bit-parallel
// LCS table kept in checkpoints.
#include "structdiff/align.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qor::structdiff::detail {
namespace {

using json::Array;
using json::Value;

// Largest weighted table (cells): every cell weighs a pair of objects or lists, so this bounds
// the time of a difference to a couple of seconds. Beyond it, items weigh by equality only.
constexpr std::size_t kMaxWeightedCells = std::size_t{1} << 22;
// Largest edit distance searched with Myers' algorithm before the bit-parallel table takes over.
constexpr std::size_t kMaxMyersDistance = 2000;
constexpr std::size_t kNoDistance = std::numeric_limits<std::size_t>::max();

bool has_container(const Array& a, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (a[i].is_container()) return true;
  }
  return false;
}

// A hash consistent with json::Value equality: numbers hash by value across int, big int, real
// and bool, and an object's hash does not depend on its key order.
std::size_t structural_hash(const Value& v) {
  constexpr std::size_t kMix = 0x9E3779B97F4A7C15ULL;
  switch (v.type()) {
    case json::Type::kNull:
      return 0x51ED27;
    case json::Type::kString:
      return std::hash<std::string_view>{}(v.as_string());
    case json::Type::kArray: {
      std::size_t h = 0xA77A1;
      for (const Value& item : v.as_array()) h = (h ^ structural_hash(item)) * kMix + 1;
      return h;
    }
    case json::Type::kObject: {
      std::size_t h = 0x0B1EC7;
      for (const auto& m : v.as_object()) {
        h += (std::hash<std::string_view>{}(m.name()) ^ (structural_hash(m.value) * kMix)) * kMix;
      }
      return h;
    }
    case json::Type::kBool:
      return std::hash<long long>{}(v.as_bool() ? 1 : 0);
    case json::Type::kInt:
      return std::hash<long long>{}(v.as_int());
    case json::Type::kBigInt:
      return std::hash<std::string_view>{}(v.big_int_digits());
    case json::Type::kReal: {
      const double d = v.as_real();
      if (std::isnan(d)) return 0x7FF8;
      if (std::isfinite(d) && std::trunc(d) == d) {
        if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
          return std::hash<long long>{}(static_cast<long long>(d));
        }
        char buf[400];
        auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 0);
        return std::hash<std::string_view>{}(
            std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)));
      }
      return std::hash<double>{}(d);
    }
  }
  return 0;
}

// Gives equal values (json::Value equality) equal ids.
class IdMap {
 public:
  std::uint32_t id(const Value& v) {
    auto& bucket = buckets_[structural_hash(v)];
    for (const auto& [rep, id] : bucket) {
      if (*rep == v) return id;
    }
    bucket.emplace_back(&v, next_);
    return next_++;
  }

 private:
  std::unordered_map<std::size_t, std::vector<std::pair<const Value*, std::uint32_t>>> buckets_;
  std::uint32_t next_ = 0;
};

// Edit distances (insertions and deletions) of the prefixes of two id sequences, from the
// furthest-reaching paths of Myers' algorithm: D(a, b) is the least d whose furthest-reaching
// path on diagonal a - b gets at least as far as a.
class MyersDistances {
 public:
  // Runs the search; false when the distance exceeds `cap` (nothing is kept then).
  bool run(const std::vector<std::uint32_t>& xs, const std::vector<std::uint32_t>& ys,
           std::size_t cap) {
    const long m = static_cast<long>(xs.size()), n = static_cast<long>(ys.size());
    long done_at = -1;
    for (long d = 0;; ++d) {
      if (static_cast<std::size_t>(d) > cap + 1) return false;
      std::vector<long> v(static_cast<std::size_t>(2 * d + 1), -1);
      const std::vector<long>* prev = d > 0 ? &fronts_.back() : nullptr;
      auto prev_at = [&](long k) -> long {
        if (prev == nullptr || k < -(d - 1) || k > d - 1) return -1;
        return (*prev)[static_cast<std::size_t>(k + d - 1)];
      };
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
        while (a < m && b < n &&
               xs[static_cast<std::size_t>(a)] == ys[static_cast<std::size_t>(b)]) {
          ++a;
          ++b;
        }
        v[static_cast<std::size_t>(k + d)] = a;
      }
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

  std::size_t distance(long a, long b) const {
    const long k = a - b;
    for (long d = std::abs(k); d < static_cast<long>(fronts_.size()); d += 2) {
      if (fronts_[static_cast<std::size_t>(d)][static_cast<std::size_t>(k + d)] >= a) {
        return static_cast<std::size_t>(d);
      }
    }
    return kNoDistance;
  }

 private:
  std::vector<std::vector<long>> fronts_;
};

// LCS lengths of the prefixes of two id sequences, by the bit-parallel row recurrence
// V' = (V + U) | (V - U), U = V & match(x[a]); C(a, b) is the number of zero bits of row a below
// b. Rows are kept every kBlock rows and recomputed a block at a time for the walk back, which
// visits rows in decreasing order.
class BitLcs {
 public:
  static constexpr std::size_t kBlock = 64;

  BitLcs(const std::vector<std::uint32_t>& xs, const std::vector<std::uint32_t>& ys)
      : xs_(xs), words_((ys.size() + 63) / 64), match_(words_, 0) {
    for (std::size_t b = 0; b < ys.size(); ++b) positions_[ys[b]].push_back(b);
    std::vector<std::uint64_t> row(words_, ~std::uint64_t{0});
    for (std::size_t a = 0; a <= xs.size(); ++a) {
      if (a % kBlock == 0) checkpoints_.insert(checkpoints_.end(), row.begin(), row.end());
      if (a < xs.size()) step(row, xs[a]);
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

class Aligner {
 public:
  Aligner(const Array& x, const Array& y, const Similarity& sim) : x_(x), y_(y), sim_(sim) {}

  std::vector<Step> run() {
    std::size_t i = x_.size(), j = y_.size();
    while (i > 0 && j > 0 && x_[i - 1] == y_[j - 1]) pair(--i, --j, 1.0);
    if (i > 0 && j > 0) {
      const std::size_t limit = std::min(i, j);
      std::size_t k = 0;
      while (k < limit && x_[k] == y_[k]) ++k;
      if (k < i && k < j) middle(k, i, j);
    }
    // Now x[0..min(i, j)) equals y[0..min(i, j)): on that boundary the walk pairs equal ends
    // and otherwise consumes the longer side.
    while (j > i) {
      if (i > 0 && x_[i - 1] == y_[j - 1]) {
        pair(--i, --j, 1.0);
      } else {
        steps_.push_back({StepKind::kInsert, 0, --j, 0.0});
      }
    }
    while (i > j) {
      if (j > 0 && x_[i - 1] == y_[j - 1]) {
        pair(--i, --j, 1.0);
      } else {
        steps_.push_back({StepKind::kDelete, --i, 0, 0.0});
      }
    }
    while (i > 0) pair(--i, --j, 1.0);
    std::reverse(steps_.begin(), steps_.end());
    return std::move(steps_);
  }

 private:
  void pair(std::size_t i, std::size_t j, double s) {
    steps_.push_back({StepKind::kPair, i, j, s});
  }

  // Walks back through x[k..i) and y[k..j) until one of them is used up; leaves i and j there.
  void middle(std::size_t k, std::size_t& i, std::size_t& j) {
    const std::size_t m = i - k, n = j - k;
    const bool weighted = has_container(x_, k, i) && has_container(y_, k, j) &&
                          (m + 1) * (n + 1) <= kMaxWeightedCells;
    std::size_t a = m, b = n;
    if (weighted) {
      walk_weighted(k, a, b);
    } else {
      walk_unit(k, a, b);
    }
    i = k + a;
    j = k + b;
  }

  double weight(const Value& p, const Value& q) const {
    if (p == q) return 1.0;
    if ((p.is_object() && q.is_object()) || (p.is_array() && q.is_array())) return sim_(p, q);
    return 0.0;
  }

  void walk_weighted(std::size_t k, std::size_t& a, std::size_t& b) {
    const std::size_t m = a, n = b, w = n + 1;
    std::vector<double> c((m + 1) * w, 0.0);
    for (std::size_t r = 1; r <= m; ++r) {
      for (std::size_t q = 1; q <= n; ++q) {
        const double s = weight(x_[k + r - 1], y_[k + q - 1]);
        c[r * w + q] = std::max({c[r * w + q - 1], c[(r - 1) * w + q], c[(r - 1) * w + q - 1] + s});
      }
    }
    while (a > 0 && b > 0) {
      const double s = weight(x_[k + a - 1], y_[k + b - 1]);
      if (s > 0 && c[a * w + b] == c[(a - 1) * w + b - 1] + s) {
        pair(k + a - 1, k + b - 1, s);
        --a;
        --b;
      } else if (c[a * w + b - 1] >= c[(a - 1) * w + b]) {
        steps_.push_back({StepKind::kInsert, 0, k + --b, 0.0});
      } else {
        steps_.push_back({StepKind::kDelete, k + --a, 0, 0.0});
      }
    }
  }

  void walk_unit(std::size_t k, std::size_t& a, std::size_t& b) {
    IdMap ids;
    std::vector<std::uint32_t> xs(a), ys(b);
    for (std::size_t r = 0; r < a; ++r) xs[r] = ids.id(x_[k + r]);
    for (std::size_t q = 0; q < b; ++q) ys[q] = ids.id(y_[k + q]);
    // Myers costs about (m + n) * d steps, the bit table m * n / 64 words; take the cheaper.
    const std::size_t bit_cost = a * ((b + 63) / 64) * 8 + a + b;
    const std::size_t cap = std::min(kMaxMyersDistance, bit_cost / (a + b) + 1);
    MyersDistances myers;
    if (myers.run(xs, ys, cap)) {
      walk_ids(k, xs, ys, a, b,
               [&](std::size_t ra, std::size_t rb, std::size_t qa, std::size_t qb) {
                 // Insertion when C(a, b-1) >= C(a-1, b), i.e. D(a, b-1) <= D(a-1, b).
                 return myers.distance(static_cast<long>(ra), static_cast<long>(rb)) <=
                        myers.distance(static_cast<long>(qa), static_cast<long>(qb));
               });
      return;
    }
    BitLcs lcs(xs, ys);
    walk_ids(k, xs, ys, a, b, [&](std::size_t ra, std::size_t rb, std::size_t qa, std::size_t qb) {
      return lcs.lcs(ra, rb) >= lcs.lcs(qa, qb);
    });
  }

  // The walk over ids: pair equal items, else insert when `prefer_insert(a, b-1, a-1, b)`.
  template <class PreferInsert>
  void walk_ids(std::size_t k, const std::vector<std::uint32_t>& xs,
                const std::vector<std::uint32_t>& ys, std::size_t& a, std::size_t& b,
                PreferInsert prefer_insert) {
    while (a > 0 && b > 0) {
      if (xs[a - 1] == ys[b - 1]) {
        pair(k + a - 1, k + b - 1, 1.0);
        --a;
        --b;
      } else if (prefer_insert(a, b - 1, a - 1, b)) {
        steps_.push_back({StepKind::kInsert, 0, k + --b, 0.0});
      } else {
        steps_.push_back({StepKind::kDelete, k + --a, 0, 0.0});
      }
    }
  }

  const Array& x_;
  const Array& y_;
  const Similarity& sim_;
  std::vector<Step> steps_;  // in walk order (backwards) until run() reverses them
};

}  // namespace

std::vector<Step> align(const Array& x, const Array& y, const Similarity& sim) {
  return Aligner(x, y, sim).run();
}

}  // namespace qor::structdiff::detail
