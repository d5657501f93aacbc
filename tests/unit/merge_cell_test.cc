// Tests of MergeCell (sides and conflict marks) and of the cell difference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "qor/log.h"
#include "qor/merge.h"
#include "support/expect.h"

namespace qor::merge {
namespace {

using json::parse;
using json::Value;

Value named(const std::string& name) {
  return parse(R"({"metadata": {"canvas": {"id": "c", "name": ")" + name + R"("}}})");
}

TEST(MergeCellSides, ParseOnlyTheThreeSides) {
  EXPECT_EQ(side_from_name("base"), Side::kBase);
  EXPECT_EQ(side_from_name("current"), Side::kCurrent);
  EXPECT_EQ(side_from_name("incoming"), Side::kIncoming);
  for (const char* bad : {"theirs", "", "Current", "base "}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(side_from_name(bad), AssertionError);
  }
}

TEST(MergeCellMarks, AddConflictMark) {
  struct Case {
    const char* name;
    Side side;
    const char* expected;
  } cases[] = {
      {"N", Side::kCurrent, "<<< N"},
      {"N", Side::kIncoming, ">>> N"},
      {"N", Side::kBase, "N"},
      {"<<< N", Side::kCurrent, "<<< N"},
      {">>> N", Side::kCurrent, "<<< >>> N"},
      {">>> N", Side::kIncoming, ">>> N"},
      {"", Side::kCurrent, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " as " + std::string(side_name(c.side)));
    Value data = named(c.name);
    MergeCell cell(&data, c.side);
    cell.add_conflict_mark();
    EXPECT_EQ(cell.name(), c.expected);
    cell.add_conflict_mark();
    EXPECT_EQ(cell.name(), c.expected);
  }
  Value unnamed = parse(R"({"metadata": {"canvas": {"id": "c"}}})");
  const Value before = unnamed;
  MergeCell(&unnamed, Side::kCurrent).add_conflict_mark();
  EXPECT_TRUE(unnamed == before);
}

std::string changed(const std::string& older, const std::string& newer) {
  Value a = parse(older), b = parse(newer);
  return structdiff::repr(cell_changed(MergeCell(&a, Side::kBase), MergeCell(&b, Side::kCurrent)));
}

TEST(CellChanged, WhatCountsAsAChange) {
  struct Case {
    const char* name;
    const char* older;
    const char* newer;
    const char* expected;
  } cases[] = {
      {"equal cells", R"({"source": ["a"], "execution_count": 1})",
       R"({"source": ["a"], "execution_count": 1})", "{}"},
      {"execution count changed", R"({"source": ["a"], "execution_count": 1})",
       R"({"source": ["a"], "execution_count": 7})", "{}"},
      {"execution count added", R"({"source": ["a"]})",
       R"({"source": ["a"], "execution_count": 7})", "{}"},
      {"execution count removed", R"({"source": ["a"], "execution_count": 1})",
       R"({"source": ["a"]})", "{$delete: ['execution_count']}"},
      {"parent renamed", R"({"metadata": {"canvas": {"parents": [{"id": "p", "name": "A"}]}}})",
       R"({"metadata": {"canvas": {"parents": [{"id": "p", "name": "B"}]}}})", "{}"},
      {"source changed", R"({"source": ["a\n", "b"]})", R"({"source": ["a\n", "c"]})",
       "{'source': {$insert: [(1, 'c')], $delete: [1]}}"},
      {"first comment", R"({"metadata": {"canvas": {"comments": []}}})",
       R"({"metadata": {"canvas": {"comments": ["Y"]}}})",
       "{'metadata': {'canvas': {'comments': ['Y']}}}"},
      {"header colour", R"({"metadata": {"canvas": {"headerColor": "red", "id": "x"}}})",
       R"({"metadata": {"canvas": {"headerColor": "blue", "id": "x"}}})",
       "{'metadata': {'canvas': {'headerColor': 'blue'}}}"},
      {"no common key", R"({"a": 1})", R"({"b": 1})", "{$replace: {'b': 1}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(changed(c.older, c.newer), c.expected);
  }
}

// The merge's question, whether a cell changed (its outputs aside unless asked), must get the
// answer its difference gives, whether the difference is built (debug logging on) or not; the
// difference without outputs is the difference with its outputs entry erased.
TEST(CellChanged, BeyondOutputsAnswersAsTheDifference) {
  const std::vector<std::string> cells = {
      R"({})",
      R"({"source": ["a"], "execution_count": 1, "outputs": []})",
      R"({"source": ["a"], "execution_count": 7, "outputs": []})",
      R"({"source": ["a"], "outputs": []})",
      R"({"source": ["a"], "execution_count": 1})",
      R"({"source": ["a"], "execution_count": 1, "outputs": [{"text": "x"}]})",
      R"({"source": ["a", "b"], "execution_count": 1, "outputs": []})",
      R"({"outputs": [1.0]})",
      R"({"outputs": [1]})",
      R"({"outputs": [true]})",
      R"({"execution_count": 1})",
      R"({"execution_count": null, "outputs": []})",
      R"({"metadata": {"canvas": {"parents": [{"id": "p", "name": "A"}]}}, "source": []})",
      R"({"metadata": {"canvas": {"parents": [{"id": "p", "name": "B"}]}}, "source": []})",
      R"({"metadata": {"canvas": {"parents": [{"id": "q"}]}}, "source": []})",
      R"({"metadata": {"canvas": {"parents": "odd"}}, "source": []})",
      R"({"source": 1, "extra": {"deep": [1, {"x": 2}]}})",
      R"({"source": 1.0, "extra": {"deep": [1, {"x": 2.0}]}})",
      R"({"source": 1, "extra": {"deep": [1, {"x": 3}]}})",
      R"([1])",
      R"("text")",
  };
  bool debug = false;
  log::set_debug_sink({[&] { return debug; }, [](std::string_view) {}});
  for (const bool with_outputs : {false, true}) {
    for (const std::string& older : cells) {
      for (const std::string& newer : cells) {
        SCOPED_TRACE(older + " -> " + newer + (with_outputs ? " with outputs" : ""));
        Value a = parse(older), b = parse(newer);
        structdiff::Delta d;
        bool refused = false;
        try {
          d = cell_changed(MergeCell(&a, Side::kBase), MergeCell(&b, Side::kCurrent));
        } catch (const TypeError&) {
          refused = true;  // parent records that are not a list
        }
        if (!with_outputs) d.erase("outputs");
        for (const bool on : {false, true}) {
          debug = on;
          Value x = parse(older), y = parse(newer);
          const auto answer = [&] {
            return cell_changed_beyond_outputs(MergeCell(&x, Side::kBase),
                                               MergeCell(&y, Side::kCurrent), with_outputs);
          };
          if (refused) {
            EXPECT_THROW(answer(), TypeError);
            continue;
          }
          EXPECT_EQ(answer(), !d.empty());
          // The parent names go either way.
          EXPECT_TRUE(x == a);
          EXPECT_TRUE(y == b);
          if (!with_outputs) {
            Value u = parse(older), w = parse(newer);
            EXPECT_EQ(structdiff::repr(cell_changed_leaving_outputs(MergeCell(&u, Side::kBase),
                                                                    MergeCell(&w, Side::kCurrent))),
                      structdiff::repr(d));
            EXPECT_TRUE(u == a);
            EXPECT_TRUE(w == b);
          }
        }
      }
    }
  }
  log::set_debug_sink({});
}

TEST(CellChanged, RemovesParentNamesInPlace) {
  Value a = parse(R"({"metadata": {"canvas": {"parents": [{"id": "p", "name": "A"}, "odd"]}}})");
  Value b = parse(R"({"metadata": {"canvas": {"parents": [{"name": "B", "id": "q"}]}}})");
  cell_changed(MergeCell(&a, Side::kBase), MergeCell(&b, Side::kIncoming));
  EXPECT_EQ(json::write(a), R"({"metadata": {"canvas": {"parents": [{"id": "p"}, "odd"]}}})");
  EXPECT_EQ(json::write(b), R"({"metadata": {"canvas": {"parents": [{"id": "q"}]}}})");
}

TEST(CellChanged, LogsEveryDifferenceOnlyWhenDebugIsEnabled) {
  std::vector<std::string> records;
  bool enabled = false;
  log::set_debug_sink(
      {[&] { return enabled; }, [&](std::string_view r) { records.emplace_back(r); }});
  changed(R"({"source": ["a"]})", R"({"source": ["b"]})");
  EXPECT_TRUE(records.empty());
  enabled = true;
  changed(R"({"source": ["a"]})", R"({"source": ["b"]})");
  changed(R"({"source": ["a"]})", R"({"source": ["a"]})");
  log::set_debug_sink({});
  EXPECT_EQ(records, (std::vector<std::string>{"{'source': ['b']}", "{}"}));
}

}  // namespace
}  // namespace qor::merge
