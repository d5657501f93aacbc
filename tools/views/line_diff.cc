// Line differences for display. Lines are interned to numbers; lines found on one side only are
// set aside (no common subsequence can use them), and the rest is solved by Myers' linear-space
// bisection, which splits the problem at the middle of an optimal path. A step budget bounds the
// work on huge, wholly different inputs: past it, a differing middle is deleted and inserted.
#include "views/line_diff.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

namespace qor::diff::detail {
namespace {

// Diagonal steps and snake moves a whole diff may take before it stops searching.
constexpr long kStepBudget = 40'000'000;

class Bisection {
 public:
  Bisection(const std::vector<int>& a, const std::vector<int>& b) : a_(a), b_(b) {}

  // Appends the pairs (i, j) of a longest common subsequence, in order.
  void run(std::vector<std::pair<std::size_t, std::size_t>>& out) {
    out_ = &out;
    solve(0, static_cast<long>(a_.size()), 0, static_cast<long>(b_.size()));
  }

 private:
  void solve(long a0, long a1, long b0, long b1) {
    while (a0 < a1 && b0 < b1 && a_[a0] == b_[b0]) match(a0++, b0++);
    long suffix = 0;
    while (a1 > a0 && b1 > b0 && a_[a1 - 1] == b_[b1 - 1]) --a1, --b1, ++suffix;
    if (a0 < a1 && b0 < b1) {
      long x = 0, y = 0;
      if (split(a0, a1, b0, b1, x, y)) {
        solve(a0, a0 + x, b0, b0 + y);
        solve(a0 + x, a1, b0 + y, b1);
      }
    }
    for (long i = 0; i < suffix; ++i) match(a1 + i, b1 + i);
  }

