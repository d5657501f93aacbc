// Tests of the structural difference: its compact form, the alignment of lists (checked against
// a plain full-table implementation of the same walk on random lists, so that the shortcuts
// cannot change a result) and its printed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "keyed_hash.h"
#include "qor/errors.h"
#include "qor/interrupt.h"
#include "qor/json.h"
#include "qor/structdiff.h"
#include "support/expect.h"

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

// Leaving keys out gives what erasing their entries from the whole difference gives, for every
// pair of a set of objects where the keys left out are changed, added, removed, alone or shared
// with nothing else, and for values that are not objects.
TEST(StructDiffDelta, LeavingKeysOutIsErasingTheirEntries) {
  const char* values[] = {
      R"({})",
      R"({"o": 1})",
      R"({"o": 2})",
      R"({"e": 1, "o": [1, 2]})",
      R"({"e": 2, "o": [1, 3]})",
      R"({"x": 1})",
      R"({"x": 1, "o": 1})",
      R"({"x": 2, "o": 1, "e": 1})",
      R"({"x": [1, {"a": 2}], "o": {"big": [1, 2, 3]}})",
      R"({"x": [1, {"a": 3}], "o": {"big": [1, 2, 4]}})",
      R"({"y": 1, "e": null})",
      R"([1, 2])",
      R"("text")",
  };
  for (const char* older : values) {
    for (const char* newer : values) {
      SCOPED_TRACE(std::string(older) + " -> " + newer);
      Delta whole = diff(parse(older), parse(newer));
      whole.erase("o");
      whole.erase("e");
      EXPECT_EQ(repr(diff_leaving_out(parse(older), parse(newer), {"o", "e"})), repr(whole));
    }
  }
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

// ---------------------------------------------------------------------------------------------
// Bounded work

// The keys of an object difference, markers included: what a merge reads to tell what changed.
std::string top_keys(const Delta& d) {
  if (d.kind() == Delta::Kind::kReplace) return "$replace";
  if (d.kind() != Delta::Kind::kObject) return d.empty() ? "" : "(not an object)";
  std::vector<std::string> keys;
  for (const auto& [key, child] : d.object_part().entries) keys.push_back(key);
  if (!d.object_part().deleted.empty()) keys.push_back("$delete");
  std::sort(keys.begin(), keys.end());
  std::string out;
  for (const std::string& k : keys) out += k + " ";
  return out;
}

// Whether every entry of `d` (at any depth) is a change: no entry is an empty difference.
bool entries_all_changed(const Delta& d) {
  if (d.kind() == Delta::Kind::kObject) {
    for (const auto& [key, child] : d.object_part().entries) {
      if (child.empty() || !entries_all_changed(child)) return false;
    }
  } else if (d.kind() == Delta::Kind::kList) {
    for (const auto& [pos, child] : d.list_part().changed) {
      if (child.empty() || !entries_all_changed(child)) return false;
    }
  }
  return true;
}

class RandomValues {
 public:
  explicit RandomValues(unsigned seed) : rng_(seed) {}

  json::Value value(int depth = 0) {
    const unsigned c = rng_() % 10;
    if (depth > 4 || c < 4) return scalar();
    if (c < 7) {
      json::Array items;
      for (unsigned n = rng_() % 7; n > 0; --n) items.push_back(value(depth + 1));
      return json::Value(std::move(items));
    }
    json::Object members;
    for (unsigned n = rng_() % 5; n > 0; --n) members.set(key(), value(depth + 1));
    return json::Value(std::move(members));
  }

  json::Value mutate(const json::Value& v, int depth = 0) {
    if (v.is_object()) {
      json::Object out = v.as_object();
      std::vector<std::string> keys;
      for (const auto& m : out) keys.emplace_back(m.name());
      for (const std::string& k : keys) {
        const unsigned c = rng_() % 10;
        if (c < 2) {
          out.erase(k);
        } else if (c < 5) {
          out.set(k, mutate(out.at(k), depth + 1));
        }
      }
      if (rng_() % 10 < 3) out.set(key(), value(depth + 1));
      return json::Value(std::move(out));
    }
    if (v.is_array()) {
      json::Array out = v.as_array();
      for (unsigned n = rng_() % 4; n > 0; --n) {
        const unsigned c = rng_() % 10;
        if (c < 3 && !out.empty()) {
          out.erase(out.begin() + static_cast<std::ptrdiff_t>(rng_() % out.size()));
        } else if (c < 6) {
          out.insert(out.begin() + static_cast<std::ptrdiff_t>(rng_() % (out.size() + 1)),
                     value(depth + 1));
        } else if (!out.empty()) {
          const std::size_t at = rng_() % out.size();
          out[at] = mutate(out[at], depth + 1);
        }
      }
      return json::Value(std::move(out));
    }
    return rng_() % 2 == 0 ? value(depth) : v;
  }

 private:
  json::Value scalar() {
    switch (rng_() % 9) {
      case 0:
        return json::Value("a");
      case 1:
        return json::Value("b");
      case 2:
        return json::Value(0);
      case 3:
        return json::Value(1);
      case 4:
        return json::Value(1.0);
      case 5:
        return json::Value(true);
      case 6:
        return json::Value();
      case 7:
        return json::Value(std::string(40, 'x'));
      default:
        return json::Value(2.5);
    }
  }
  std::string key() { return std::string(1, static_cast<char>('a' + rng_() % 5)); }

  std::mt19937 rng_;
};

TEST(StructDiffBudget, EveryBudgetGivesAValidDifferenceWithTheSameKeys) {
  const Limits budgets[] = {
      {},                                 // the default
      {UINT64_MAX / 4, 1, SIZE_MAX / 4},  // unbounded
      {0, 0, 0},                          // nothing: equality only from the start
      {40, 1, 256},                       // spent part way through
      {UINT64_MAX / 4, 1, 0},             // work, but no table memory
  };
  RandomValues gen(7);
  int fell_back = 0;  // rounds where the smallest budgets gave another alignment
  for (int round = 0; round < 3000; ++round) {
    json::Object a_members{{"k", gen.value()}, {"l", gen.value()}};
    const json::Value a(std::move(a_members));
    const json::Value b =
        round % 5 == 0 ? json::Value(json::Object{{"k", gen.value()}}) : gen.mutate(gen.mutate(a));
    SCOPED_TRACE(json::write(a) + " -> " + json::write(b));
    const Delta reference = diff(a, b, budgets[1]);
    ASSERT_EQ(repr(diff(a, b)), repr(reference));  // small values stay within the default
    for (const Limits& limits : budgets) {
      const Delta d = diff(a, b, limits);
      ASSERT_EQ(d.empty(), a == b);
      ASSERT_TRUE(apply(a, d) == b) << repr(d);
      ASSERT_EQ(top_keys(d), top_keys(reference));
      ASSERT_TRUE(entries_all_changed(d)) << repr(d);
    }
    fell_back += repr(diff(a, b, budgets[2])) != repr(reference) ? 1 : 0;
  }
  EXPECT_GT(fell_back, 100);
}

// [{"k": [{"k": ... leaf}]}], `pairs` levels of a list holding one object.
json::Value mixed_nesting(int pairs, int leaf) {
  json::Value v(leaf);
  for (int i = 0; i < pairs; ++i) {
    json::Object member{{"k", std::move(v)}};
    v = json::Value(json::Array{json::Value(std::move(member))});
  }
  return v;
}

TEST(StructDiffBudget, DeepNestingGivesAValidDifference) {
  // Each level weighs the level below once: 495 levels of lists of one object, which pair with
  // each other all the way down while the budget lasts.
  const json::Value a = mixed_nesting(495, 1), b = mixed_nesting(495, 2);
  const Delta d = diff(a, b);
  EXPECT_FALSE(d.empty());
  EXPECT_TRUE(apply(a, d) == b);
  EXPECT_EQ(repr(diff(mixed_nesting(3, 1), mixed_nesting(3, 2))),
            "{0: {'k': {0: {'k': {0: {'k': 2}}}}}}");
}

TEST(StructDiffBudget, AChangeDeepInsideObjectsIsNeverRoundedAway) {
  // 60 levels of one-key objects: the similarity of the two tops rounds to exactly 1.0.
  json::Value a(1), b(2);
  for (int i = 0; i < 60; ++i) {
    a = json::Value(json::Object{{"a", a}});
    b = json::Value(json::Object{{"a", b}});
  }
  EXPECT_EQ(similarity(a, b), 1.0);
  const Delta d = diff(a, b);
  ASSERT_FALSE(d.empty());
  EXPECT_TRUE(apply(a, d) == b);
  std::string expected = "2";
  for (int i = 0; i < 60; ++i) expected = "{'a': " + expected + "}";
  EXPECT_EQ(repr(d), expected);
  // The same inside a list: the pair is a change of its own.
  const Delta in_list =
      diff(json::Value(json::Array{a, json::Value("x")}), json::Value(json::Array{b}));
  EXPECT_EQ(repr(in_list), "{0: " + expected + ", $delete: [1]}");
}

TEST(StructDiffBudget, AListPairAlignsTheSameWhateverElseTheValuesHold) {
  // "big" spends far more than its budget; "comments" must align as it does alone.
  json::Array big_old, big_new;
  for (int i = 0; i < 300; ++i) {
    big_old.emplace_back(json::Object{{"n", i}});
    big_new.emplace_back(json::Object{{"n", i + 1000}});
  }
  const json::Value comments_old =
      parse(R"([{"text": "ok", "by": "u"}, {"text": "fix", "by": "v"}])");
  const json::Value comments_new =
      parse(R"([{"text": "ok!", "by": "u"}, {"text": "fix", "by": "v"}, {"text": "new"}])");
  const Limits tight{200, 2, std::size_t{1} << 20};
  const json::Value a(json::Object{{"big", json::Value(big_old)}, {"comments", comments_old}});
  const json::Value b(json::Object{{"big", json::Value(big_new)}, {"comments", comments_new}});
  const json::Value alone_a(json::Object{{"comments", comments_old}});
  const json::Value alone_b(json::Object{{"comments", comments_new}});
  for (const Limits& limits : {tight, Limits{}}) {
    const Delta whole = diff(a, b, limits);
    const Delta alone = diff(alone_a, alone_b, limits);
    ASSERT_NE(whole.find("comments"), nullptr);
    EXPECT_EQ(repr(*whole.find("comments")), repr(*alone.find("comments")));
    EXPECT_EQ(repr(*alone.find("comments")),
              "{0: {'text': 'ok!'}, $insert: [(2, {'text': 'new'})]}");
  }
}

TEST(StructDiffBudget, ListsPairByEqualityWithoutTableMemory) {
  const json::Value a = parse(R"([{"text": "a", "by": "u"}, 7])");
  const json::Value b = parse(R"([{"text": "b", "by": "u"}, 7])");
  EXPECT_EQ(repr(diff(a, b)), "{0: {'text': 'b'}}");
  EXPECT_EQ(repr(diff(a, b, Limits{UINT64_MAX / 4, 1, 0})),
            "{$insert: [(0, {'text': 'b', 'by': 'u'})], $delete: [0]}");
}

TEST(StructDiffBudget, AnInterruptionStopsALongDifference) {
  // A grid whose full alignment takes far longer than one poll interval.
  json::Array a, b;
  for (int i = 0; i < 200; ++i) {
    json::Array row_a, row_b;
    for (int j = 0; j < 200; ++j) {
      row_a.emplace_back(json::Array{json::Value(i * 200 + j)});
      row_b.emplace_back(json::Array{json::Value(-i * 200 - j - 1)});
    }
    a.emplace_back(std::move(row_a));
    b.emplace_back(std::move(row_b));
  }
  static int checks = 0;
  checks = 0;
  interrupt::set_check([] {
    if (++checks == 2) throw interrupt::Interrupted();
  });
  const Limits unbounded{UINT64_MAX / 4, 1, std::size_t{1} << 30};
  EXPECT_THROW(diff(json::Value(a), json::Value(b), unbounded), interrupt::Interrupted);
  interrupt::set_check(nullptr);
  EXPECT_EQ(checks, 2);
}

TEST(StructDiffApply, LeadsFromTheOldValueToTheNewOneOrSaysItDoesNotFit) {
  const json::Value a = parse(R"({"a": [1, {"x": 1}, 3], "b": 2, "c": {"k": 1}})");
  const json::Value b = parse(R"({"a": [0, {"x": 2}, 3, 4], "c": {"k": 1}, "d": [5]})");
  const Delta d = diff(a, b);
  EXPECT_EQ(repr(d),
            "{'a': {1: {'x': 2}, $insert: [(0, 0), (3, 4)], $delete: [0]}, 'd': [5], "
            "$delete: ['b']}");
  EXPECT_TRUE(apply(a, d) == b);
  EXPECT_THROW_MSG(apply(parse("[1]"), d), ValueError, "the difference does not fit the value");
  EXPECT_THROW_MSG(apply(parse(R"({"a": []})"), d), ValueError,
                   "the difference does not fit the value");
}

TEST(KeyedHash, SipHashReferenceVector) {
  // The reference vector of SipHash-2-4: key 00 01 .. 0f, message 00 01 .. 0e.
  unsigned char message[15];
  for (int i = 0; i < 15; ++i) message[i] = static_cast<unsigned char>(i);
  qor::detail::KeyedHasher whole(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 2, 4);
  whole.write(message, sizeof message);
  EXPECT_EQ(whole.finish(), 0xa129ca6149be45e5ULL);
  // Written in pieces, the same.
  qor::detail::KeyedHasher pieces(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 2, 4);
  pieces.write(message, 3);
  pieces.write(message + 3, 9);
  pieces.write(message + 12, 3);
  EXPECT_EQ(pieces.finish(), 0xa129ca6149be45e5ULL);
  // Under the process key: a function of the bytes alone, as a container needs it.
  EXPECT_EQ(detail::KeyedStringHash{}("abc"), detail::keyed_hash("abc"));
  EXPECT_NE(detail::keyed_hash("abc"), detail::keyed_hash("abd"));
}

}  // namespace
}  // namespace qor::structdiff
