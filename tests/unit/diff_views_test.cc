// Tests of the readable diff views: the line diff and its hunks, the changes the views gather,
// the text view, the textconv text and the HTML page's content (the page in a real browser is
// tested from Python).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "views/changes.h"
#include "views/graph_fold.h"
#include "views/graph_layout.h"
#include "views/line_diff.h"
#include "views/views.h"

namespace qor::diff {
namespace {

using detail::LineEdit;
using detail::LineOp;
using json::Value;

// ---- line diff ----------------------------------------------------------------------------

std::size_t lcs_length(const std::vector<std::string_view>& a,
                       const std::vector<std::string_view>& b) {
  std::vector<std::vector<std::size_t>> t(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
    }
  }
  return t[a.size()][b.size()];
}

// Checks that `edits` turns `a` into `b`, keeping equal lines only, and returns the kept count.
std::size_t check_script(const std::vector<std::string_view>& a,
                         const std::vector<std::string_view>& b,
                         const std::vector<LineEdit>& edits) {
  std::size_t i = 0, j = 0, kept = 0;
  for (const LineEdit& e : edits) {
    EXPECT_EQ(e.old_index, i);
    EXPECT_EQ(e.new_index, j);
    if (e.op == LineOp::kEqual) {
      EXPECT_EQ(a.at(i), b.at(j));
      ++i, ++j, ++kept;
    } else if (e.op == LineOp::kDelete) {
      ++i;
    } else {
      ++j;
    }
  }
  EXPECT_EQ(i, a.size());
  EXPECT_EQ(j, b.size());
  return kept;
}

TEST(LineDiff, ScriptsAreShortestOnRandomInputs) {
  std::mt19937 rng(12);
  const std::vector<std::string> alphabet = {"a\n", "b\n", "c\n", "d\n", "e", "a"};
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string_view> a, b;
    const int n = static_cast<int>(rng() % 14), m = static_cast<int>(rng() % 14);
    const std::size_t letters = 2 + rng() % (alphabet.size() - 1);
    for (int k = 0; k < n; ++k) a.push_back(alphabet[rng() % letters]);
    for (int k = 0; k < m; ++k) b.push_back(alphabet[rng() % letters]);
    SCOPED_TRACE("round " + std::to_string(round));
    const auto edits = detail::diff_lines(a, b);
    EXPECT_EQ(check_script(a, b, edits), lcs_length(a, b));
  }
}

TEST(LineDiff, LinesOfOneSideOnlyAndLongInputs) {
  std::vector<std::string> before, after;
  for (int i = 0; i < 3000; ++i) before.push_back("old " + std::to_string(i) + "\n");
  for (int i = 0; i < 3000; ++i) after.push_back(i % 3 ? before[i] : "new " + std::to_string(i));
  const std::vector<std::string_view> a(before.begin(), before.end()),
      b(after.begin(), after.end());
  EXPECT_EQ(check_script(a, b, detail::diff_lines(a, b)), 2000u);
  const std::vector<std::string_view> none;
  EXPECT_EQ(check_script(a, none, detail::diff_lines(a, none)), 0u);
  EXPECT_EQ(check_script(none, b, detail::diff_lines(none, b)), 0u);
}

std::vector<std::string> hunk_headers(const std::vector<std::string_view>& a,
                                      const std::vector<std::string_view>& b) {
  std::vector<std::string> out;
  for (const auto& h : detail::unified_hunks(detail::diff_lines(a, b))) {
    out.push_back(detail::hunk_header(h));
  }
  return out;
}

