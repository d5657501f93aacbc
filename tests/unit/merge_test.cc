// Tests of the three-way merge: the scenarios of tests/data/merge, the source-text merge with
// the real git, the git runner's view of git's exit statuses, and what a failed merge leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "merge/merge_documents.h"
#include "merge/source_queue.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "platform/uuid.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge.h"
#include "qor/notebook.h"
#include "support/expect.h"

namespace qor::merge {
namespace {

namespace fs = std::filesystem;

std::string data_dir() {
  const char* dir = std::getenv("QOR_TEST_DATA");
  return dir != nullptr ? dir : "tests/data";
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Conflict-copy ids drawn in order, as the scenarios expect them.
std::function<std::string()> counting_ids() {
  auto n = std::make_shared<int>(0);
  return [n] {
    char buf[40];
    std::snprintf(buf, sizeof buf, "00000000-0000-4000-8000-%012d", ++*n);
    return std::string(buf);
  };
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class MergeScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(MergeScenario, GivesTheExpectedNotebook) {
  const std::string dir = data_dir() + "/merge/" + GetParam();
  platform::TempDir work;
  platform::TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path());
  const std::string current = work.write("current.ipynb", slurp(dir + "/current.ipynb"));
  merge_files(dir + "/base.ipynb", current, dir + "/incoming.ipynb", "nb.ipynb",
              MergeOptions{counting_ids(), nullptr, {}});
  EXPECT_EQ(work.read("current.ipynb"), json::write(json::parse(slurp(dir + "/expected.ipynb"))));
  // Nothing is left behind: neither the source merges' files nor the file written beside.
  EXPECT_EQ(tmp.listing(), "");
  EXPECT_EQ(work.listing(), "current.ipynb");
}

std::vector<std::string> scenario_names() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(data_dir() + "/merge")) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MergeScenario, ::testing::ValuesIn(scenario_names()),
                         [](const auto& info) { return info.param; });

TEST(MergeFiles, FailureLeavesTheCurrentFileAsItWas) {
  const std::string dir = data_dir() + "/merge/both_changed_conflict_block";
  struct Case {
    const char* name;
    std::string base;
    std::string incoming;
    std::string message;
  } cases[] = {
      {"missing base file", "/nonexistent/base.ipynb", dir + "/incoming.ipynb",
       "nb.ipynb (base version): [Errno 2] No such file or directory: "
       "'/nonexistent/base.ipynb'"},
      {"incoming not JSON", dir + "/base.ipynb", "BROKEN", ""},
      {"incoming without cells", dir + "/base.ipynb", "{\"metadata\": {}}", "MISSING_CELLS"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::TempDir work;
    const std::string original = slurp(dir + "/current.ipynb");
    const std::string current = work.write("current.ipynb", original);
    std::string incoming = c.incoming;
    if (c.incoming == "BROKEN") incoming = work.write("incoming.ipynb", "{\"cells\": [");
    if (c.incoming.front() == '{') incoming = work.write("incoming.ipynb", c.incoming);
    try {
      merge_files(c.base, current, incoming, "nb.ipynb", MergeOptions{{}, nullptr, "nb.ipynb"});
      ADD_FAILURE() << "merged";
    } catch (const Error& e) {
      if (c.message == "MISSING_CELLS") {
        EXPECT_EQ(std::string(e.what()), "nb.ipynb (incoming version): missing cells");
      } else if (!c.message.empty()) {
        EXPECT_EQ(std::string(e.what()), c.message);
      }
    }
    EXPECT_EQ(work.read("current.ipynb"), original);
  }
}

TEST(MergeFiles, OfSeveralUnusableFilesTheFirstInReadingOrderIsReported) {
  // The files are read side by side; the error is still that of the first of current, base and
  // incoming that cannot be read, as reading them in turn gives.
  platform::TempDir work;
  const std::string good = R"({"cells": [], "metadata": {"canvas": {"parameters": []}}})";
  struct Case {
    bool current_ok, base_ok, incoming_ok;
    const char* reported;
  } cases[] = {
      {false, false, false, "current"}, {true, false, false, "base"},
      {true, true, false, "incoming"},  {false, true, false, "current"},
      {true, false, true, "base"},      {false, false, false, "current"},
      {true, false, false, "base"},     {true, true, false, "incoming"},
      {true, false, true, "base"},
  };
  int round = 0;
  for (const Case& c : cases) {
    const std::string tag = std::to_string(++round);
    SCOPED_TRACE(tag);
    // Unusable in turn as JSON, as a missing file and as a notebook whose cell has no
    // component id (found after reading, when the cell tables are built, side by side too), so
    // that every kind of error takes part; the files of one round fail alike.
    const auto file = [&](const char* role, bool ok, int kind) {
      const std::string name = std::string(role) + tag + ".ipynb";
      if (ok) return work.write(name, good);
      if (kind % 3 == 0) return work.write(name, "{\"cells\": [");
      if (kind % 3 == 1) return work.file(name);
      return work.write(name, R"({"cells": [{"metadata": {}}], "metadata": {}})");
    };
    const std::string current = file("current", c.current_ok, round);
    const std::string base = file("base", c.base_ok, round);
    const std::string incoming = file("incoming", c.incoming_ok, round);
    try {
      merge_files(base, current, incoming, "nb.ipynb");
      ADD_FAILURE() << "merged";
    } catch (const Error& e) {
      const std::string expected = std::string(c.reported) + tag + ".ipynb";
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

TEST(MergeFiles, ErrorsNameTheNotebookTheVersionTheCellAndTheKeyPath) {
  platform::TempDir work;
  const std::string good = R"({"cells": [], "metadata": {"canvas": {"parameters": []}}})";
  const std::string base = work.write("base.ipynb", good);
  const std::string incoming = work.write("incoming.ipynb", good);
  const std::string no_parameters = R"(, "metadata": {"canvas": {"parameters": []}}})";
  struct Case {
    std::string current;
    std::string message;
  } cases[] = {
      {R"({"cells": [{"metadata": {"canvas": {}}}])" + no_parameters,
       "cell 0: missing metadata.canvas.id: every cell needs a component id"},
      {R"({"cells": [{"cell_type": "markdown"}], "metadata": {}})",
       "cell 0 (markdown): missing metadata.canvas.id: every cell needs a component id"},
      {R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": 7}}}])" + no_parameters,
       "cell 0 (code): metadata.canvas.id must be a str, not int"},
      {R"({"cells": [{"cell_type": "code", "metadata": {"canvas": []}}])" + no_parameters,
       "cell 0 (code): metadata.canvas must be a dict, not list"},
      {R"({"cells": [1])" + no_parameters, "cells[0] must be a dict, not int"},
      {R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": 5}}}])" +
           no_parameters,
       "cell 0 (code, id 'a'): metadata.canvas.name must be a str, not int"},
      {R"({"cells": [{"cell_type": "code", "metadata": {"canvas": {"id": "a", "name": "load", )"
       R"("parents": [{"name": "x"}]}}}])" +
           no_parameters,
       "cell 0 'load' (code): missing metadata.canvas.parents[0].id"},
      {R"({"cells": {}, "metadata": {}})", "cells must be a list, not dict"},
      {R"({"cells": [], "metadata": {"canvas": {}}})", "missing metadata.canvas.parameters"},
      {R"({"cells": [], "metadata": {"canvas": {"parameters": [{"type": "str"}]}}})",
       "missing metadata.canvas.parameters[0].name"},
      {R"([1, 2])", "the notebook must be a dict, not list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.current);
    const std::string current = work.write("current.ipynb", c.current);
    for (const std::string& notebook : {std::string(), std::string("analysis/churn.ipynb")}) {
      try {
        merge_files(base, current, incoming, "nb.ipynb", MergeOptions{{}, nullptr, notebook});
        ADD_FAILURE() << "merged";
      } catch (const Error& e) {
        const std::string name = notebook.empty() ? current : notebook;
        EXPECT_EQ(std::string(e.what()), name + " (current version): " + c.message);
      }
    }
    EXPECT_EQ(work.read("current.ipynb"), c.current);
  }
  // The base and incoming versions' cells are looked into only as far as the merge needs (their
  // ids are found in their texts): a cell that is not as it must be gives the same errors.
  const std::string current = work.write("current.ipynb", good);
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(cases[i].current);
    for (const char* version : {"base", "incoming"}) {
      const std::string bad = work.write(std::string(version) + ".ipynb", cases[i].current);
      const bool in_base = std::string(version) == "base";
      try {
        merge_files(in_base ? bad : base, current, in_base ? incoming : bad, "nb.ipynb",
                    MergeOptions{{}, nullptr, "nb.ipynb"});
        ADD_FAILURE() << "merged";
      } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  std::string("nb.ipynb (") + version + " version): " + cases[i].message);
      }
      work.write(std::string(version) + ".ipynb", good);
    }
  }
}

// Cells that a side left as they were read are known unchanged from their text, without being
// compared: what the merge writes, and the error a malformed parent list gives, must be those of
// the comparison (the documents read in memory, whose texts are unknown), whether the other side
// changed another cell or this one.
TEST(MergeFiles, CellsKnownUnchangedByTheirTextMergeAsCompared) {
  platform::TempDir work;
  const std::string tail = R"(], "metadata": {"canvas": {"parameters": []}}, "nbformat": 4, )"
                           R"("nbformat_minor": 5})";
  const auto cell = [](const std::string& id, const std::string& canvas, const char* source) {
    return R"({"cell_type": "code", "metadata": {"canvas": {"id": ")" + id + "\"" + canvas +
           R"(}}, "source": [")" + source + R"("]})";
  };
  const std::string other = cell("z", "", "z = 1");
  const std::string changed = cell("z", "", "z = 2");
  const std::string parents[] = {
      R"(, "parents": [{"id": "z", "name": "zed"}, {"id": "q", "name": "gone"}])",
      R"(, "name": "load", "parents": [{"id": "z", "name": "zed"}, 7])",
      R"(, "name": "load", "parents": 5)",
      R"(, "parents": null)",
      R"(, "parents": "z")",
  };
  for (const std::string& p : parents) {
    for (const bool current_changes_it : {false, true}) {
      SCOPED_TRACE(p + (current_changes_it ? ", the current side changes the cell" : ""));
      const std::string kept = cell("a", p, "x = 1");
      const std::string base = "{\"cells\": [" + kept + ", " + other + tail;
      const std::string edited = "{\"cells\": [" + cell("a", p, "x = 2") + ", " + other + tail;
      const std::string incoming =
          current_changes_it ? base : "{\"cells\": [" + kept + ", " + changed + tail;
      const std::string current = current_changes_it ? edited : base;
      std::string compared, read;
      try {
        json::Value b = json::parse(base), c = json::parse(current), i = json::parse(incoming);
        merge_documents({c, b, i}, "nb.ipynb");
        compared = json::write(c);
      } catch (const Error& e) {
        compared = std::string("error: ") + e.what();
      }
      const std::string current_path = work.write("current.ipynb", current);
      try {
        merge_files(work.write("base.ipynb", base), current_path,
                    work.write("incoming.ipynb", incoming), "nb.ipynb",
                    MergeOptions{{}, nullptr, "nb.ipynb"});
        read = json::write(json::parse(work.read("current.ipynb")));
      } catch (const Error& e) {
        read = std::string("error: ") + e.what();
      }
      // The names in errors differ: "current" against "nb.ipynb (current version)".
      for (const char* side : {"base", "current", "incoming"}) {
        const std::string from = std::string("nb.ipynb (") + side + " version)";
        for (std::size_t at = read.find(from); at != std::string::npos; at = read.find(from)) {
          read.replace(at, from.size(), side);
        }
      }
      EXPECT_EQ(read, compared);
    }
  }
}

// Canonical form of a random (version 4, RFC 4122 variant) UUID.
bool is_uuid4(const std::string& id) {
  if (id.size() != 36) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (id[i] == '-')) return false;
    if (!dash && !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    if (!dash && std::isupper(static_cast<unsigned char>(id[i]))) return false;
  }
  return id[14] == '4' && std::string("89ab").find(id[19]) != std::string::npos;
}

TEST(MergeFiles, ConflictCopiesGetFreshVersion4Ids) {
  const std::string dir = data_dir() + "/merge/both_changed_renamed_gives_copy";
  platform::TempDir work;
  const std::string current = work.write("current.ipynb", slurp(dir + "/current.ipynb"));
  merge_files(dir + "/base.ipynb", current, dir + "/incoming.ipynb", "nb.ipynb");
  const json::Value merged = json::parse(work.read("current.ipynb"));
  const json::Value& copy = merged.as_object().at("cells").as_array()[1];
  const std::string component_id(copy.find("metadata")->find("canvas")->find("id")->as_string());
  const std::string cell_id(copy.find("id")->as_string());
  EXPECT_TRUE(is_uuid4(component_id)) << component_id;
  EXPECT_TRUE(is_uuid4(cell_id)) << cell_id;
  EXPECT_NE(component_id, cell_id);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(is_uuid4(platform::uuid4()));
}

TEST(MergeDocuments, ConflictCopiesGetACellIdOnlyWhereTheNotebookUsesCellIds) {
  // Both sides change a named cell and the incoming side renames it: a conflict copy follows.
  struct Case {
    const char* format;  // the notebook's top-level format keys
    bool cell_has_id;
    bool copy_gets_id;
  } cases[] = {
      {R"("nbformat": 4, "nbformat_minor": 4)", false, false},
      {R"("nbformat": 4, "nbformat_minor": 4)", true, true},
      {R"("nbformat": 4, "nbformat_minor": 5)", false, true},
      {R"("nbformat": 5, "nbformat_minor": 0)", false, true},
      {R"("nbformat": "4", "nbformat_minor": "5")", false, false},
      {R"("other": 1)", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + (c.cell_has_id ? ", cell id" : ""));
    auto notebook = [&](const char* name, const char* source) {
      return json::parse(std::string(R"({"cells": [{"cell_type": "code", )") +
                         (c.cell_has_id ? R"("id": "cell-a", )" : "") +
                         R"("metadata": {"canvas": {"id": "a", "name": ")" + name +
                         R"("}}, "source": [")" + source + R"("]}], )" + c.format +
                         R"(, "metadata": {"canvas": {"parameters": []}}})");
    };
    json::Value base = notebook("load", "x"), current = notebook("load", "y"),
                incoming = notebook("read", "z");
    merge_documents({current, base, incoming}, "nb.ipynb",
                    MergeOptions{counting_ids(), nullptr, {}});
    const json::Array& cells = current.as_object().at("cells").as_array();
    ASSERT_EQ(cells.size(), 2u);
    const json::Value* id = cells[1].find("id");
    EXPECT_EQ(id != nullptr, c.copy_gets_id);
    if (id != nullptr) {
      EXPECT_EQ(*id, json::Value("00000000-0000-4000-8000-000000000002"));
    }
    EXPECT_EQ(cells[1].find("metadata")->find("canvas")->find("id")->as_string(),
              "00000000-0000-4000-8000-000000000001");
  }
}

