// Tests of the notebook diff over json::Value documents (the Python tests cover the records and
// compare the diff with a plain statement of it on many random documents).
#include <gtest/gtest.h>

#include <string>

#include "qor/diff.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "support/expect.h"

namespace qor::diff {
namespace {

using json::parse;
using Tree = notebook::ValueTree;

std::string diff_text(const std::string& prev, const std::string& current) {
  json::Value a = parse(prev), b = parse(current);
  return json::write(diff_documents<Tree>(&a, &b));
}

TEST(DiffDocuments, ParametersKeepTheirNamesWhenAnnotated) {
  // Writing a status into a parameter adds a member; the parameter's name must have been read
  // before, or the two parameters below would collapse into one.
  EXPECT_EQ(
      diff_text(
          R"({"metadata": {"canvas": {"parameters": [{"name": "p1", "type": "s", "value": null}]}}})",
          R"({"metadata": {"canvas": {"parameters": [{"name": "p1", "type": "i", "value": "1"}, )"
          R"({"name": "p0", "type": "s", "value": "2"}]}}})"),
      R"({"cells": [], "metadata": {"canvas": {"parameter": [{"name": "p1", "type": "i", "value": "1", )"
      R"("diff_status": "modified", "prev_type": "s", "prev_value": null}, {"name": "p0", "type": "s", )"
      R"("value": "2", "diff_status": "added"}]}}})");
}

TEST(DiffDocuments, CellsInTheirGroupsAndOrders) {
  const std::string prev =
      R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "gone"}}, "source": ["a"]},)"
      R"( {"cell_type": "code", "metadata": {"canvas": {"id": "kept", "parents": [{"id": "p", "name": "P"}]}}, "source": ["a"]}]})";
  const std::string current =
      R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "kept", "parents": [{"id": "p", "name": "P2"}]}}, "source": "b"},)"
      R"( {"cell_type": "markdown", "metadata": {}, "source": "m"},)"
      R"( {"cell_type": "code", "metadata": {"canvas": {"id": "new"}}, "source": []}]})";
  EXPECT_EQ(
      diff_text(prev, current),
      R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "gone", "diff_status": "removed", )"
      R"("prev_source": ["a"], "removed_parents": [], "parents": []}}, "source": []}, )"
      R"({"cell_type": "code", "metadata": {"canvas": {"id": "new", "diff_status": "added", "prev_source": [], )"
      R"("added_parents": [], "parents": []}}, "source": []}, )"
      R"({"cell_type": "code", "metadata": {"canvas": {"id": "kept", "parents": [{"id": "p", "name": "P2"}], )"
      R"("diff_status": "modified", "prev_source": ["a"], "added_parents": [], "removed_parents": []}}, )"
      R"("source": "b"}], "metadata": {"canvas": {"parameter": []}}})");
}

TEST(DiffRecords, StatusWritesTakeOnlyTheFourStatuses) {
  json::Value data = parse(R"({"metadata": {"canvas": {}}})");
  auto cell = BasicDiffCell<Tree>::start(&data);
  EXPECT_THROW(cell.set_status(json::Value("gone")), AssertionError);
  EXPECT_THROW_MSG(cell.set_status(json::Value(1)), TypeError,
                   "Argument 'value' has incorrect type (expected str, got int)");
  EXPECT_EQ(json::write(data), R"({"metadata": {"canvas": {"diff_status": "unchanged"}}})");
}

}  // namespace
}  // namespace qor::diff
