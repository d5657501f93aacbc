// Tests of the conflict scan and of its one-line summary.
#include "qor/conflicts.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "support/expect.h"

namespace qor::notebook {
namespace {

using json::parse;
using json::Value;

// The notebook `text` read as the tools read files: sources and outputs stay text until looked
// into.
Value parse_as_file(const std::string& text) {
  static constexpr std::string_view kBuilt[] = {"metadata"};
  auto owner = std::make_shared<const std::string>(text);
  return json::parse_lazy(*owner, "", owner, json::LazyOptions{3, kBuilt});
}

// A notebook of one cell named `name` (none when empty) whose source is the JSON text `source`.
Value one_cell(const std::string& source, const std::string& name = "train", bool as_file = false) {
  std::string canvas = R"({"id": "k1")";
  if (!name.empty()) canvas += R"(, "name": ")" + name + "\"";
  const std::string text = R"({"cells": [{"metadata": {"canvas": )" + canvas + R"(}}, "source": )" +
                           source + R"(}], "metadata": {"canvas": {"parameters": []}}})";
  return as_file ? parse_as_file(text) : parse(text);
}

std::vector<std::pair<std::size_t, std::size_t>> block_lines(const Conflicts& c) {
  std::vector<std::pair<std::size_t, std::size_t>> lines;
  for (const ConflictBlock& b : c.blocks) lines.emplace_back(b.first_line, b.last_line);
  return lines;
}

TEST(ConflictScan, FindsCompleteMarkerSequences) {
  using Lines = std::vector<std::pair<std::size_t, std::size_t>>;
  const struct {
    const char* name;
    const char* source;
    Lines expected;
  } cases[] = {
      {"none", R"(["a\n", "b"])", {}},
      {"git's block",
       R"(["a\n", "<<<<<<< nb-current\n", "X\n", "=======\n", "Y\n",
                          ">>>>>>> nb-incoming\n", "c"])",
       {{2, 6}}},
      {"diff3 block",
       R"(["<<<<<<< a\n", "X\n", "||||||| b\n", "=======\n", ">>>>>>> c"])",
       {{1, 5}}},
      {"source as one string", R"("a\n<<<<<<< x\nX\n=======\nY\n>>>>>>> y\n")", {{2, 6}}},
      {"a whole block in one list item",
       R"(["a\n", "<<<<<<< x\nX\n=======\nY\n>>>>>>> y\n", "b\n"])",
       {{2, 6}}},
      {"lines that end in a lone CR",
       R"(["<<<<<<< x\r", "=======\r", ">>>>>>> y\r", "z"])",
       {{1, 3}}},
      {"one string of lone CRs", R"("x\r<<<<<<< a\rX\r=======\rY\r>>>>>>> b")", {{2, 6}}},
      {"windows line ends", R"(["<<<<<<<\r\n", "=======\r\n", ">>>>>>>\r\n"])", {{1, 3}}},
      {"lines split across items", R"(["<<<<<<", "< x\n", "=======\n", ">>>>>>> y"])", {{1, 3}}},
      {"two blocks",
       R"(["<<<<<<< x\n", "=======\n", ">>>>>>> y\n", "z\n", "<<<<<<< x\n", "=======\n",
                         ">>>>>>> y\n"])",
       {{1, 3}, {5, 7}}},
      {"markers without labels", R"(["<<<<<<<\n", "=======\n", ">>>>>>>"])", {{1, 3}}},
      {"no separator is no block", R"(["<<<<<<< x\n", "X\n", ">>>>>>> y\n"])", {}},
      {"no closing line is no block", R"(["a\n", "<<<<<<< x\n", "=======\n", "Y"])", {}},
      {"opening twice: the second opens the block",
       R"(["<<<<<<< x\n", "<<<<<<< x\n", "=======\n", ">>>>>>> y"])",
       {{2, 4}}},
      {"lone closing line", R"(["a\n", "=======\n", ">>>>>>> y\n"])", {}},
      {"eight brackets are text", R"(["<<<<<<<< x\n", "=======\n", ">>>>>>>>\n"])", {}},
      {"text after the brackets", R"(["<<<<<<<x\n", "=======\n", ">>>>>>>y"])", {}},
      {"indented markers are text", R"([" <<<<<<< x\n", "=======\n", " >>>>>>> y"])", {}},
      {"shift operators are text", R"(["x <<<<<<< y\n"])", {}},
      {"source of another kind", R"(7)", {}},
      {"line of another kind", R"([3, "<<<<<<< x\n", null, "=======\n", ">>>>>>> y"])", {{2, 5}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Conflicts found = find_conflicts(one_cell(c.source));
    EXPECT_EQ(block_lines(found), c.expected);
    // The same when the source is still held as the file's text.
    EXPECT_EQ(block_lines(find_conflicts(one_cell(c.source, "train", true))), c.expected);
    for (const ConflictBlock& b : found.blocks) {
      EXPECT_EQ(b.cell, 0u);
      EXPECT_EQ(b.name, "train");
      EXPECT_EQ(b.component_id, "k1");
    }
  }
}