// ---------------------------------------------------------------------------------------------
// Source-text merge

std::vector<std::string> merge(const std::vector<std::string>& current,
                               const std::vector<std::string>& base,
                               const std::vector<std::string>& incoming,
                               std::optional<std::string> current_name = "nb-current",
                               std::optional<std::string> incoming_name = "nb-incoming") {
  Git git;
  return merge_source(git, current, base, incoming, current_name, incoming_name);
}

using Lines = std::vector<std::string>;

// The same place for the three versions of a source.
detail::SourcePlaces places(const std::string& where) { return {where, where, where}; }

TEST(SourceMerge, MergesThroughGit) {
  struct Case {
    const char* name;
    Lines current, base, incoming, expected;
  } cases[] = {
      {"all empty", {}, {}, {}, {}},
      {"same change on both sides", {"a\n", "X\n"}, {"a\n", "b\n"}, {"a\n", "X\n"}, {"a\n", "X\n"}},
      {"incoming change only", {"a\n", "b\n"}, {"a\n", "b\n"}, {"a\n", "Y\n"}, {"a\n", "Y\n"}},
      {"apart",
       {"A\n", "b\n", "c\n", "d\n"},
       {"a\n", "b\n", "c\n", "d\n"},
       {"a\n", "b\n", "c\n", "D\n"},
       {"A\n", "b\n", "c\n", "D\n"}},
      {"conflict with labels",
       {"a\n", "X\n", "c"},
       {"a\n", "b\n", "c"},
       {"a\n", "Y\n", "c"},
       {"a\n", "<<<<<<< nb-current\n", "X\n", "=======\n", "Y\n", ">>>>>>> nb-incoming\n", "c"}},
      {"line ends come back as newlines",
       {"a\r\n", "b\r", "c"},
       {"a\r\n", "b\r", "c"},
       {"a\r\n", "b\r", "c"},
       {"a\n", "b\n", "c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(merge(c.current, c.base, c.incoming), c.expected);
  }
}

TEST(SourceMerge, LabelsAreReplacedOnlyWhenGiven) {
  const Lines result = merge({"X\n"}, {"b\n"}, {"Y\n"}, std::nullopt, "");
  ASSERT_EQ(result.size(), 5u);
  // The labels keep the temporary paths, gone once the call returned.
  const std::string opening = result[0], closing = result[4];
  EXPECT_EQ(opening.rfind("<<<<<<< /", 0), 0u) << opening;
  EXPECT_TRUE(opening.ends_with("/current\n")) << opening;
  EXPECT_NE(opening.find("/qor-merge-"), std::string::npos) << opening;
  EXPECT_EQ(closing.rfind(">>>>>>> /", 0), 0u) << closing;
  EXPECT_TRUE(closing.ends_with("/incoming\n")) << closing;
  EXPECT_FALSE(fs::exists(opening.substr(8, opening.size() - 9)));
}

TEST(SourceMerge, LoneSurrogatesCannotBeWritten) {
  EXPECT_THROW_MSG(merge({"\xED\xA0\x80\n"}, {}, {}), ValueError,
                   "'utf-8' codec can't encode character '\\ud800': surrogates not allowed");
}

// A runner that records its arguments and answers as told.
class FakeGit : public GitRunner {
 public:
  explicit FakeGit(int status) : status_(status) {}
  MergeFileStatus merge_file(const std::vector<std::string>& args) override {
    paths = args;
    for (const auto& p : args) existed.push_back(fs::exists(p));
    if (status_ == 2) throw CommandError("git broke");
    return {status_, ""};
  }
  std::vector<std::string> paths;
  std::vector<bool> existed;

 private:
  int status_;
};

TEST(SourceMerge, TemporaryDirectoryIsPrivateAndRemovedOnEveryPath) {
  platform::TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path());
  for (int status : {0, 1, 2}) {
    SCOPED_TRACE(status);
    FakeGit git(status);
    if (status == 2) {
      EXPECT_THROW_MSG(merge_source(git, {"a\n"}, {"b\n"}, {"c\n"}), CommandError, "git broke");
    } else {
      // The runner wrote nothing: the current side's text comes back.
      EXPECT_EQ(merge_source(git, {"a\n"}, {"b\n"}, {"c\n"}), Lines{"a\n"});
    }
    ASSERT_EQ(git.paths.size(), 3u);
    EXPECT_EQ(fs::path(git.paths[0]).filename(), "current");
    EXPECT_EQ(fs::path(git.paths[1]).filename(), "base");
    EXPECT_EQ(fs::path(git.paths[2]).filename(), "incoming");
    EXPECT_EQ(git.existed, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(fs::path(git.paths[0]).parent_path().parent_path(), fs::path(tmp.path()));
    EXPECT_EQ(tmp.listing(), "");
  }
}

// A directory holding a fake `git` program, put first on PATH for one scope.
class FakeGitOnPath {
 public:
  explicit FakeGitOnPath(const std::string& script) : path_("PATH", dir_.path()) {
    const std::string git = dir_.write("git", "#!/bin/sh\n" + script + "\n");
    ::chmod(git.c_str(), 0755);
  }

 private:
  platform::TempDir dir_;
  ScopedEnv path_;
};

TEST(GitRunner, TellsConflictsFromFailures) {
  struct Case {
    const char* script;
    const char* error;  // "" when no error, else the exception kind
    std::string message;
  } cases[] = {
      {"exit 0", "", ""},
      {"echo 'warning: something' >&2; exit 3", "conflicts", "warning: something\n"},
      {"echo 'fatal: not a file' >&2; exit 128", "failure",
       "git merge-file a b c failed with exit status 128: fatal: not a file"},
      {"kill -9 $$", "failure", "git merge-file a b c was killed by signal 9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    FakeGitOnPath fake(c.script);
    Git git;
    try {
      // git's count of conflicts is a result, with git's messages.
      const MergeFileStatus status = git.merge_file({"a", "b", "c"});
      EXPECT_STREQ(c.error, status.conflicts == 0 ? "" : "conflicts");
      EXPECT_EQ(status.messages, c.message);
      if (status.conflicts != 0) {
        EXPECT_EQ(status.conflicts, 3);
      }
    } catch (const CommandError& e) {
      EXPECT_STREQ(c.error, "failure");
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(GitRunner, MissingGitIsAnIoError) {
  platform::TempDir empty;
  ScopedEnv path("PATH", empty.path());
  Git git;
  EXPECT_THROW_MSG(git.merge_file({"a", "b", "c"}), IoError,
                   "cannot run git: [Errno 2] No such file or directory: 'git' (git must be "
                   "installed and on the PATH for source merges)");
  try {
    git.merge_file({"a", "b", "c"});
  } catch (const IoError& e) {
    EXPECT_EQ(e.error_code(), ENOENT);  // Python's OSError keeps errno and the file name
    EXPECT_EQ(e.path(), "git");
  }
}

// Where one side left the text as the base had it, where both made the same change, or where
// the two changes lie apart, the result is known without git; it must be byte for byte what git
// gives.
TEST(SourceMerge, ResultKnownWithoutGitIsGits) {
  std::string long_text(9000, 'x');
  long_text += "\n";
  const Lines sample = {"a\n", "<<<<<<< x\n", "\n", "b\r\n", "c\r", "  \n", "d"};
  struct Case {
    const char* name;
    Lines current, base, incoming;
    bool known;
  } cases[] = {
      {"all empty", {}, {}, {}, true},
      {"incoming change", {"a\n"}, {"a\n"}, {"a\n", "b"}, true},
      {"current change", {"x\r\n", "y\r"}, {"a\n"}, {"a\n"}, true},
      {"incoming empties it", sample, sample, {}, true},
      {"current fills it", sample, {}, {}, true},
      {"last line end dropped", {"a\n", "b"}, {"a\n", "b\n"}, {"a\n", "b\n"}, true},
      {"same change on both sides", {"a\n", "X\n"}, {"a\n"}, {"a\n", "X\n"}, true},
      {"same changes, last line end dropped", sample, {"a\n", "b\n", "d\n"}, sample, true},
      {"same text, split differently", {"a\n", "X\n"}, {"a\n"}, {"a\nX\n"}, true},
      {"both changed", {"X\n"}, {"a\n"}, {"Y\n"}, false},
      {"split differently", {"a", "b\n"}, {"ab\n"}, {"c\n"}, true},
      {"apart", {"A\n", "b\n", "c\n"}, {"a\n", "b\n", "c\n"}, {"a\n", "b\n", "C\n"}, true},
      {"apart, incoming first", {"a\n", "b\n", "C"}, {"a\n", "b\n", "c"}, {"\n", "b\n", "c"}, true},
      {"apart, line ends of every kind",
       {"a\n", "<<<<<<< x\n", "\n", "b\r\n", "c\r", "  \n", "f\n", "d"},
       {"a\n", "<<<<<<< x\n", "b\r\n", "f\n", "d"},
       {"a\n", "<<<<<<< x\n", "b\r\n", "f\n", "e\r", "d"},
       true},
      {"apart, each side adds at an end",
       {"x\n", "a\n", "b\n"},
       {"a\n", "b\n"},
       {"a\n", "b\n", "c"},
       true},
      {"side by side", {"A\n", "b\n"}, {"a\n", "b\n"}, {"a\n", "B\n"}, false},
      // Apart in the base, but git's diff may slide the current side's change over the "b"
      // lines up to the incoming side's, where they conflict.
      {"apart by lines a change can slide over",
       {"b\n", "b\n", "b\n", "a\n", "b\n"},
       {"b\n", "b\n", "b\n", "b\n", "b\n", "b\n", "a\n", "b\n", "b\n"},
       {"b\n", "b\n", "b\n", "b\n", "b\n", "b\n", "a\n", "b\n", "b\n", "b\n"},
       false},
      {"a NUL byte, which git refuses", {std::string("a\0b\n", 4)}, {"a\n"}, {"a\n"}, false},
      {"a NUL byte past git's first look", {long_text, std::string("\0\n", 2)}, {}, {}, false},
      {"long text", {long_text}, {}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Lines> known = detail::merged_without_git(c.current, c.base, c.incoming);
    EXPECT_EQ(known.has_value(), c.known);
    if (known) {
      EXPECT_EQ(*known, merge(c.current, c.base, c.incoming));
    }
  }
  EXPECT_THROW(detail::merged_without_git({}, {}, {"\xED\xA0\x80\n"}), ValueError);

  // The same change made on both sides, where git's diff has many equally short ways to go:
  // repeated and blank lines, line ends of all kinds, a last line without one.
  std::mt19937 random(7);
  const std::vector<std::string> pool = {"a\n", "b\n", "a\n", "\n", "c\r\n", "d\r", "}\n", "e"};
  const auto text = [&](std::size_t n) {
    Lines lines;
    for (std::size_t i = 0; i < n; ++i) {
      std::string line = pool[random() % pool.size()];
      if (line == "e" && i + 1 < n) line += "\n";
      lines.push_back(line);
    }
    return lines;
  };
  const auto edited = [&](Lines lines) {
    for (int edit = random() % 4; edit >= 0; --edit) {
      const std::size_t at = lines.empty() ? 0 : random() % lines.size();
      if (random() % 2 == 0 && !lines.empty()) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(at));
      } else {
        const Lines more = text(1 + random() % 3);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), more.begin(), more.end());
      }
    }
    if (!lines.empty() && lines.back().ends_with('\n') && random() % 3 == 0) {
      lines.back().pop_back();
    }
    return lines;
  };
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const Lines base = text(random() % 12);
    const Lines changed = edited(base);
    const std::optional<Lines> known = detail::merged_without_git(changed, base, changed);
    ASSERT_TRUE(known.has_value());
    EXPECT_EQ(*known, merge(changed, base, changed));
  }

  // Each side edits the base on its own: where the result is known, git agrees, and where git's
  // diff could move a change over lines like its own, it is not known (the count shows that the
  // rounds reach both cases).
  int apart = 0;
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE("independent edits, round " + std::to_string(round));
    const Lines base = text(random() % 30);
    const Lines current = edited(base);
    const Lines incoming = edited(base);
    if (current == base || incoming == base || current == incoming) continue;
    const std::optional<Lines> known = detail::merged_without_git(current, base, incoming);
    if (!known) continue;
    ++apart;
    EXPECT_EQ(*known, merge(current, base, incoming));
  }
  EXPECT_GT(apart, 40);
  EXPECT_LT(apart, 300);
}

// Merged in memory, the versions give byte for byte what their files give under the same labels,
// whatever conflict style git's configuration asks for (the base's label shows in some).
TEST(SourceMerge, InMemoryGivesWhatFilesGive) {
  if (!platform::MemoryFile::available()) GTEST_SKIP() << "no memory files on this system";
  platform::TempDir dir;
  platform::TempDir repo;
  ASSERT_EQ(platform::run_process({"git", "init", "-q", repo.path()}).exit_status, 0);
  ScopedEnv git_dir("GIT_DIR", repo.path() + "/.git");
  ScopedEnv config_count("GIT_CONFIG_COUNT", "1");
  ScopedEnv config_key("GIT_CONFIG_KEY_0", "merge.conflictStyle");
  const Lines sample = {"a\n", "b\r\n", "c\r", "d\n", "e"};
  struct Case {
    const char* name;
    Lines current, base, incoming;
  } cases[] = {
      {"all empty", {}, {}, {}},
      {"one side changed", sample, {"a\n"}, {"a\n"}},
      {"apart",
       {"A\n", "b\n", "c\n", "d\n"},
       {"a\n", "b\n", "c\n", "d\n"},
       {"a\n", "b\n", "c\n", "D\n"}},
      {"conflict", {"a\n", "X\n", "c"}, {"a\n", "b\n", "c"}, {"a\n", "Y\n", "c"}},
      {"conflicts, line ends of every kind", sample, {"a\n", "z\n", "e"}, {"q\r\n", "e\n"}},
  };
  using Names = std::pair<std::optional<std::string>, std::optional<std::string>>;
  int n = 0;
  for (const char* style : {"merge", "diff3", "zdiff3"}) {
    ScopedEnv config_value("GIT_CONFIG_VALUE_0", style);
    for (const Case& c : cases) {
      for (const Names& names : {Names{"nb-current", "nb-incoming"}, Names{std::nullopt, ""}}) {
        SCOPED_TRACE(std::string(style) + ": " + c.name + (names.first ? "" : ", no names"));
        const std::string stem = dir.path() + "/" + std::to_string(++n) + "-";
        Git git;
        const Lines from_files = detail::merge_source_in(stem, git, c.current, c.base, c.incoming,
                                                         names.first, names.second);
        EXPECT_EQ(detail::merge_source_in_memory(stem, c.current, c.base, c.incoming, names.first,
                                                 names.second),
                  from_files);
        if (std::string(style) == "diff3" && std::string(c.name) == "conflict") {
          // The configuration reached git: the base's label shows.
          EXPECT_EQ(from_files[3], "||||||| " + stem + "base\n");
        }
      }
    }
  }
}

TEST(SourceQueue, RunsGitOnlyWhereBothSidesChangedTheText) {
  platform::TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path());
  FakeGitOnPath fake("echo 'fatal: ran' >&2; exit 128");
  std::vector<Lines> results;
  const auto keep = [&](Lines lines) { results.push_back(std::move(lines)); };
  {
    detail::SourceQueue queue(nullptr);
    queue.add({"a\n"}, {"a\n"}, {"b\r\n"}, "c", "i", places("cell 0"), keep);
    queue.add({"x\n"}, {"a\n"}, {"a\n"}, "c", "i", places("cell 1"), keep);
    queue.finish();
    EXPECT_EQ(results, (std::vector<Lines>{{"b\n"}, {"x\n"}}));
  }
  detail::SourceQueue queue(nullptr);
  queue.add({"a\n"}, {"a\n"}, {"b\n"}, "c", "i", places("cell 0"), keep);
  queue.add({"x\n"}, {"a\n"}, {"y\n"}, "c", "i", places("cell 1"), keep);
  try {
    queue.finish();
    ADD_FAILURE() << "git was not run";
  } catch (const CommandError& e) {
    EXPECT_TRUE(std::string(e.what()).ends_with(" failed with exit status 128: fatal: ran"))
        << e.what();
  }
  EXPECT_EQ(results.size(), 3u);
}

