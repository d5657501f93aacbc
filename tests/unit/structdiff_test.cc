// Tests of the structural difference: its compact form, the alignment of lists (checked against
// a plain full-table implementation of the same walk on random lists, so that the shortcuts
// cannot change a result) and its printed form.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qor/json.h"
#include "qor/structdiff.h"

namespace qor::structdiff {
namespace {

using json::parse;

std::string diff_text(const std::string& a, const std::string& b) {
  return repr(diff(parse(a), parse(b)));
}

TEST(StructDiff, CompactForm) {
  struct Case {
    const char* name;
    const char* old_value;
    const char* new_value;
    const char* expected;
  } cases[] = {
      {"equal values", R"({"a": [1, {"b": 2}]})", R"({"a": [1.0, {"b": 2}]})", "{}"},
      {"changed scalar", R"({"a": 1, "b": 2})", R"({"a": 1, "b": 3})", "{'b': 3}"},
      {"added and removed keys", R"({"a": 1, "b": 2, "c": 3})", R"({"a": 1, "d": 4})",
       "{'d': 4, $delete: ['b', 'c']}"},
      {"no common key", R"({"a": 1})", R"({"b": 2})", "{$replace: {'b': 2}}"},
      {"added key holding an object", R"({"a": 1})", R"({"a": 1, "m": {"x": 1}})",
       "{'m': {'x': 1}}"},
      {"scalar becomes object", R"({"a": 1})", R"({"a": {"x": 1}})", "{'a': {$replace: {'x': 1}}}"},
      {"list from empty", R"({"c": []})", R"({"c": ["Y"]})", "{'c': ['Y']}"},
      {"list grows at the end", R"({"c": ["X"]})", R"({"c": ["X", "Y"]})",
       "{'c': {$insert: [(1, 'Y')]}}"},
      {"list shrinks at the front", R"({"c": ["X", "Y"]})", R"({"c": ["Y"]})",
       "{'c': {$delete: [0]}}"},
      {"list emptied", R"({"c": [1, 2]})", R"({"c": []})", "{'c': []}"},
      {"nothing pairs", R"([1, 2])", R"([3])", "[3]"},
      {"changed item of a list", R"([{"id": 1, "v": "a"}, 7])", R"([{"id": 1, "v": "b"}, 7])",
       "{0: {'v': 'b'}}"},
      {"deletions in decreasing order", R"(["a", "b", "c", "d"])", R"(["b", "d"])",
       "{$delete: [2, 0]}"},
      {"ties prefer pairing the last items", R"(["a"])", R"(["a", "a"])", "{$insert: [(0, 'a')]}"},
      {"ties prefer insertions", R"(["a", "b"])", R"(["b", "a"])",
       "{$insert: [(1, 'a')], $delete: [0]}"},
      {"list becomes object", R"({"a": [1]})", R"({"a": {"k": [1]}})",
       "{'a': {$replace: {'k': [1]}}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(diff_text(c.old_value, c.new_value), c.expected);
  }
}

TEST(StructDiff, SimilarityWeighsSharedKeysAndPairs) {
  EXPECT_DOUBLE_EQ(similarity(parse(R"({"a": 1, "b": 2})"), parse(R"({"a": 1, "b": 3})")), 0.75);
  EXPECT_DOUBLE_EQ(similarity(parse(R"({"a": 1})"), parse(R"({"b": 1})")), 0.0);
  EXPECT_DOUBLE_EQ(similarity(parse(R"([1, 2, 3])"), parse(R"([1, 3])")), 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(similarity(parse(R"([])"), parse(R"([])")), 1.0);
  EXPECT_DOUBLE_EQ(similarity(parse(R"("x")"), parse(R"("y")")), 0.0);
}

TEST(StructDiffDelta, EraseEmptiesAnObjectDeltaLeftWithNothing) {
  Delta d =
      diff(parse(R"({"execution_count": 1, "x": 1})"), parse(R"({"execution_count": 2, "x": 1})"));
  EXPECT_FALSE(d.empty());
  EXPECT_TRUE(d.erase("execution_count"));
  EXPECT_TRUE(d.empty());
  Delta kept = diff(parse(R"({"execution_count": 1})"), parse(R"({"y": 1, "execution_count": 2})"));
  kept.erase("execution_count");
  EXPECT_EQ(repr(kept), "{'y': 1}");
  Delta deleted = diff(parse(R"({"execution_count": 1, "x": 1})"), parse(R"({"x": 1})"));
  deleted.erase("execution_count");
  EXPECT_EQ(repr(deleted), "{$delete: ['execution_count']}");
}

// The alignment as the plain definition computes it: a full table of best scores, walked back
// from the far corner.
struct Op {
  char kind;
  std::size_t pos;
};

std::vector<Op> plain_alignment(const std::vector<std::string>& x,
                                const std::vector<std::string>& y) {
  const std::size_t m = x.size(), n = y.size();
  std::vector<std::vector<int>> c(m + 1, std::vector<int>(n + 1, 0));
  for (std::size_t i = 1; i <= m; ++i) {
    for (std::size_t j = 1; j <= n; ++j) {
      c[i][j] =
          std::max({c[i][j - 1], c[i - 1][j], c[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 1 : 0)});
    }
  }
  std::vector<Op> ops;
  std::size_t i = m, j = n;
  while (i > 0 || j > 0) {
    if (i > 0 && j > 0 && x[i - 1] == y[j - 1] && c[i][j] == c[i - 1][j - 1] + 1) {
      --i;
      --j;
    } else if (j > 0 && (i == 0 || c[i][j - 1] >= c[i - 1][j])) {
      ops.push_back({'+', --j});
    } else {
      ops.push_back({'-', --i});
    }
  }
  return ops;
}

std::string plain_repr(const std::vector<std::string>& x, const std::vector<std::string>& y) {
  if (x == y) return "{}";
  const std::vector<Op> ops = plain_alignment(x, y);
  std::size_t inserted = 0;
  for (const Op& op : ops) inserted += op.kind == '+' ? 1 : 0;
  if (x.size() + inserted == ops.size()) {  // nothing paired: the new list itself
    json::Array items(y.begin(), y.end());
    std::string out;
    json::append_py_repr(json::Value(items), out);
    return out;
  }
  std::string ins, del;
  for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
    if (it->kind == '+') {
      if (!ins.empty()) ins += ", ";
      ins += '(';
      ins += std::to_string(it->pos);
      ins += ", '";
      ins += y[it->pos];
      ins += "')";
    }
  }
  for (const Op& op : ops) {
    if (op.kind == '-') del += (del.empty() ? "" : ", ") + std::to_string(op.pos);
  }
  std::string out = "{";
  if (!ins.empty()) out += "$insert: [" + ins + "]";
  if (!del.empty()) out += std::string(ins.empty() ? "" : ", ") + "$delete: [" + del + "]";
  return out + "}";
}

std::string token(unsigned v) {
  std::string s = std::to_string(v);
  s.insert(s.begin(), 'l');
  return s;
}

TEST(StructDiffAlignment, ShortcutsGiveThePlainTableResult) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    const unsigned alphabet = 1 + (rng() % 6) * (round % 3 == 0 ? 20 : 1);
    const std::size_t len = rng() % (round % 5 == 0 ? 400 : 60);
    std::vector<std::string> x, y;
    for (std::size_t i = 0; i < len; ++i) x.push_back(token(rng() % alphabet));
    y = x;
    const int edits = round % 4 == 0 ? 200 : static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = y.empty() ? 0 : rng() % y.size();
      switch (rng() % 3) {
        case 0:
          if (!y.empty()) y.erase(y.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        case 1:
          y.insert(y.begin() + static_cast<std::ptrdiff_t>(at), token(rng() % alphabet));
          break;
        default:
          if (!y.empty()) y[at] = token(rng() % alphabet);
      }
    }
    json::Array xa(x.begin(), x.end()), ya(y.begin(), y.end());
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(repr(diff(json::Value(xa), json::Value(ya))), plain_repr(x, y));
  }
}

TEST(StructDiffAlignment, LongListsWithFewEditsStayCheap) {
  // 200,000 lines with edits at both ends: a full table would need 4e10 cells.
  json::Array x, y;
  for (int i = 0; i < 200000; ++i) x.emplace_back("line " + std::to_string(i) + "\n");
  y = x;
  y[3] = json::Value("changed\n");
  y.insert(y.end() - 5, json::Value("added\n"));
  y.erase(y.begin() + 100000);
  EXPECT_EQ(repr(diff(json::Value(x), json::Value(y))),
            "{$insert: [(3, 'changed\\n'), (199994, 'added\\n')], $delete: [100000, 3]}");
}

TEST(StructDiffAlignment, HugeDifferingListsOfObjectsAlignByEquality) {
  // 2,100 x 2,100 pairs of objects exceed the weighted table; items then pair only when equal,
  // so two lists whose every object changed give the new list.
  json::Array x, y;
  for (int i = 0; i < 2100; ++i) {
    json::Object a{{"n", i}, {"kind", "plot"}};
    json::Object b{{"n", -i - 1}, {"kind", "plot"}};
    x.emplace_back(std::move(a));
    y.emplace_back(std::move(b));
  }
  const Delta d = diff(json::Value(x), json::Value(y));
  ASSERT_EQ(d.kind(), Delta::Kind::kValue);
  EXPECT_TRUE(d.new_value() == json::Value(y));
}

}  // namespace
}  // namespace qor::structdiff