TEST(ConflictScan, ProseCellsCountOnlyAMergesOwnBlocks) {
  // A lesson on git's markers is no conflict; a block a notebook merge wrote is one, in any
  // kind of cell.
  const std::string lesson =
      R"(["```\n", "<<<<<<< HEAD\n", "mine\n", "=======\n", "theirs\n", ">>>>>>> main\n", "```\n"])";
  const std::string merged =
      R"(["<<<<<<< nb.ipynb-current\n", "a\n", "=======\n", "b\n", ">>>>>>> nb.ipynb-incoming\n"])";
  const std::string mismatched =
      R"(["<<<<<<< a.ipynb-current\n", "=======\n", ">>>>>>> b.ipynb-incoming\n"])";
  const struct {
    const char* type;
    const std::string& source;
    std::size_t blocks;
  } cases[] = {
      {"markdown", lesson, 0}, {"raw", lesson, 0}, {"code", lesson, 1}, {"other", lesson, 1},
      {"markdown", merged, 1}, {"raw", merged, 1}, {"code", merged, 1}, {"markdown", mismatched, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.source);
    const Value doc = parse(R"({"cells": [{"cell_type": ")" + std::string(c.type) +
                            R"(", "metadata": {}, "source": )" + c.source + "}]}");
    EXPECT_EQ(find_conflicts(doc).blocks.size(), c.blocks);
    std::vector<std::string_view> lines;
    for (const Value& line : doc.find("cells")->as_array()[0].find("source")->as_array()) {
      lines.push_back(line.as_string());
    }
    EXPECT_EQ(has_conflict_block(lines, c.type), c.blocks != 0);
  }
}

TEST(ConflictScan, FindsParentsThatNameNoComponent) {
  const Value doc = parse(R"({"cells": [
      {"metadata": {"canvas": {"id": "a", "name": "load", "parents": []}}},
      {"metadata": {"canvas": {"id": "b", "name": "plot",
                               "parents": [{"id": "a"}, {"id": "gone", "name": "old"}]}}},
      {"metadata": {"canvas": {"id": "c", "parents": [{"id": "b"}, {"name": "x"}, 7, {"id": 3},
                                                      {"id": "gone"}]}}},
      {"metadata": {"canvas": {"id": "d", "parents": "not a list"}}}]})");
  const Conflicts found = find_conflicts(doc);
  ASSERT_EQ(found.dangling_parents.size(), 2u);
  EXPECT_EQ(found.dangling_parents[0].cell, 1u);
  EXPECT_EQ(found.dangling_parents[0].name, "plot");
  EXPECT_EQ(found.dangling_parents[0].component_id, "b");
  EXPECT_EQ(found.dangling_parents[0].parent_id, "gone");
  EXPECT_EQ(found.dangling_parents[1].cell, 2u);
  EXPECT_FALSE(found.empty());
  EXPECT_EQ(found.count(), 2u);
  EXPECT_EQ(conflict_summary(found), "2 dangling parents (plot, cell 2)");
}

TEST(ConflictScan, FindsMarkedCellsAndParameters) {
  const Value doc = parse(R"({"cells": [
      {"metadata": {"canvas": {"id": "a", "name": "<<< plot"}}, "source": []},
      {"metadata": {"canvas": {"id": "b", "name": ">>> plot"}}, "source": []},
      {"metadata": {"canvas": {"id": "c", "name": "plot <<< "}}, "source": []},
      {"metadata": {"canvas": {"id": "d", "name": "<<<plot"}}, "source": []},
      {"metadata": {"canvas": {"id": "e", "name": "<<< >>> fit"}}},
      {"metadata": {"canvas": {"name": 5}}}, 7, {"metadata": []}, {}],
    "metadata": {"canvas": {"parameters": [
      {"name": "lr", "value": 1}, {"name": "<<< lr", "value": 2}, {"name": ">>> lr", "value": 3},
      {"name": ">>> depth"}, {"value": 4}, {"name": null}, "odd"]}}})");
  const Conflicts found = find_conflicts(doc);
  EXPECT_TRUE(found.blocks.empty());
  ASSERT_EQ(found.components.size(), 3u);
  EXPECT_EQ(found.components[0].index, 0u);
  EXPECT_EQ(found.components[0].name, "<<< plot");
  EXPECT_EQ(found.components[0].component_id, "a");
  EXPECT_EQ(found.components[1].name, ">>> plot");
  EXPECT_EQ(found.components[2].index, 4u);
  EXPECT_EQ(found.components[2].name, "<<< >>> fit");
  ASSERT_EQ(found.parameters.size(), 3u);
  EXPECT_EQ(found.parameters[0].index, 1u);
  EXPECT_EQ(found.parameters[2].name, ">>> depth");
  EXPECT_EQ(found.count(), 4u);  // plot, fit, lr, depth
  EXPECT_EQ(conflict_summary(found),
            "2 components in conflict (plot, fit), 2 parameters in conflict (lr, depth)");
}