TEST(LineDiff, HunksAndHeadersAsDiffWritesThem) {
  std::vector<std::string> lines;
  for (int i = 1; i <= 20; ++i) lines.push_back(std::to_string(i) + "\n");
  const std::vector<std::string_view> a(lines.begin(), lines.end());
  struct Case {
    const char* name;
    std::vector<std::string_view> b;
    std::vector<std::string> headers;
  };
  auto edited = [&](std::initializer_list<int> changed, bool drop = false) {
    std::vector<std::string_view> b;
    for (int i = 0; i < 20; ++i) {
      const bool hit = std::find(changed.begin(), changed.end(), i) != changed.end();
      if (!hit) {
        b.push_back(a[i]);
      } else if (!drop) {
        b.push_back("x\n");
      }
    }
    return b;
  };
  const std::vector<Case> cases = {
      {"same", a, {}},
      {"first line", edited({0}), {"@@ -1,4 +1,4 @@"}},
      {"middle line", edited({9}), {"@@ -7,7 +7,7 @@"}},
      {"two changes six apart share a hunk", edited({3, 10}), {"@@ -1,14 +1,14 @@"}},
      {"seven apart do not", edited({3, 11}), {"@@ -1,7 +1,7 @@", "@@ -9,7 +9,7 @@"}},
      {"deleted last line", edited({19}, true), {"@@ -17,4 +17,3 @@"}},
      {"everything deleted", {}, {"@@ -1,20 +0,0 @@"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hunk_headers(a, c.b), c.headers);
  }
  const std::vector<std::string_view> one = {"x"};
  EXPECT_EQ(hunk_headers({}, one), std::vector<std::string>{"@@ -0,0 +1 @@"});
}

// ---- documents ----------------------------------------------------------------------------

using Parents = std::vector<std::pair<std::string, std::string>>;  // id, name

Value parents_of(const Parents& parents) {
  Value list = Value::array();
  for (const auto& [id, name] : parents) {
    Value record = Value::object();
    record.as_object().set("id", Value(id));
    record.as_object().set("name", Value(name));
    list.as_array().push_back(std::move(record));
  }
  return list;
}

Value code(const std::string& id, const std::string& name, std::vector<std::string> source,
           const Parents& parents = {}) {
  Value canvas = Value::object();
  canvas.as_object().set("id", Value(id));
  if (!name.empty()) canvas.as_object().set("name", Value(name));
  canvas.as_object().set("parents", parents_of(parents));
  Value metadata = Value::object();
  metadata.as_object().set("canvas", std::move(canvas));
  Value lines = Value::array();
  for (std::size_t i = 0; i < source.size(); ++i) {
    lines.as_array().push_back(Value(source[i] + (i + 1 < source.size() ? "\n" : "")));
  }
  Value cell = Value::object();
  cell.as_object().set("cell_type", Value("code"));
  cell.as_object().set("metadata", std::move(metadata));
  cell.as_object().set("outputs", Value::array());
  cell.as_object().set("source", std::move(lines));
  return cell;
}

Value markdown(const std::string& cell_id, const std::string& text) {
  Value cell = Value::object();
  cell.as_object().set("cell_type", Value("markdown"));
  if (!cell_id.empty()) cell.as_object().set("id", Value(cell_id));
  cell.as_object().set("metadata", Value::object());
  cell.as_object().set("source", Value(text));
  return cell;
}

Value notebook(std::vector<Value> cells, std::vector<std::vector<std::string>> parameters = {}) {
  Value doc = Value::object();
  Value list = Value::array();
  for (Value& c : cells) list.as_array().push_back(std::move(c));
  doc.as_object().set("cells", std::move(list));
  Value params = Value::array();
  for (const auto& p : parameters) {
    Value param = Value::object();
    param.as_object().set("name", Value(p[0]));
    param.as_object().set("type", Value(p[1]));
    param.as_object().set("value", Value(p[2]));
    params.as_array().push_back(std::move(param));
  }
  Value canvas = Value::object();
  canvas.as_object().set("parameters", std::move(params));
  Value metadata = Value::object();
  metadata.as_object().set("canvas", std::move(canvas));
  doc.as_object().set("metadata", std::move(metadata));
  return doc;
}

std::string text(Value prev, Value current, bool color = false) {
  TextViewOptions options;
  options.color = color;
  return text_view(prev, current, options);
}

// ---- changes and the text view ------------------------------------------------------------

TEST(TextView, OneBlockPerChangedComponentInReadingOrder) {
  const Value prev = notebook(
      {code("a1", "load", {"x = 1"}), code("b2", "fit", {"m = f(x)", "print(m)"}, {{"a1", "load"}}),
       code("c3", "old", {"gone = 1"}, {{"a1", "load"}}), code("d4", "same", {"s"})},
      {{"alpha", "str", "0.5"}, {"mode", "str", "3"}, {"gone", "str", "x"}});
  const Value current = notebook(
      {code("e5", "plot", {"plot()"}, {{"b2", "fit"}}), code("a1", "load_data", {"x = 1"}),
       code("b2", "fit", {"m = g(x)", "print(m)"}, {{"e5", "plot"}}), code("d4", "same", {"s"})},
      {{"alpha", "str", "0.7"}, {"mode", "int", "3"}, {"beta", "str", "1"}});
  EXPECT_EQ(text(prev, current),
            "added  plot  id e5\n"
            "  parents: fit\n"
            "  @@ -0,0 +1 @@\n"
            "  +plot()\n"
            "\n"
            "renamed  load_data  (renamed from load)  id a1\n"
            "\n"
            "modified  fit  id b2\n"
            "  parents: +plot -load\n"
            "  @@ -1,2 +1,2 @@\n"
            "  -m = f(x)\n"
            "  +m = g(x)\n"
            "   print(m)\n"
            "\n"
            "removed  old  id c3\n"
            "  parents: load\n"
            "  @@ -1 +0,0 @@\n"
            "  -gone = 1\n"
            "\n"
            "parameters\n"
            "  alpha: \"0.5\" -> \"0.7\"\n"
            "  mode: type str -> int\n"
            "  + beta: \"1\" (str)\n"
            "  - gone: \"x\" (str)\n"
            "\n"
            "2 components changed, 1 added, 1 removed; 2 parameters changed, 1 added, 1 removed\n");
}

TEST(TextView, NoChangesAndColour) {
  const Value doc = notebook({code("a", "n", {"x"})});
  EXPECT_EQ(text(doc, doc), "no changes\n");
  const std::string coloured =
      text(notebook({code("a", "n", {"x"})}), notebook({code("a", "n", {"y"})}), true);
  EXPECT_NE(coloured.find("\x1b[33mmodified\x1b[0m"), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("\x1b[31m-x\x1b[0m"), std::string::npos) << coloured;
  EXPECT_NE(coloured.find("\x1b[32m+y\x1b[0m"), std::string::npos) << coloured;
}

// Line ends show where they change, and only there: a "\r" as its escape, a final newline
// gained or lost with git's mark, while a line appended to a source saved without a final
// newline (as Jupyter saves them) leaves the line before it unchanged. The page shows the same.
TEST(TextView, LineEndsShowWhereTheyChange) {
  struct Case {
    const char* name;
    std::vector<std::string> prev, current;
    const char* diff;
  };
  const Case cases[] = {
      {"carriage return dropped",
       {"x = 1\r", "y = 2"},
       {"x = 1", "y = 2"},
       "  @@ -1,2 +1,2 @@\n  -x = 1\\x0d\n  +x = 1\n   y = 2\n"},
      {"line appended",
       {"a = 1", "b = 2"},
       {"a = 1", "b = 2", "c = 3"},
       "  @@ -1,2 +1,3 @@\n   a = 1\n   b = 2\n  +c = 3\n"},
      {"final newline added",
       {"a = 1", "b = 2"},
       {"a = 1", "b = 2\n"},
       "  @@ -1,2 +1,2 @@\n   a = 1\n  -b = 2\n  \\ No newline at end of file\n  +b = 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value prev = notebook({code("a", "n", c.prev)});
    Value current = notebook({code("a", "n", c.current)});
    EXPECT_EQ(text(prev, current),
              std::string("modified  n  id a\n") + c.diff + "\n1 component changed\n");
    HtmlViewOptions options;
    const std::string page = html_view(prev, current, options);
    const std::string diff = c.diff;
    EXPECT_EQ(page.find("No newline") != std::string::npos,
              diff.find("No newline") != std::string::npos);
    EXPECT_EQ(page.find("-b = 2</td>") != std::string::npos,
              diff.find("-b = 2") != std::string::npos);
  }
}

TEST(TextView, NotebookTextCannotDriveTheTerminal) {
  const std::string out = text(notebook({code("a", "n\x1b[2J", {"x"})}),
                               notebook({code("a", "n\x1b[2J", {"print('\x1b]0;owned\x07')"})}));
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  EXPECT_EQ(out.find('\x07'), std::string::npos) << out;
  EXPECT_NE(out.find("n\\x1b[2J"), std::string::npos) << out;
  EXPECT_EQ(detail::display("a\xff\xed\xa0\x80z\xc2\x9b"),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\\u009b");
}

TEST(TextView, OutputsParentsAndOtherKeysOfAKeptComponent) {
  Value prev = notebook({code("p", "parent", {"p"}), code("a", "n", {"x"}, {{"p", "parent"}})});
  Value current = notebook({code("p", "parent", {"p"}), code("a", "n", {"x"}, {{"p", "parent"}})});
  Value& cell = current.as_object().at("cells").as_array()[1];
  cell.as_object().at("outputs").as_array().push_back(
      json::parse(R"({"output_type": "stream", "name": "stdout", "text": ["hello\n"]})"));
  cell.as_object()
      .at("metadata")
      .as_object()
      .at("canvas")
      .as_object()
      .set("headerColor", Value("#fff"));
  EXPECT_EQ(text(prev, current),
            "changed  n  id a\n"
            "  outputs: 0 -> 1; added #1 stream stdout 6 B\n"
            "  + headerColor: \"#fff\"\n"
            "\n"
            "1 component changed\n");
}

// `doc` with the JSON `value` stored at the key path `path` (objects made where missing).
Value with(Value doc, std::vector<std::string> path, const std::string& value) {
  Value* at = &doc;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    if (at->is_array()) {
      at = &at->as_array()[std::stoul(path[i])];
    } else {
      if (!at->find(path[i])) at->as_object().set(path[i], Value::object());
      at = at->find(path[i]);
    }
  }
  at->as_object().set(path.back(), json::parse(value));
  return doc;
}

// Metadata changes show with both values wherever they are: a component's canvas and metadata,
// a markdown cell's metadata, the notebook's own keys; long values as a diff of their lines.
TEST(TextView, EveryMetadataChangeShowsWithItsValues) {
  const Value prev = with(with(notebook({code("a", "fit", {"x"}), markdown("m", "# T")}),
                               {"cells", "0", "metadata", "canvas", "headerColor"}, R"("#f00")"),
                          {"metadata", "kernelspec"}, R"({"name": "python3"})");
  std::string long_list = "[";
  for (int i = 0; i < 30; ++i) long_list += (i ? ", \"" : "\"") + std::to_string(i) + "\"";
  Value current = with(prev, {"cells", "0", "metadata", "canvas", "headerColor"}, R"("#0f0")");
  current = with(current, {"cells", "0", "metadata", "tags"}, R"(["slow"])");
  current = with(current, {"cells", "1", "metadata", "tags"}, R"(["intro"])");
  current = with(current, {"metadata", "kernelspec"}, R"({"name": "python3.11"})");
  current = with(current, {"metadata", "widgets"}, long_list + "]");
  EXPECT_EQ(text(prev, current),
            "changed  fit  id a\n"
            "  + metadata.tags: [\"slow\"]\n"
            "  headerColor: \"#f00\" -> \"#0f0\"\n"
            "\n"
            "markdown cell modified  m\n"
            "  + metadata.tags: [\"intro\"]\n"
            "\n"
            "notebook\n"
            "  metadata.kernelspec: {\"name\": \"python3\"} -> {\"name\": \"python3.11\"}\n"
            "  metadata.widgets:\n"
            "  @@ -0,0 +1,32 @@\n"
            "  +[\n"
            "  + \"0\",\n" +
                text(prev, current).substr(text(prev, current).find("  + \"1\",\n")));
  const std::string out = text(prev, current);
  EXPECT_NE(out.find("  +]\n\n1 component changed; 1 markdown cell changed; notebook metadata "
                     "changed\n"),
            std::string::npos)
      << out;
  // A key removed, and nothing at all when only the order of keys differs.
  EXPECT_NE(text(current, prev).find("  - metadata.tags: [\"slow\"]\n"), std::string::npos);
  const Value reordered = with(prev, {"metadata", "kernelspec"}, R"({"name": "python3"})");
  EXPECT_EQ(text(prev, reordered), "no changes\n");
}

// A change of place is a change: the components that moved (the fewest that account for the
// new order; added and removed ones never count), parameters in another order, and keys of a
// parameter besides its value and type.
TEST(TextView, OrderAndParameterKeysAreChanges) {
  const auto cells = [](const std::string& order) {
    std::vector<Value> list;
    for (char c : order) list.push_back(code(std::string(1, c), std::string("step_") + c, {"x"}));
    return list;
  };
  const struct {
    const char* prev;
    const char* current;
    const char* expected;
  } moves[] = {
      {"abcd", "abcd", "no changes\n"},
      {"abcd", "bacd", "moved  step_b\n\n1 component moved\n"},
      {"abcd", "dcba", "moved  step_d, step_c, step_b\n\n3 components moved\n"},
      {"abcd", "acdb", "moved  step_b\n\n1 component moved\n"},
      // Additions and removals alone move nothing.
      {"abcd", "xabd",
       "added  step_x  id x\n  @@ -0,0 +1 @@\n  +x\n\nremoved  step_c  id c\n"
       "  @@ -1 +0,0 @@\n  -x\n\n1 component added, 1 removed\n"},
  };
  for (const auto& m : moves) {
    SCOPED_TRACE(std::string(m.prev) + " -> " + m.current);
    EXPECT_EQ(text(notebook(cells(m.prev)), notebook(cells(m.current))), m.expected);
  }
  const Value prev = notebook(cells("a"), {{"lr", "float", "0.1"}, {"epochs", "int", "3"}});
  EXPECT_EQ(text(prev, notebook(cells("a"), {{"epochs", "int", "3"}, {"lr", "float", "0.1"}})),
            "parameters\n  order: epochs, lr (was lr, epochs)\n\nparameters reordered\n");
  const Value unit = with(prev, {"metadata", "canvas", "parameters", "0", "unit"}, R"("s")");
  EXPECT_EQ(text(prev, unit), "parameters\n  + lr.unit: \"s\"\n\n1 parameter changed\n");
  EXPECT_EQ(text(unit, with(unit, {"metadata", "canvas", "parameters", "0", "unit"}, R"("ms")")),
            "parameters\n  lr.unit: \"s\" -> \"ms\"\n\n1 parameter changed\n");
}

// Cells that share a component id are named: only the last of them is compared, so another
// one may look removed.
TEST(TextView, RepeatedComponentIdsAreNamed) {
  const Value prev = notebook({code("a", "load", {"x"}), code("b", "fit", {"y"})});
  const Value current = notebook({code("a", "load", {"x"}), code("a", "fit", {"y"})});
  TextViewOptions options;
  options.current_name = "nb.ipynb (current version)";
  Value p = prev, c = current;
  EXPECT_EQ(text_view(p, c, options),
            "repeated component ids (only the last cell of each is compared)\n"
            "  a: cells 0, 1 of nb.ipynb (current version)\n"
            "\n"
            "modified  fit  (renamed from load)  id a\n"
            "  @@ -1 +1 @@\n"
            "  -x\n"
            "  +y\n"
            "\n"
            "removed  fit  id b\n"
            "  @@ -1 +0,0 @@\n"
            "  -y\n"
            "\n"
            "1 component changed, 1 removed\n");
}

TEST(TextView, MarkdownCellsAreMatchedByIdOrByContent) {
  const Value prev = notebook({markdown("m1", "# Title\nold words"), markdown("", "keep"),
                               markdown("", "was here"), code("a", "n", {"x"})});
  const Value current = notebook({markdown("m1", "# Title\nnew words"), markdown("", "keep"),
                                  code("a", "n", {"x"}), markdown("", "fresh")});
  EXPECT_EQ(text(prev, current),
            "markdown cell modified  m1\n"
            "  @@ -1,2 +1,2 @@\n"
            "   # Title\n"
            "  -old words\n"
            "  +new words\n"
            "\n"
            "markdown cell modified  cell 4\n"
            "  @@ -1 +1 @@\n"
            "  -was here\n"
            "  +fresh\n"
            "\n"
            "2 markdown cells changed\n");
}

TEST(TextView, ConflictMarksAndUnknownParents) {
  const std::string out = text(
      notebook({code("a", "train", {"x"})}),
      notebook({code("a", "<<< train", {"x"}, {{"nowhere", ""}}), code("b", ">>> train", {"y"})}));
  EXPECT_NE(out.find("renamed  <<< train  (renamed from train)  id a  [conflict]\n"
                     "  parents: +id nowhere\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("added  >>> train  id b  [conflict]\n"), std::string::npos) << out;
  const std::string block = text(
      notebook({code("a", "fit", {"x = 1"})}),
      notebook({code("a", "fit",
                     {"<<<<<<< nb-current", "x = 2", "=======", "x = 3", ">>>>>>> nb-incoming"})}));
  EXPECT_EQ(block.substr(0, block.find('\n')), "modified  fit  id a  [conflict]");
}

TEST(TextView, MalformedDocumentsFailAsTheDiffDoes) {
  Value prev = json::parse(R"({"cells": [{"cell_type": "code", "metadata": {}}]})");
  Value current = notebook({});
  EXPECT_THROW(text_view(prev, current), KeyError);
  Value not_a_notebook = json::parse("[]");
  EXPECT_THROW(text_view(not_a_notebook, current), TypeError);
}

TEST(ShortIds, PrefixesThatTellIdsApart) {
  const std::vector<std::string> ids = {"cmp-000001",
                                        "cmp-000002",
                                        "a",
                                        "6f1c2a1e-0b7e-4a53-9d0e-1f2a3b4c5d02",
                                        "6f1c2a1e-0b7e-4a53-9d0e-1f2a3b4c5d03",
                                        "0123456789abcdef",
                                        "0123456789abXdef"};
  EXPECT_EQ(detail::shorten_ids(ids), (std::vector<std::string>{"cmp-000001", "cmp-000002", "a",
                                                                "6f1c2a1e\xE2\x80\xA6"
                                                                "5d02",
                                                                "6f1c2a1e\xE2\x80\xA6"
                                                                "5d03",
                                                                "01234567\xE2\x80\xA6"
                                                                "cdef",
                                                                "01234567\xE2\x80\xA6"
                                                                "Xdef"}));
}

// ---- textconv -----------------------------------------------------------------------------

std::string conv(const Value& doc) {
  std::string out;
  textconv(doc, out);
  return out;
}

std::vector<std::string> changed_lines(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    std::vector<std::string_view> lines;
    std::string_view v(s);
    while (!v.empty()) {
      const std::size_t nl = v.find('\n');
      lines.push_back(v.substr(0, nl + 1));
      v.remove_prefix(nl == std::string_view::npos ? v.size() : nl + 1);
    }
    return lines;
  };
  const auto x = split(a), y = split(b);
  std::vector<std::string> out;
  for (const LineEdit& e : detail::diff_lines(x, y)) {
    if (e.op == LineOp::kDelete) out.push_back("-" + std::string(x[e.old_index]));
    if (e.op == LineOp::kInsert) out.push_back("+" + std::string(y[e.new_index]));
  }
  return out;
}

TEST(Textconv, ComponentsParametersAndOutputs) {
  Value doc = notebook({markdown("m", "# Title"), code("a1", "load", {"x = 1", "", "y = 2"}),
                        code("b2", "fit", {"fit()"}, {{"a1", "stale name"}, {"zz", "gone"}})},
                       {{"alpha", "str", "0.5"}});
  doc.as_object().at("cells").as_array()[2].as_object().at("outputs").as_array().push_back(
      json::parse(
          R"({"output_type": "display_data", "data": {"image/png": "AAAA"}, "metadata": {}})"));
  const std::string out = conv(doc);
  const std::string expected_start =
      "parameters\n"
      "  alpha = \"0.5\" (str)\n"
      "\n"
      "markdown  cell m\n"
      "  | # Title\n"
      "\n"
      "code  load  id a1\n"
      "  | x = 1\n"
      "  |\n"
      "  | y = 2\n"
      "\n"
      "code  fit  id b2\n"
      "  parents: load (a1), gone (zz)\n"
      "  | fit()\n"
      "  output display_data image/png  4 B  #";
  EXPECT_EQ(out.substr(0, expected_start.size()), expected_start) << out;
  EXPECT_EQ(out.size(), expected_start.size() + 13) << out;
}

TEST(Textconv, OneSourceLineChangedIsOneLineChanged) {
  const Value a =
      notebook({code("a1", "load", {"x = 1", "y = 2", "z = 3"}), code("b", "b", {"q"})});
  const Value b =
      notebook({code("a1", "load", {"x = 1", "y = 20", "z = 3"}), code("b", "b", {"q"})});
  EXPECT_EQ(changed_lines(conv(a), conv(b)),
            (std::vector<std::string>{"-  | y = 2\n", "+  | y = 20\n"}));
}

// A commit that changes only metadata changes lines of the textconv form, those of the keys it
// changed: nothing a commit does looks empty in git's history.
TEST(Textconv, MetadataChangesChangeTheirLines) {
  const Value base = with(
      notebook({code("a1", "load", {"x = 1"}), markdown("m", "# T")}, {{"alpha", "str", "0.5"}}),
      {"cells", "0", "metadata", "canvas", "headerColor"}, R"("#f00")");
  const struct {
    const char* name;
    std::vector<std::string> path;
    const char* value;
    std::vector<std::string> lines;
  } cases[] = {
      {"header colour",
       {"cells", "0", "metadata", "canvas", "headerColor"},
       R"("#0f0")",
       {"-  headerColor: \"#f00\"\n", "+  headerColor: \"#0f0\"\n"}},
      {"comments",
       {"cells", "0", "metadata", "canvas", "comments"},
       R"(["check units"])",
       {"+  comments: [\"check units\"]\n"}},
      {"tags of a markdown cell",
       {"cells", "1", "metadata", "tags"},
       R"(["intro"])",
       {"+  metadata.tags: [\"intro\"]\n"}},
      {"cell id", {"cells", "0", "id"}, R"("c-1")", {"+  id: \"c-1\"\n"}},
      {"kernel",
       {"metadata", "kernelspec"},
       R"({"name": "python3", "display_name": "P"})",
       {"+notebook\n", "+  metadata.kernelspec: {\"display_name\": \"P\", \"name\": \"python3\"}\n",
        "+\n"}},
      {"another key of a parameter",
       {"metadata", "canvas", "parameters", "0", "help"},
       R"("learning rate")",
       {"+    help: \"learning rate\"\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(changed_lines(conv(base), conv(with(base, c.path, c.value))), c.lines);
  }
  // A long value changes only the lines of its indented form that its change touches.
  std::string list = "[";
  for (int i = 0; i < 60; ++i) list += (i ? ", " : "") + std::to_string(i);
  const Value a = with(base, {"metadata", "widgets"}, list + "]");
  const Value b = with(base, {"metadata", "widgets"}, list + ", 60]");
  EXPECT_EQ(changed_lines(conv(a), conv(b)),
            (std::vector<std::string>{"-     59\n", "+     59,\n", "+     60\n"}));
  // An execution count is a run's, not a change.
  EXPECT_EQ(conv(base), conv(with(base, {"cells", "0", "execution_count"}, "7")));
}

TEST(Textconv, TheSameDocumentInAnyLayoutGivesTheSameText) {
  const std::string compact =
      R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": "n"}}, )"
      R"("outputs": [{"output_type": "stream", "name": "stdout", "text": ["hi\n"]}], "source": "a\nb"}]})";
  const std::string indented =
      "{\n \"cells\": [\n  {\n   \"metadata\": {\"canvas\": {\"name\": \"n\", \"id\": \"a\"}},\n"
      "   \"cell_type\": \"code\",\n   \"outputs\": [{\"text\": [\"hi\\n\"], \"name\": "
      "\"stdout\",\n"
      "    \"output_type\": \"stream\"}],\n   \"source\": [\"a\\n\", \"b\"]\n  }\n ]\n}\n";
  EXPECT_EQ(conv(json::parse(compact)), conv(json::parse(indented)));
}

TEST(Textconv, OutputsEqualAsValuesGiveTheSameLine) {
  // Numbers equal to each other in any spelling summarise alike, as the diff compares them.
  const auto with_output = [](const std::string& data) {
    return R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a"}}, )"
           R"("outputs": [{"output_type": "execute_result", "data": )" +
           data + R"(}], "source": ""}]})";
  };
  const std::pair<const char*, const char*> equal[] = {
      {"[1e19, -1e19]", "[10000000000000000000, -10000000000000000000]"},
      {"[1, 0, 2.0]", "[true, false, 2]"},
      {"[123456789012345678901234567890]", "[123456789012345678901234567890]"},
      {"[NaN, -0.0]", "[NaN, 0]"},
  };
  for (const auto& [a, b] : equal) {
    SCOPED_TRACE(a);
    EXPECT_EQ(conv(json::parse(with_output(a))), conv(json::parse(with_output(b))));
  }
  EXPECT_NE(conv(json::parse(with_output("[1e19]"))), conv(json::parse(with_output("[1e18]"))));
}

// Handed over in pieces, the text is the same; outputs held as text are summarised from copies,
// so the document keeps them as text.
TEST(Textconv, PiecesMakeTheSameTextAndOutputsStayText) {
  std::string text = R"({"cells": [)";
  for (int i = 0; i < 6000; ++i) {
    const std::string n = std::to_string(i);
    if (i > 0) text += ", ";
    text += R"({"cell_type": "code", "metadata": {"canvas": {"id": "c)" + n + R"("}}, )" +
            R"("outputs": [{"output_type": "stream", "name": "stdout", "text": [")" +
            std::string(200, 'o') + R"(\n"]}], "source": [")" + std::string(400, 's') + n +
            R"(\n", "x"]})";
  }
  text += "]}";
  const auto owner = std::make_shared<const std::string>(text);
  const Value lazy = json::parse_lazy(*owner, "nb", owner, {3, {}});
  const Value& outputs = lazy.find("cells")->as_array()[7].as_object().at("outputs");
  ASSERT_TRUE(outputs.is_raw());
  std::string pieces, out;
  int handed = 0;
  textconv(lazy, out, [&](std::string& piece) {
    EXPECT_GE(piece.size(), std::size_t{1} << 20);
    pieces += piece;
    piece.clear();
    ++handed;
  });
  EXPECT_GE(handed, 2);
  EXPECT_EQ(pieces + out, conv(json::parse(text)));
  EXPECT_TRUE(outputs.is_raw());
}

// Odd values inside a notebook's lists are shown as values; a document whose own shape the
// lines cannot show is refused, for the command to show its text instead.
TEST(Textconv, OddDocumentsDoNotFail) {
  for (const char* text :
       {"{}", R"({"cells": [1, {"cell_type": 2, "source": {}}]})",
        R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"parents": [1, {"id": 2}]}},
            "outputs": [3, {"output_type": null}]}], "metadata": {"canvas": {"parameters": [4]}}})"}) {
    SCOPED_TRACE(text);
    EXPECT_NO_THROW(conv(json::parse(text)));
  }
  for (const char* text : {"[]", R"({"cells": 3})", R"({"metadata": {"canvas": 1}})"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(conv(json::parse(text)), TypeError);
  }
}

