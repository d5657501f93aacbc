// Tests of the resolution of a merged notebook's conflicts: what a decision makes of each kind of
// conflict (blocks, the two versions of a component, a component kept against a deletion, names
// that collide, parameters, dangling parents), where parent records go, and the checks a result
// must pass before it is written.
#include "resolve/resolution.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "support/expect.h"

namespace qor::resolve {
namespace {

using json::parse;
using json::Value;

// A code cell: component id `id`, name `name`, parents `parents` (ids), source `source`.
std::string cell(const std::string& id, const std::string& name, const std::string& source,
                 const std::string& parents = "") {
  std::string records;
  for (char p : parents)
    records += std::string(records.empty() ? "" : ", ") + "{\"id\": \"" + p + "\"}";
  return R"({"cell_type": "code", "execution_count": null, "id": "c-)" + id +
         R"(", "metadata": {"canvas": {"id": ")" + id + R"(", "name": ")" + name +
         R"(", "parents": [)" + records + R"(]}}, "outputs": [], "source": )" + source + "}";
}

Value notebook(const std::vector<std::string>& cells, const std::string& parameters = "[]") {
  std::string text = R"({"cells": [)";
  for (std::size_t i = 0; i < cells.size(); ++i) text += (i ? ", " : "") + cells[i];
  return parse(text + R"(], "metadata": {"canvas": {"parameters": )" + parameters +
               R"(}}, "nbformat": 4, "nbformat_minor": 5})");
}

// The cells of `doc` as "id name [parents] source" lines.
std::vector<std::string> summary(const Value& doc) {
  std::vector<std::string> out;
  for (const Value& c : doc.find("cells")->as_array()) {
    const Value& canvas = *c.find("metadata")->find("canvas");
    std::string line = std::string(canvas.find("id")->as_string()) + " " +
                       std::string(canvas.find("name")->as_string()) + " [";
    for (const Value& p : canvas.find("parents")->as_array()) line += p.find("id")->as_string();
    line += "] ";
    const Value& source = *c.find("source");
    if (source.is_string()) {
      line += source.as_string();
    } else {
      for (const Value& l : source.as_array()) line += l.as_string();
    }
    out.push_back(line);
  }
  return out;
}

std::vector<std::string> parameter_names(const Value& doc) {
  std::vector<std::string> out;
  for (const Value& p : doc.find("metadata")->find("canvas")->find("parameters")->as_array()) {
    out.emplace_back(p.find("name")->as_string());
    out.back() += "=" + std::string(p.find("value")->as_string());
  }
  return out;
}