TEST(ConflictScan, NotebooksWithoutCanvasMetadataHaveNothingButBlocks) {
  const Value doc = parse(R"({"cells": [{"cell_type": "code",
                                          "source": "<<<<<<< a\n=======\n>>>>>>> b\n"}],
                              "metadata": {}, "nbformat": 4})");
  const Conflicts found = find_conflicts(doc);
  ASSERT_EQ(found.blocks.size(), 1u);
  EXPECT_EQ(found.blocks[0].name, "");
  EXPECT_EQ(found.blocks[0].component_id, "");
  EXPECT_EQ(conflict_summary(found), "1 conflict block (cell 0)");
  EXPECT_TRUE(find_conflicts(parse(R"({"cells": []})")).empty());
}

TEST(ConflictScan, RejectsWhatIsNoNotebook) {
  EXPECT_THROW_MSG(find_conflicts(parse("[]")), TypeError, "a notebook must be a dict, not list");
  EXPECT_THROW_MSG(find_conflicts(parse("{}")), KeyError, "not a notebook: missing key 'cells'");
  EXPECT_THROW_MSG(find_conflicts(parse(R"({"cells": {}})")), TypeError,
                   "'cells' must be a list, not dict");
}

TEST(ConflictSummary, NamesEachKindWithItsCount) {
  const Value doc = parse(R"({"cells": [
      {"metadata": {"canvas": {"id": "a", "name": "train"}},
       "source": ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n"]},
      {"metadata": {"canvas": {"id": "b", "name": "<<< plot"}}, "source": []},
      {"metadata": {"canvas": {"id": "c", "name": ">>> plot"}}, "source": []}],
    "metadata": {"canvas": {"parameters": [{"name": "<<< learning_rate"},
                                           {"name": ">>> learning_rate"}]}}})");
  EXPECT_EQ(conflict_summary(find_conflicts(doc)),
            "1 conflict block (train), 1 component in conflict (plot), "
            "1 parameter in conflict (learning_rate)");
}

TEST(ConflictSummary, ConflictCopyCountsWithItsCurrentCell) {
  const Value doc = parse(R"({"cells": [
      {"metadata": {"canvas": {"id": "a", "name": "<<< plot"}}, "source": []},
      {"metadata": {"canvas": {"id": "b", "name": ">>> chart"}}, "source": []},
      {"metadata": {"canvas": {"id": "c", "name": "fit"}}, "source": []},
      {"metadata": {"canvas": {"id": "d", "name": ">>> fit"}}, "source": []},
      {"metadata": {"canvas": {"id": "e", "name": "<<< load"}}, "source": []},
      {"metadata": {"canvas": {"id": "f", "name": "<<< chart"}}, "source": []}]})");
  const Conflicts found = find_conflicts(doc);
  EXPECT_EQ(found.components.size(), 5u);
  // plot with its renamed copy; fit (its copy follows an unmarked cell); load; chart, a name
  // of its own.
  EXPECT_EQ(found.count(), 4u);
  EXPECT_EQ(conflict_summary(found), "4 components in conflict (plot, fit, load, chart)");
}

TEST(ConflictSummary, PluralsAndLongLists) {
  std::string cells;
  for (int i = 0; i < 8; ++i) {
    if (i != 0) cells += ", ";
    const std::string number = std::to_string(i);
    cells.append(R"({"metadata": {"canvas": {"id": "k)").append(number);
    cells.append(R"(", "name": ")").append(i < 2 ? "fit" : "c").append(i < 2 ? "" : number);
    cells.append(R"("}}, "source": ["<<<<<<< x\n", "=======\n", ">>>>>>> y\n", "<<<<<<< x\n",
                                   "=======\n", ">>>>>>> y\n"]})");
  }
  const Conflicts found = find_conflicts(parse(R"({"cells": [)" + cells + "]}"));
  EXPECT_EQ(found.blocks.size(), 16u);
  EXPECT_EQ(conflict_summary(found), "16 conflict blocks (fit, c2, c3, c4, c5 and 2 more)");
  EXPECT_EQ(conflict_summary(Conflicts{}), "");
}

TEST(ConflictNames, UnmarkedNameAndLabel) {
  const std::pair<const char*, const char*> cases[] = {
      {"plot", "plot"},       {"<<< plot", "plot"}, {">>> <<< plot", "plot"},
      {"<<<plot", "<<<plot"}, {"<<< ", ""},         {"", ""},
      {"a <<< b", "a <<< b"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(unmarked_name(name), expected) << name;
  EXPECT_EQ(cell_label(3, ""), "cell 3");
  EXPECT_EQ(cell_label(3, "fit"), "fit");
}

}  // namespace
}  // namespace qor::notebook