// ---- HTML ---------------------------------------------------------------------------------

TEST(GraphLayout, SizeCountsNodesAndTheLayersEdgesCross) {
  using detail::EdgeKind;
  using detail::GraphEdge;
  struct Case {
    const char* name;
    std::size_t nodes;
    std::vector<GraphEdge> edges;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {"no edges", 3, {}, 3},
      {"chain", 3, {{0, 1, EdgeKind::kKept}, {1, 2, EdgeKind::kKept}}, 5},
      {"a shortcut crosses two layers",
       3,
       {{0, 1, EdgeKind::kKept}, {1, 2, EdgeKind::kKept}, {0, 2, EdgeKind::kGained}},
       7},
      {"a cycle is broken at the edge that closes it",
       3,
       {{0, 1, EdgeKind::kKept}, {1, 2, EdgeKind::kKept}, {2, 0, EdgeKind::kLost}},
       7},
      {"a self loop", 1, {{0, 0, EdgeKind::kKept}}, 1},
      {"a parent without parents sits next to its child",
       4,
       {{0, 1, EdgeKind::kKept}, {1, 2, EdgeKind::kKept}, {3, 2, EdgeKind::kGained}},
       7},
      {"edges listed child first", 3, {{1, 2, EdgeKind::kKept}, {0, 1, EdgeKind::kKept}}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detail::layout_size(c.nodes, c.edges), c.size);
  }
}

