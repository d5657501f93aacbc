// Tests of the cell views and of notebook file reading and atomic writing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include <string>

#include "platform/temp_dir.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/notebook.h"
#include "support/expect.h"
#include "support/file_size_limit.h"

namespace qor::notebook {
namespace {

using json::parse;
using json::Value;
using Tree = ValueTree;

TEST(CellView, ReadsDefaultsWithoutCreatingAnything) {
  for (const char* text : {R"({})", R"({"metadata": {}})", R"({"metadata": {"canvas": {}}})"}) {
    SCOPED_TRACE(text);
    Value data = parse(text);
    const Value before = data;
    Cell cell(&data);
    EXPECT_EQ(cell.name(), "");
    EXPECT_EQ(cell.parents(), nullptr);
    EXPECT_EQ(cell.comments(), nullptr);
    EXPECT_FALSE(cell.has_comment(&data));
    EXPECT_TRUE(data == before);
  }
}

TEST(CellView, WritesCreateTheCanvasAndKeepKeyPlaces) {
  Value data = parse(R"({"cell_type": "code", "source": []})");
  Cell cell(&data);
  cell.set_name("load");
  cell.add_comment(Value("first"));
  cell.set_component_id("k-1");
  cell.set_cell_id("c-1");
  cell.set_name("load2");
  EXPECT_EQ(json::write(data),
            R"({"cell_type": "code", "source": [], "metadata": {"canvas": {"name": "load2", )"
            R"("comments": ["first"], "id": "k-1"}}, "id": "c-1"})");
  Value probe("first");
  EXPECT_TRUE(cell.has_comment(&probe));
  EXPECT_EQ(cell.component_id(), "k-1");
}

TEST(CellView, RejectsValuesOfTheWrongKind) {
  Value data = parse(R"({"metadata": {"canvas": {"name": 5, "parents": {}, "id": 7}}})");
  Cell cell(&data);
  EXPECT_THROW_MSG(cell.name(), TypeError, "cell 'name' must be a str, not int");
  EXPECT_THROW_MSG(cell.parents(), TypeError, "cell 'parents' must be a list, not dict");
  EXPECT_THROW_MSG(cell.component_id(), TypeError, "cell 'id' must be a str, not int");
  Value no_canvas = parse(R"({"metadata": []})");
  EXPECT_THROW_MSG(Cell(&no_canvas).name(), TypeError, "cell 'metadata' must be a dict, not list");
  Value list = parse("[]");
  EXPECT_THROW_MSG(Cell{&list}, TypeError, "cell must be a dict, not list");
}

TEST(CellView, MissingIdsAreKeyErrors) {
  Value data = parse(R"({"metadata": {}})");
  EXPECT_THROW_MSG(Cell(&data).component_id(), KeyError, "'canvas'");
  Value bare = parse(R"({})");
  EXPECT_THROW_MSG(Cell(&bare).component_id(), KeyError, "'metadata'");
  EXPECT_THROW_MSG(Cell(&bare).source(), KeyError, "'source'");
}

TEST(CellView, ErrorsOfAPlacedViewNameTheNotebookTheCellAndTheKeyPath) {
  const CellPlace place{"nb.ipynb (base version)", 3};
  struct Case {
    const char* cell;
    std::function<void(const Cell&)> read;
    std::string message;
  } cases[] = {
      {R"({"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": 5}}})",
       [](const Cell& c) { c.name(); },
       "cell 3 (code, id 'a'): metadata.canvas.name must be a str, not int"},
      {R"({"metadata": {"canvas": {"name": "load", "parents": {}}}})",
       [](const Cell& c) { c.parents(); },
       "cell 3 'load': metadata.canvas.parents must be a list, not dict"},
      {R"({"cell_type": "raw", "metadata": []})", [](const Cell& c) { c.comments(); },
       "cell 3 (raw): metadata must be a dict, not list"},
      {R"({"cell_type": "markdown"})", [](const Cell& c) { c.component_id("hint"); },
       "cell 3 (markdown): missing metadata.canvas.id: hint"},
      {R"({"metadata": {"canvas": {"name": ""}}})", [](const Cell& c) { c.source(); },
       "cell 3: missing source"},
      {R"({"source": ["a", 1]})", [](const Cell& c) { c.source_lines(); },
       "cell 3: source[1] must be a str, not int"},
      {R"({"metadata": {"canvas": {"name": "x", "parents": [1]}}})",
       [](const Cell& c) { c.parent_id(Tree::item(c.parents(), 0), 0); },
       "cell 3 'x': metadata.canvas.parents[0] must be a dict, not int"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    Value data = parse(c.cell);
    try {
      c.read(Cell(&data, place));
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), "nb.ipynb (base version): " + c.message);
    }
  }
}

TEST(NotebookView, FindsCellsAndParametersWithErrorsNamingTheNotebook) {
  Value doc = parse(R"({"cells": [{"cell_type": "code"}, 3], "metadata": {"canvas": {}}})");
  const Notebook nb(&doc, "nb");
  EXPECT_EQ(nb.cell(nb.cells(), 0).place()->index, 0u);
  EXPECT_THROW_MSG(nb.cell(nb.cells(), 1), TypeError, "nb: cells[1] must be a dict, not int");
  EXPECT_THROW_MSG(nb.parameters(), KeyError, "nb: missing metadata.canvas.parameters");
  EXPECT_EQ(nb.find_parameters(), nullptr);
  Value bare = parse("{}");
  EXPECT_EQ(Notebook(&bare, "nb").find_cells(), nullptr);
  EXPECT_THROW_MSG(Notebook(&bare, "nb").cells(), KeyError, "nb: missing cells");
}

TEST(CellView, SourceAsLines) {
  struct Case {
    const char* cell;
    std::vector<std::string> lines;
  } cases[] = {
      {R"({"source": ["a\n", "b"]})", {"a\n", "b"}},
      {R"({"source": "a\nb\n"})", {"a\n", "b\n"}},
      {R"({"source": "a\n\nb"})", {"a\n", "\n", "b"}},
      {R"({"source": ""})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    Value data = parse(c.cell);
    EXPECT_EQ(Cell(&data).source_lines(), c.lines);
  }
  Value bad = parse(R"({"source": ["a", 1]})");
  EXPECT_THROW_MSG(Cell(&bad).source_lines(), TypeError, "cell source lines must be str, not int");
}

TEST(NotebookFile, ReadErrorsNameTheFile) {
  platform::TempDir dir;
  const std::string missing = dir.file("missing.ipynb");
  EXPECT_THROW_MSG(read_notebook(missing), IoError,
                   "[Errno 2] No such file or directory: '" + missing + "'");
  const std::string bad = dir.write("bad.ipynb", "{\"cells\": [}");
  EXPECT_THROW_MSG(read_notebook(bad), DecodeError,
                   bad + ": Expecting value: line 1 column 12 (char 11)");
  EXPECT_THROW_MSG(read_notebook(dir.path()), IoError,
                   "[Errno 21] Is a directory: '" + dir.path() + "'");
}

TEST(NotebookFile, ErrorsFarIntoALargeFileKeepTheirPositions) {
  // A large file is read through a buffer whose parsed part is given back on the way; the
  // error position must still count every character and line from the start.
  platform::TempDir dir;
  std::string text = "[\n";
  while (text.size() < (std::size_t{12} << 20))
    text += "\"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80\",\n  1.5, {\"k\": [null]},\n";
  text += "  tru]";
  const std::string path = dir.write("big.ipynb", text);
  std::string expected;
  try {
    parse(text, path);
  } catch (const DecodeError& e) {
    expected = e.what();
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_THROW_MSG(read_notebook(path), DecodeError, expected);
  EXPECT_TRUE(read_notebook(dir.write("ok.ipynb", text.substr(0, text.size() - 6) + "0]")) ==
              parse(text.substr(0, text.size() - 6) + "0]"));
}

TEST(NotebookFile, WritesTheExactFormAndKeepsPermissions) {
  platform::TempDir dir;
  const std::string path = dir.write("nb.ipynb", "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  write_notebook(path, parse("{\"cells\": [], \"x\": \"\xC3\xA9\xF0\x9F\x98\x80\"}"));
  EXPECT_EQ(dir.read("nb.ipynb"), R"({"cells": [], "x": "\u00e9\ud83d\ude00"})");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.listing(), "nb.ipynb");
}

TEST(NotebookFile, ReplacesTheTargetOfASymbolicLink) {
  platform::TempDir dir;
  dir.write("real.ipynb", "old");
  ASSERT_EQ(::symlink("real.ipynb", dir.file("link.ipynb").c_str()), 0);
  write_notebook(dir.file("link.ipynb"), parse("[1]"));
  EXPECT_EQ(dir.read("real.ipynb"), "[1]");
  struct stat st;
  ASSERT_EQ(::lstat(dir.file("link.ipynb").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(NotebookFile, UnwritableFileLeavesTheFileUnwritableDirectoryIsWrittenInPlace) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  platform::TempDir dir;
  const std::string path = dir.write("nb.ipynb", "old");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  EXPECT_THROW(write_notebook(path, parse("[1]")), IoError);
  EXPECT_EQ(dir.read("nb.ipynb"), "old");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  write_notebook(path, parse("[1]"));  // the directory refuses a new file: in place
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  EXPECT_EQ(dir.read("nb.ipynb"), "[1]");
  EXPECT_EQ(dir.listing(), "nb.ipynb");
}

TEST(NotebookFile, WriteFailingMidwayLeavesTheFileAndNoTemporary) {
  // A file-size limit makes the temporary file's write fail, whoever runs the test.
  platform::TempDir dir;
  const std::string path = dir.write("nb.ipynb", "old");
  Value big = Value::array();
  for (int i = 0; i < 1000; ++i) big.as_array().emplace_back("some text to make the file large");
  {
    const testing::FileSizeLimit limit(1024);
    EXPECT_THROW_MSG(write_notebook(path, big), IoError,
                     "[Errno 27] File too large: '" + path + "'");
  }
  EXPECT_EQ(dir.read("nb.ipynb"), "old");
  EXPECT_EQ(dir.listing(), "nb.ipynb");
}

TEST(NotebookFile, DocumentThatCannotBeWrittenLeavesTheFile) {
  platform::TempDir dir;
  const std::string path = dir.write("nb.ipynb", "old");
  Value deep = Value::array();
  Value* p = &deep;
  for (std::size_t i = 0; i < json::kMaxDepth + 5; ++i) {
    p->as_array().push_back(Value::array());
    p = &p->as_array().back();
  }
  EXPECT_THROW_MSG(write_notebook(path, deep), ValueError, "Nesting deeper than 1000 levels");
  EXPECT_EQ(dir.read("nb.ipynb"), "old");
  EXPECT_EQ(dir.listing(), "nb.ipynb");
}

}  // namespace
}  // namespace qor::notebook