// The versions go to git in memory, leaving nothing in the temporary location even while git
// runs; those with a NUL byte, which git judges itself, go in files.
TEST(SourceQueue, HandsGitItsVersionsInMemoryUnlessItMustJudgeThem) {
  if (!platform::MemoryFile::available()) GTEST_SKIP() << "no memory files on this system";
  FakeGitOnPath fake(
      "n=$#; seen=; for f in \"$TMPDIR\"/*; do [ -e \"$f\" ] && seen=\"$seen${f##*/}\"; done\n"
      "echo \"fatal: $n arguments; in TMPDIR: $seen\" >&2; exit 128");
  platform::TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path());
  const std::string nul("\0\n", 2);
  struct Case {
    Lines current;
    std::string command, git_saw;
  } cases[] = {
      {{"x\n"},
       "git merge-file -L " + tmp.path() + "/qor-merge-",
       "/1-incoming /proc/self/fd/3 /proc/self/fd/4 /proc/self/fd/5 failed with exit status 128: "
       "fatal: 10 arguments; in TMPDIR: "},
      {{"x\n", nul},
       "git merge-file " + tmp.path() + "/qor-merge-",
       "/1-incoming failed with exit status 128: fatal: 4 arguments; in TMPDIR: qor-merge-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.git_saw);
    {
      detail::SourceQueue queue(nullptr);
      queue.add(c.current, {"a\n"}, {"y\n"}, "c", "i", places("cell"), [](Lines) {});
      try {
        queue.finish();
        ADD_FAILURE() << "git was not run";
      } catch (const CommandError& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind(c.command, 0), 0u) << message;
        EXPECT_NE(message.find(c.git_saw), std::string::npos) << message;
      }
    }
    EXPECT_EQ(tmp.listing(), "");
  }
}

TEST(MergeFiles, FailingGitStopsTheMergeAndLeavesNoTrace) {
  const std::string dir = data_dir() + "/merge/both_changed_conflict_block";
  platform::TempDir tmp;
  platform::TempDir work;
  FakeGitOnPath fake("echo 'fatal: out of memory' >&2; exit 128");
  ScopedEnv env("TMPDIR", tmp.path());
  const std::string original = slurp(dir + "/current.ipynb");
  const std::string current = work.write("current.ipynb", original);
  EXPECT_THROW(merge_files(dir + "/base.ipynb", current, dir + "/incoming.ipynb", "nb.ipynb"),
               CommandError);
  EXPECT_EQ(work.read("current.ipynb"), original);
  EXPECT_EQ(work.listing(), "current.ipynb");
  EXPECT_EQ(tmp.listing(), "");
}

}  // namespace
}  // namespace qor::merge