  void match(long i, long j) {
    out_->emplace_back(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
  }

  // Finds a point (x, y), relative to (a0, b0), where an optimal path crosses the middle.
  // False when the ranges share nothing or the budget ran out.
  bool split(long a0, long a1, long b0, long b1, long& x_out, long& y_out) {
    const long n = a1 - a0, m = b1 - b0;
    const long max_d = (n + m + 1) / 2;
    const long offset = max_d;
    const long length = 2 * max_d + 2;
    v1_.assign(static_cast<std::size_t>(length), -1);
    v2_.assign(static_cast<std::size_t>(length), -1);
    v1_[offset + 1] = 0;
    v2_[offset + 1] = 0;
    const long delta = n - m;
    const bool front = (delta % 2) != 0;
    long k1start = 0, k1end = 0, k2start = 0, k2end = 0;
    const int* a = a_.data() + a0;
    const int* b = b_.data() + b0;
    for (long d = 0; d < max_d; ++d) {
      budget_ -= 2 * d + 2;
      if (budget_ < 0) return false;
      for (long k1 = -d + k1start; k1 <= d - k1end; k1 += 2) {
        const long i1 = offset + k1;
        long x1 =
            (k1 == -d || (k1 != d && v1_[i1 - 1] < v1_[i1 + 1])) ? v1_[i1 + 1] : v1_[i1 - 1] + 1;
        long y1 = x1 - k1;
        const long from = x1;
        while (x1 < n && y1 < m && a[x1] == b[y1]) ++x1, ++y1;
        budget_ -= x1 - from;
        v1_[i1] = x1;
        if (x1 > n) {
          k1end += 2;
        } else if (y1 > m) {
          k1start += 2;
        } else if (front) {
          const long i2 = offset + delta - k1;
          if (i2 >= 0 && i2 < length && v2_[i2] != -1 && x1 >= n - v2_[i2]) {
            x_out = x1, y_out = y1;
            return true;
          }
        }
      }
      for (long k2 = -d + k2start; k2 <= d - k2end; k2 += 2) {
        const long i2 = offset + k2;
        long x2 =
            (k2 == -d || (k2 != d && v2_[i2 - 1] < v2_[i2 + 1])) ? v2_[i2 + 1] : v2_[i2 - 1] + 1;
        long y2 = x2 - k2;
        const long from = x2;
        while (x2 < n && y2 < m && a[n - x2 - 1] == b[m - y2 - 1]) ++x2, ++y2;
        budget_ -= x2 - from;
        v2_[i2] = x2;
        if (x2 > n) {
          k2end += 2;
        } else if (y2 > m) {
          k2start += 2;
        } else if (!front) {
          const long i1 = offset + delta - k2;
          if (i1 >= 0 && i1 < length && v1_[i1] != -1) {
            const long x1 = v1_[i1];
            const long y1 = offset + x1 - i1;
            if (x1 >= n - x2) {
              x_out = x1, y_out = y1;
              return true;
            }
          }
        }
      }
    }
    return false;
  }

  const std::vector<int>& a_;
  const std::vector<int>& b_;
  std::vector<long> v1_, v2_;
  long budget_ = kStepBudget;
  std::vector<std::pair<std::size_t, std::size_t>>* out_ = nullptr;
};

}  // namespace

std::vector<LineEdit> diff_lines(const std::vector<std::string_view>& before,
                                 const std::vector<std::string_view>& after) {
  std::unordered_map<std::string_view, int> ids;
  std::vector<int> in_before, in_after;  // occurrences per id on each side
  auto intern = [&](std::string_view line, std::vector<int>& counts) {
    auto [it, inserted] = ids.emplace(line, static_cast<int>(ids.size()));
    if (inserted) {
      in_before.push_back(0);
      in_after.push_back(0);
    }
    ++counts[static_cast<std::size_t>(it->second)];
    return it->second;
  };
  std::vector<int> a_ids, b_ids;
  a_ids.reserve(before.size());
  b_ids.reserve(after.size());
  for (std::string_view line : before) a_ids.push_back(intern(line, in_before));
  for (std::string_view line : after) b_ids.push_back(intern(line, in_after));

  // Only lines present on both sides can be kept.
  std::vector<int> xa, xb;
  std::vector<std::size_t> where_a, where_b;
  for (std::size_t i = 0; i < a_ids.size(); ++i) {
    if (in_after[static_cast<std::size_t>(a_ids[i])] != 0) {
      xa.push_back(a_ids[i]);
      where_a.push_back(i);
    }
  }
  for (std::size_t j = 0; j < b_ids.size(); ++j) {
    if (in_before[static_cast<std::size_t>(b_ids[j])] != 0) {
      xb.push_back(b_ids[j]);
      where_b.push_back(j);
    }
  }
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  Bisection(xa, xb).run(pairs);

  std::vector<LineEdit> edits;
  edits.reserve(before.size() + after.size());
  std::size_t i = 0, j = 0;
  for (const auto& [pa, pb] : pairs) {
    const std::size_t oi = where_a[pa], oj = where_b[pb];
    while (i < oi) edits.push_back({LineOp::kDelete, i++, j});
    while (j < oj) edits.push_back({LineOp::kInsert, i, j++});
    edits.push_back({LineOp::kEqual, i++, j++});
  }
  while (i < before.size()) edits.push_back({LineOp::kDelete, i++, j});
  while (j < after.size()) edits.push_back({LineOp::kInsert, i, j++});
  return edits;
}

std::vector<LineEdit> diff_text_lines(const std::vector<std::string_view>& before,
                                      const std::vector<std::string_view>& after) {
  const auto ends = [](const std::vector<std::string_view>& lines) {
    return lines.empty() || lines.back().ends_with('\n');
  };
  if (ends(before) != ends(after) || ends(before)) return diff_lines(before, after);
  // Both end without "\n": their last lines compare with one (the script holds indices only).
  const std::string last_before = std::string(before.back()) + '\n';
  const std::string last_after = std::string(after.back()) + '\n';
  std::vector<std::string_view> a = before, b = after;
  a.back() = last_before;
  b.back() = last_after;
  return diff_lines(a, b);
}

bool needs_no_newline_mark(const std::vector<std::string_view>& before,
                           const std::vector<std::string_view>& after, const LineEdit& e) {
  if (before.empty() || after.empty() ||
      before.back().ends_with('\n') == after.back().ends_with('\n')) {
    return false;
  }
  if (e.op == LineOp::kDelete) {
    return e.old_index + 1 == before.size() && !before.back().ends_with('\n');
  }
  return e.op == LineOp::kInsert && e.new_index + 1 == after.size() &&
         !after.back().ends_with('\n');
}

std::vector<Hunk> unified_hunks(const std::vector<LineEdit>& edits, std::size_t context) {
  std::vector<Hunk> hunks;
  const std::size_t n = edits.size();
  // Old and new lines before each edit.
  auto old_before = [&](std::size_t p) {
    return p < n ? edits[p].old_index
                 : (n ? edits[n - 1].old_index + (edits[n - 1].op != LineOp::kInsert) : 0);
  };
  auto new_before = [&](std::size_t p) {
    return p < n ? edits[p].new_index
                 : (n ? edits[n - 1].new_index + (edits[n - 1].op != LineOp::kDelete) : 0);
  };
  std::size_t i = 0;
  while (i < n) {
    while (i < n && edits[i].op == LineOp::kEqual) ++i;
    if (i == n) break;
    const std::size_t first = i >= context ? i - context : 0;
    std::size_t last_change = i;
    std::size_t j = i + 1;
    for (;;) {
      while (j < n && edits[j].op != LineOp::kEqual) last_change = j++;
      std::size_t k = j;
      while (k < n && edits[k].op == LineOp::kEqual) ++k;
      if (k < n && k - j <= 2 * context) {
        j = k;
        continue;
      }
      break;
    }
    const std::size_t last = std::min(n, last_change + 1 + context);
    Hunk h;
    h.first = first;
    h.last = last;
    h.old_start = old_before(first);
    h.new_start = new_before(first);
    h.old_count = old_before(last) - h.old_start;
    h.new_count = new_before(last) - h.new_start;
    hunks.push_back(h);
    i = last;
  }
  return hunks;
}

std::string hunk_header(const Hunk& hunk) {
  auto range = [](std::size_t start, std::size_t count) {
    std::size_t beginning = start + 1;
    if (count == 1) return std::to_string(beginning);
    if (count == 0) --beginning;
    return std::to_string(beginning) + "," + std::to_string(count);
  };
  return "@@ -" + range(hunk.old_start, hunk.old_count) + " +" +
         range(hunk.new_start, hunk.new_count) + " @@";
}

}  // namespace qor::diff::detail