TEST(GraphFold, KeepsTheMarkedNodesWithTheirNeighboursAndFoldsTheRest) {
  using detail::EdgeKind;
  using detail::GraphEdge;
  constexpr EdgeKind k = EdgeKind::kKept;
  struct Case {
    const char* name;
    std::size_t nodes;
    std::vector<GraphEdge> edges;
    std::vector<bool> marked;
    std::vector<std::size_t> kept;
    std::vector<std::vector<std::size_t>> folds;
    std::vector<std::vector<std::size_t>> edges_after;  // from, to (kinds kept)
  };
  const std::vector<Case> cases = {
      {"a chain folds on both sides of a change",
       7,
       {{0, 1, k}, {1, 2, k}, {2, 3, k}, {3, 4, k}, {4, 5, k}, {5, 6, k}},
       {false, false, false, true, false, false, false},
       {2, 3, 4},
       {{0, 1}, {5, 6}},
       {{3, 0}, {0, 1}, {1, 2}, {2, 4}}},
      {"chains hanging from the same kept node fold into one",
       6,
       {{0, 1, k}, {1, 2, k}, {2, 3, k}, {1, 4, k}, {4, 5, k}},
       {true, false, false, false, false, false},
       {0, 1},
       {{2, 3, 4, 5}},
       {{0, 1}, {1, 2}}},
      {"nodes joined to nothing fold into one",
       4,
       {{0, 1, k}},
       {true, false, false, false},
       {0, 1},
       {{2, 3}},
       {{0, 1}}},
      {"nothing marked: each connected part folds",
       3,
       {{0, 1, k}},
       {false, false, false},
       {},
       {{0, 1, 2}},
       {}},
      {"everything kept",
       2,
       {{0, 1, EdgeKind::kGained}, {0, 1, EdgeKind::kGained}},
       {true, false},
       {0, 1},
       {},
       {{0, 1}, {0, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const detail::FoldedGraph f = detail::fold_graph(c.nodes, c.edges, c.marked);
    EXPECT_EQ(f.kept, c.kept);
    EXPECT_EQ(f.folds, c.folds);
    std::vector<std::vector<std::size_t>> edges;
    for (const GraphEdge& e : f.edges) edges.push_back({e.from, e.to});
    EXPECT_EQ(edges, c.edges_after);
  }
}

TEST(HtmlView, AGraphTooEntangledToLayOutQuicklyIsListedNotDrawn) {
  std::vector<Value> cells;
  std::mt19937 rng(3);
  auto id = [](int i) { return detail::cat("c", std::to_string(i)); };
  for (int i = 0; i < 600; ++i) {
    Parents parents;
    for (int k = 0; i && k < 8; ++k) {
      const int p = static_cast<int>(rng() % static_cast<unsigned>(i));
      parents.emplace_back(id(p), id(p));
    }
    cells.push_back(code(id(i), id(i), {"x"}, parents));
  }
  Value prev = notebook(std::move(cells));
  Value current = prev;
  HtmlViewOptions full;
  full.full_graph = true;
  const std::string page = html_view(prev, current, full);
  EXPECT_EQ(page.find("<svg"), std::string::npos);
  EXPECT_NE(page.find("<p class=\"undrawn\">The pipeline has 600 components"), std::string::npos);
  // Folded, the same pipeline, which did not change, is one node. Drawn in the same process
  // as the graphs before it: Graphviz's layouts share one context, which ASan watches here.
  const std::string folded = html_view(prev, current, HtmlViewOptions());
  EXPECT_NE(folded.find("<svg"), std::string::npos);
  EXPECT_NE(folded.find(">600 unchanged components<"), std::string::npos);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

TEST(HtmlView, NodesEdgesAndEscapedNames) {
  Value prev = notebook({code("a", "load", {"x"}), code("b", "fit", {"y"}, {{"a", "load"}})},
                        {{"alpha", "str", "1"}});
  Value current = notebook(
      {code("a", "<script>alert(1)</script>", {"x"}), code("b", "fit", {"y2"}, {{"ghost", ""}}),
       code("c", "new", {"z"}, {{"b", "fit"}, {"c", "new"}})},
      {{"alpha", "str", "2"}});
  HtmlViewOptions options;
  options.prev_label = "old.ipynb";
  options.current_label = "new & improved.ipynb";
  std::string page = html_view(prev, current, options);
  // Graphviz writes "-" in attributes as a character reference.
  for (std::size_t at; (at = page.find("&#45;")) != std::string::npos;) page.replace(at, 5, "-");
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("new &amp; improved.ipynb"), std::string::npos);
  EXPECT_EQ(count(page, "class=\"node status-"), 3u);
  EXPECT_EQ(count(page, "class=\"node missing"), 1u);      // the unknown parent "ghost"
  EXPECT_EQ(count(page, "class=\"edge edge-gained"), 3u);  // ghost -> b, b -> c, c -> c
  EXPECT_EQ(count(page, "class=\"edge edge-lost"), 1u);    // a -> b
  EXPECT_EQ(count(page, "<tr class=\"param modified\""), 1u);
  EXPECT_EQ(count(page, "http://"), count(page, "http://www.w3.org/"));  // nothing to fetch
  EXPECT_EQ(page.find("src="), std::string::npos);
}

}  // namespace
}  // namespace qor::diff