TEST(Resolution, BlocksTakeEitherSideBothOrAnEdit) {
  // Two blocks in one source, the second with a base section (diff3 style).
  const Value doc = notebook({cell("A", "train",
                                   R"(["a\n", "<<<<<<< nb-current\n", "X\n", "=======\n", "Y\n",
                                       ">>>>>>> nb-incoming\n", "m\n", "<<<<<<< nb-current\n",
                                       "P\n", "||||||| base\n", "O\n", "=======\n", "Q\n",
                                       ">>>>>>> nb-incoming\n", "z"])")});
  const struct {
    const char* name;
    Decision first, second;
    const char* source;
  } cases[] = {
      {"current", {Take::kCurrent, ""}, {Take::kCurrent, ""}, "a\nX\nm\nP\nz"},
      {"incoming", {Take::kIncoming, ""}, {Take::kIncoming, ""}, "a\nY\nm\nQ\nz"},
      {"both", {Take::kBoth, ""}, {Take::kBoth, ""}, "a\nX\nY\nm\nP\nQ\nz"},
      // An edit without a line end still ends its line when lines follow.
      {"edit", {Take::kEdit, "XY"}, {Take::kEdit, ""}, "a\nXY\nm\nz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Resolution r(doc, {}, "nb.ipynb");
    ASSERT_EQ(r.conflicts().size(), 2u);
    EXPECT_EQ(r.conflicts()[0].label, "cell 0 (train): conflict block, source lines 2-6");
    EXPECT_EQ(r.conflicts()[1].base, "O\n");
    r.decide("1", c.first);
    EXPECT_EQ(r.left(), 1u);
    r.decide("2", c.second);
    EXPECT_EQ(summary(r.result()), std::vector<std::string>{std::string("A train [] ") + c.source});
    EXPECT_TRUE(r.problems().empty());
  }
  // A decision can be withdrawn: the block comes back.
  Resolution r(doc, {}, "nb.ipynb");
  r.decide("1", Decision{Take::kIncoming, ""});
  r.decide("1", std::nullopt);
  EXPECT_EQ(r.result(), doc);
  EXPECT_EQ(r.problems().front(),
            "cell 0 (train): conflict block, source lines 2-6: no decision yet");
}

// The merge of plot changed on both sides and renamed chart on the incoming side: the current
// cell, then the incoming conflict copy with a fresh id; report's parent names plot's id, and a
// hand edit made one child name the copy.
struct CopyCase {
  const char* name;
  Take take;
  std::vector<std::string> cells;
};

TEST(Resolution, TheTwoVersionsOfAComponentKeepTheIdItsChildrenName) {
  const Value base =
      notebook({cell("A", "train", R"(["t\n"])"), cell("B", "plot", R"(["p = 1\n"])", "A"),
                cell("D", "report", R"(["r\n"])", "B")});
  const Value current =
      notebook({cell("A", "train", R"(["t\n"])"), cell("B", "plot", R"(["p = 2\n"])", "A"),
                cell("D", "report", R"(["r\n"])", "B")});
  const Value incoming =
      notebook({cell("A", "train", R"(["t\n"])"), cell("B", "chart", R"(["p = 3\n"])", "A"),
                cell("D", "report", R"(["r\n"])", "B")});
  const Value merged =
      notebook({cell("A", "train", R"(["t\n"])"), cell("B", "<<< plot", R"(["p = 2\n"])", "A"),
                cell("fresh", ">>> chart", R"(["p = 3\n"])", "A"),
                cell("D", "report", R"(["r\n"])", "B"), cell("E", "extra", R"(["e\n"])", "f")});
  // "f" stands for the copy's id, which a hand edit named as a parent.
  Value doc = merged;
  (*doc.find("cells"))
      .as_array()[4]
      .find("metadata")
      ->find("canvas")
      ->find("parents")
      ->as_array()[0] = parse(R"({"id": "fresh"})");
  const CopyCase cases[] = {
      {"current",
       Take::kCurrent,
       {"A train [] t\n", "B plot [A] p = 2\n", "D report [B] r\n", "E extra [B] e\n"}},
      {"incoming",
       Take::kIncoming,
       {"A train [] t\n", "B chart [A] p = 3\n", "D report [B] r\n", "E extra [B] e\n"}},
      {"both",
       Take::kBoth,
       {"A train [] t\n", "B plot [A] p = 2\n", "fresh chart [A] p = 3\n", "D report [B] r\n",
        "E extra [fresh] e\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Resolution r(doc, Stages{base, current, incoming}, "nb.ipynb");
    ASSERT_EQ(r.conflicts().size(), 1u);
    EXPECT_EQ(r.conflicts()[0].what, "two versions of one component");
    r.decide("1", Decision{c.take, ""});
    EXPECT_EQ(summary(r.result()), c.cells);
    EXPECT_TRUE(r.problems().empty()) << r.problems().front();
  }
  // The incoming version takes the cell id of the cell it was copied from too.
  Resolution r(doc, Stages{base, current, incoming}, "nb.ipynb");
  r.decide("1", Decision{Take::kIncoming, ""});
  EXPECT_EQ(r.result().find("cells")->as_array()[1].find("id")->as_string(), "c-B");
}

TEST(Resolution, DeletionsAndCollisions) {
  // clean: changed here, deleted there; feat: deleted here, changed there, right after a marked
  // cell; save: an incoming new component under the name of a current one. Children of each.
  const Value base =
      notebook({cell("E", "clean", R"(["e = 1\n"])"), cell("F", "feat", R"(["f = 1\n"])"),
                cell("C", "save", R"(["s\n"])")});
  const Value current =
      notebook({cell("E", "clean", R"(["e = 2\n"])"), cell("C", "save", R"(["s\n"])")});
  const Value incoming =
      notebook({cell("F", "feat", R"(["f = 2\n"])"), cell("G", "save", R"(["g\n"])")});
  const Value merged =
      notebook({cell("E", "<<< clean", R"(["e = 2\n"])"), cell("K", "kid", R"(["k\n"])", "EGF"),
                cell("C", "<<< save", R"(["s\n"])"), cell("F", ">>> feat", R"(["f = 2\n"])"),
                cell("G", ">>> save", R"(["g\n"])")});
  Resolution r(merged, Stages{base, current, incoming}, "nb.ipynb");
  ASSERT_EQ(r.conflicts().size(), 3u);
  EXPECT_EQ(r.conflicts()[0].label,
            "cell 0 (clean): component in conflict (changed here, deleted on the incoming side)");
  EXPECT_EQ(r.conflicts()[1].label, "cells 2, 4 (save): component in conflict (names collide)");
  EXPECT_EQ(r.conflicts()[2].label,
            "cell 3 (feat): component in conflict (deleted here, changed on the incoming side)");
  EXPECT_FALSE(r.conflicts()[1].can_both);
  EXPECT_THROW_MSG(r.decide("2", Decision{Take::kBoth, ""}), ValueError,
                   "nb.ipynb: cells 2, 4 (save): component in conflict (names collide): cannot "
                   "take both: the two components would have the same name");
  // The current side: clean stays, feat goes (its record goes), the incoming save goes and its
  // record names the save that stays.
  for (const char* key : {"1", "2", "3"}) r.decide(key, Decision{Take::kCurrent, ""});
  EXPECT_EQ(summary(r.result()),
            (std::vector<std::string>{"E clean [] e = 2\n", "K kid [EC] k\n", "C save [] s\n"}));
  // The incoming side: clean goes; save is what the incoming side has for C (nothing) and G.
  for (const char* key : {"1", "2", "3"}) r.decide(key, Decision{Take::kIncoming, ""});
  EXPECT_EQ(summary(r.result()),
            (std::vector<std::string>{"K kid [GF] k\n", "F feat [] f = 2\n", "G save [] g\n"}));
  EXPECT_TRUE(r.problems().empty());
  // An edit keeps the current side's component with the text as its source.
  r.decide("1", Decision{Take::kEdit, "e = 3\n"});
  EXPECT_EQ(summary(r.result()).front(), "E clean [] e = 3\n");
  EXPECT_EQ(r.result_text("1").value().substr(0, 18), "name: clean\nid: E\n");
}

TEST(Resolution, ParametersGoBackToTheirPlace) {
  const auto param = [&](const std::string& name, const std::string& value) {
    return R"({"name": ")" + name + R"(", "type": "float", "value": ")" + value + "\"}";
  };
  const Value base = notebook(
      {}, "[" + param("a", "1") + ", " + param("lr", "0.1") + ", " + param("z", "9") + "]");
  const Value current = notebook(
      {}, "[" + param("a", "1") + ", " + param("lr", "0.2") + ", " + param("z", "9") + "]");
  const Value incoming = notebook(
      {}, "[" + param("a", "1") + ", " + param("lr", "0.3") + ", " + param("z", "9") + "]");
  const Value merged =
      notebook({}, "[" + param("a", "1") + ", " + param("z", "9") + ", " + param("<<< lr", "0.2") +
                       ", " + param(">>> lr", "0.3") + ", " + param("<<< gone", "5") + "]");
  Resolution r(merged, Stages{base, current, incoming}, "nb.ipynb");
  ASSERT_EQ(r.conflicts().size(), 2u);
  EXPECT_EQ(r.select({}, {"gone"}), std::vector<std::string>{"2"});
  EXPECT_THROW_MSG(r.select({}, {"nothing"}), ValueError,
                   "nb.ipynb: no conflict of a parameter nothing");
  r.decide("1", Decision{Take::kIncoming, ""});
  r.decide("2", Decision{Take::kIncoming, ""});  // the incoming side deleted it
  EXPECT_EQ(parameter_names(r.result()), (std::vector<std::string>{"a=1", "lr=0.3", "z=9"}));
  r.decide("1", Decision{Take::kEdit, "0.25"});
  r.decide("2", Decision{Take::kCurrent, ""});
  EXPECT_EQ(parameter_names(r.result()),
            (std::vector<std::string>{"a=1", "lr=0.25", "z=9", "gone=5"}));
  EXPECT_FALSE(r.conflicts()[0].can_both);
}

TEST(Resolution, DanglingParentsAreDropped) {
  const Value doc = notebook({cell("A", "train", R"(["t\n"])", "X")});
  Resolution r(doc, {}, "nb.ipynb");
  ASSERT_EQ(r.conflicts().size(), 1u);
  EXPECT_EQ(r.conflicts()[0].label, "cell 0 (train): parent X names no component");
  EXPECT_THROW_MSG(r.decide("1", Decision{Take::kEdit, "x"}), ValueError,
                   "nb.ipynb: cell 0 (train): parent X names no component: cannot take an edit");
  EXPECT_THROW_MSG(r.decide("9", Decision{}), ValueError, "nb.ipynb: no conflict 9");
  r.decide("1", Decision{Take::kIncoming, ""});
  EXPECT_EQ(summary(r.result()), std::vector<std::string>{"A train [] t\n"});
}

TEST(Resolution, ChecksBeforeWriting) {
  const struct {
    const char* name;
    Value doc;
    std::vector<std::string> problems;
  } cases[] = {
      {"fine", notebook({cell("A", "a", "[]"), cell("B", "b", "[]", "A")}), {}},
      {"cycle",
       notebook({cell("A", "a", "[]", "C"), cell("B", "b", "[]", "A"), cell("C", "c", "[]", "B")}),
       {"a cycle among parents: cell 0 (a) -> cell 2 (c) -> cell 1 (b) -> cell 0 (a)"}},
      {"self",
       notebook({cell("A", "a", "[]", "A")}),
       {"a cycle among parents: cell 0 (a) -> cell 0 (a)"}},
      {"same ids",
       notebook({cell("A", "a", "[]"), cell("A", "b", "[]")}),
       {"cell 1 (b): component id A is also cell 0 (a)'s",
        "cell 1 (b): cell id c-A is also cell 0 (a)'s"}},
      {"marks",
       notebook({cell("A", "<<< a", R"(["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"])", "Q")},
                R"([{"name": ">>> p", "value": "1"}])"),
       {"cell 0 (<<< a): conflict block left, source lines 1-3", "cell 0 (<<< a): marked name left",
        "parameter 0 (>>> p): marked name left", "cell 0 (<<< a): parent Q names no component"}},
      {"not a cell",
       parse(R"({"cells": [{"cell_type": "code", "source": 3, "metadata": {}}], "metadata": {}})"),
       {"cell 0: the source is not text",
        "cell 0: a code cell needs outputs and an execution count"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check_notebook(c.doc), c.problems);
  }
}

TEST(Resolution, WithoutTheVersionsACopyIsTheMarkedCellRightAfterTheCurrentOne) {
  const Value doc =
      notebook({cell("B", "<<< plot", R"(["p = 2\n"])"), cell("N", ">>> chart", R"(["p = 3\n"])"),
                cell("D", "report", R"(["r\n"])", "B")});
  Resolution r(doc, {}, "nb.ipynb");
  ASSERT_EQ(r.conflicts().size(), 1u);
  EXPECT_TRUE(r.conflicts()[0].can_both);
  r.decide("1", Decision{Take::kIncoming, ""});
  EXPECT_EQ(summary(r.result()),
            (std::vector<std::string>{"B chart [] p = 3\n", "D report [B] r\n"}));
}

}  // namespace
}  // namespace qor::resolve
