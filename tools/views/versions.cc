// The versions qordiff compares, from files or from git: every question to git is one process
// (platform::run_git), the revisions' files are read in one `git cat-file --batch`, and paths
// are kept as git gives them (from the top of the work tree).
#include "views/versions.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/file.h"
#include "platform/git.h"
#include "qor/errors.h"
#include "qor/notebook.h"
#include "views/views.h"

namespace qor::diff {
namespace {

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The lines of a `git rev-parse` answer.
std::vector<std::string> git_lines(const std::vector<std::string>& args) {
  const platform::GitRun run = platform::run_git(args, {}, true);
  if (run.status != 0) platform::git_failed(args, run);
  std::vector<std::string> lines;
  notebook::for_each_line(run.out, [&](std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    lines.emplace_back(line);
  });
  return lines;
}

// The commit `revision` names. Throws CommandError when it names none.
std::string commit_of(const std::string& revision) {
  if (!revision.starts_with('-')) {
    const platform::GitRun run =
        platform::run_git({"rev-parse", "--verify", "--quiet", revision + "^{commit}"}, {}, true);
    if (run.status == 0) return platform::chomp(run.out);
  }
  throw CommandError(revision + ": not a revision (no commit of that name in this repository)");
}

bool absent_mode(const std::string& mode) { return mode == "000000"; }
bool regular_mode(const std::string& mode) { return mode.starts_with("100"); }

// Whether `path` (from the top) is a notebook to show: a ".ipynb" file, or one of `named`.
bool wanted(const std::string& path, const std::vector<std::string>& named) {
  if (path.ends_with(".ipynb")) return true;
  for (const std::string& n : named) {
    if (n == path) return true;
  }
  return false;
}

}  // namespace

std::string version_bytes(const Version& version) {
  if (version.bytes) return *version.bytes;
  return std::string(platform::FileBuffer::read(version.path).view());
}

json::Value read_version(const Version& version, const std::string& name) {
  if (!version.bytes) return notebook::read_notebook(version.path, name);
  return json::parse(*version.bytes, name.empty() ? version.label : name);
}

std::string version_text(const Version& version) {
  std::string text;
  if (version.absent) return text;
  try {
    textconv(read_version(version, version.label), text);
  } catch (const IoError&) {
    throw;
  } catch (const Error& e) {
    text.clear();
    append_unreadable_text(version, e.what(), text);
  }
  return text;
}

void append_unreadable_text(const Version& version, std::string problem, std::string& out) {
  if (problem.starts_with(version.label + ": ")) problem.erase(0, version.label.size() + 2);
  textconv_unreadable(version_bytes(version), problem, out);
}

json::Value hollow_notebook(const json::Value& present) {
  json::Value hollow = present;
  if (!hollow.is_object()) return hollow;
  if (json::Value* cells = hollow.find("cells"); cells && cells->is_array()) {
    *cells = json::Value(json::Array{});
  }
  json::Value* parameters = notebook::member(notebook::canvas_of(&hollow), "parameters");
  if (parameters && parameters->is_array()) *parameters = json::Value(json::Array{});
  return hollow;
}

std::vector<Version> operand_versions(const std::vector<std::string>& operands) {
  std::vector<Version> versions;
  std::vector<std::string> names;
  std::vector<std::size_t> from_git;
  for (const std::string& operand : operands) {
    versions.push_back({operand, false, std::nullopt, operand});
    // A file that is there is the file; "REV:PATH" (":PATH" for the staged one) is asked of git.
    if (!exists(operand) && operand.find(':') != std::string::npos) {
      names.push_back(operand);
      from_git.push_back(versions.size() - 1);
    }
  }
  if (names.empty()) return versions;
  const platform::CatFileBatch batch = platform::cat_file_batch(names);
  if (batch.run.status != 0) {
    throw IoError(ENOENT, names[0],
                  names[0] + ": no such file, and git cannot read it as REV:PATH (" +
                      platform::chomp(batch.run.err) + ")");
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const platform::CatFileBatch::Object& blob = batch.objects[i];
    if (blob.type.empty()) {
      throw IoError(
          ENOENT, names[i],
          names[i] + ": no such file, nor a file at that revision (git: " + blob.reason + ")");
    }
    if (blob.type != "blob") {
      throw IoError(EISDIR, names[i], names[i] + ": a " + blob.type + " in git, not a file");
    }
    versions[from_git[i]].bytes = std::string(blob.content);
  }
  return versions;
}

bool is_revision(const std::string& text) {
  if (text.starts_with('-')) return false;
  return platform::run_git({"rev-parse", "--verify", "--quiet", text + "^{commit}"}, {}, true)
             .status == 0;
}

std::vector<NotebookPair> revision_pairs(const std::vector<std::string>& revisions,
                                         const std::vector<std::string>& paths) {
  const std::vector<std::string> where =
      git_lines({"rev-parse", "--show-toplevel", "--show-prefix"});
  const std::string top = where.empty() ? std::string() : where[0];
  const std::string prefix = where.size() > 1 ? where[1] : std::string();
  std::vector<std::string> diff_args{"diff",          "--raw",        "-z",
                                     "--no-abbrev",   "--no-renames", "--no-ext-diff",
                                     "--no-textconv", "--no-color",   "--no-relative"};
  for (const std::string& revision : revisions) diff_args.push_back(commit_of(revision));
  diff_args.push_back("--");
  diff_args.insert(diff_args.end(), paths.begin(), paths.end());
  const platform::GitRun diff = platform::run_git(diff_args, {}, true);
  if (diff.status != 0) platform::git_failed(diff_args, diff);

  // Paths named exactly are shown whatever their names end in.
  std::vector<std::string> named;
  for (const std::string& p : paths) {
    std::string normal = std::filesystem::path(prefix + p).lexically_normal().string();
    while (normal.ends_with('/')) normal.pop_back();
    named.push_back(normal);
  }
  const bool work_tree = revisions.size() == 1;
  std::vector<NotebookPair> pairs;
  std::vector<std::string> ids;
  std::vector<Version*> readers;
  for (platform::RawDiffEntry& e : platform::raw_diff_entries(diff.out)) {
    const bool had = !absent_mode(e.old_mode), has = !absent_mode(e.new_mode);
    if ((had && !regular_mode(e.old_mode)) || (has && !regular_mode(e.new_mode)) ||
        !wanted(e.path, named)) {
      continue;
    }
    NotebookPair pair;
    pair.path = e.path;
    pair.prev = {revisions[0] + ":" + e.path, !had, std::nullopt, {}};
    if (work_tree) {
      pair.current = {e.path, !has, std::nullopt, top + "/" + e.path};
    } else {
      pair.current = {revisions[1] + ":" + e.path, !has, std::nullopt, {}};
    }
    pairs.push_back(std::move(pair));
    if (had) ids.push_back(e.old_object);
    if (has && !work_tree) ids.push_back(e.new_object);
  }
  for (NotebookPair& pair : pairs) {
    if (!pair.prev.absent) readers.push_back(&pair.prev);
    if (!pair.current.absent && !work_tree) readers.push_back(&pair.current);
  }
  const platform::CatFileBatch batch = platform::cat_file_batch(ids);
  if (batch.run.status != 0) platform::git_failed({"cat-file", "--batch"}, batch.run);
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (batch.objects[i].type != "blob") {
      throw CommandError("git cat-file --batch has no blob " + ids[i] + " for " +
                         readers[i]->label);
    }
    readers[i]->bytes = std::string(batch.objects[i].content);
  }
  return pairs;
}

}  // namespace qor::diff
