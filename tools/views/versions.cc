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

namespace qor::diff {
namespace {

// What `git cat-file --batch` gave for one object name: its type and content, or why not.
struct Blob {
  std::string type;     // "blob", "tree", ...; empty when git has no such object
  std::string reason;   // "missing", "ambiguous", ... when it has none
  std::string content;  // a blob's bytes
};

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_object_id(std::string_view text) {
  return (text.size() == 40 || text.size() == 64) &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Reads the objects `names` ("REV:PATH", object ids) with one `git cat-file --batch`, in order.
// When git fails: with `failure`, sets it to git's message and returns nothing; without it,
// throws CommandError. Throws CommandError when git's answer cannot be read.
std::vector<Blob> cat_file(const std::vector<std::string>& names, std::string* failure = nullptr) {
  std::vector<Blob> blobs;
  if (names.empty()) return blobs;
  std::string input;
  for (const std::string& name : names) input += name + "\n";
  const std::vector<std::string> args{"cat-file", "--batch"};
  const platform::GitRun run = platform::run_git_with_input(args, input);
  if (run.status != 0 && failure) {
    *failure = platform::chomp(run.err);
    return blobs;
  }
  if (run.status != 0) platform::git_failed(args, run);
  std::string_view out = run.out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::size_t end = out.find('\n');
    if (end == std::string_view::npos) {
      throw CommandError("git cat-file --batch gave no answer for " + names[i]);
    }
    // "<object id> <type> <size>", else "<name> missing" (or another reason).
    const std::string_view header = out.substr(0, end);
    out.remove_prefix(end + 1);
    const std::size_t first = header.find(' '), last = header.rfind(' ');
    Blob blob;
    if (first != std::string_view::npos && first != last && is_object_id(header.substr(0, first)) &&
        all_digits(header.substr(last + 1))) {
      const std::size_t size = std::stoull(std::string(header.substr(last + 1)));
      if (out.size() < size + 1) {
        throw CommandError("git cat-file --batch ended within " + names[i]);
      }
      blob.type = std::string(header.substr(first + 1, last - first - 1));
      blob.content = std::string(out.substr(0, size));
      out.remove_prefix(size + 1);
    } else {
      blob.reason = std::string(header.substr(last == std::string_view::npos ? 0 : last + 1));
    }
    blobs.push_back(std::move(blob));
  }
  return blobs;
}

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

// One entry of `git diff --raw -z`.
struct RawEntry {
  std::string old_mode, new_mode, old_id, new_id, path;
};

std::vector<RawEntry> raw_entries(std::string_view out) {
  std::vector<RawEntry> entries;
  while (!out.empty()) {
    // ":<old mode> <new mode> <old id> <new id> <status>\0<path>\0"
    const std::size_t head_end = out.find('\0');
    if (head_end == std::string_view::npos || !out.starts_with(':')) break;
    const std::string_view head = out.substr(1, head_end - 1);
    out.remove_prefix(head_end + 1);
    const std::size_t path_end = out.find('\0');
    if (path_end == std::string_view::npos) break;
    RawEntry e;
    e.path = std::string(out.substr(0, path_end));
    out.remove_prefix(path_end + 1);
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= head.size()) {
      std::size_t end = head.find(' ', start);
      if (end == std::string_view::npos) end = head.size();
      fields.emplace_back(head.substr(start, end - start));
      start = end + 1;
    }
    if (fields.size() < 4) continue;
    e.old_mode = fields[0];
    e.new_mode = fields[1];
    e.old_id = fields[2];
    e.new_id = fields[3];
    entries.push_back(std::move(e));
  }
  return entries;
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
  std::string failure;
  const std::vector<Blob> blobs = cat_file(names, &failure);
  if (blobs.empty()) {
    throw IoError(
        ENOENT, names[0],
        names[0] + ": no such file, and git cannot read it as REV:PATH (" + failure + ")");
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const Blob& blob = blobs[i];
    if (blob.type.empty()) {
      throw IoError(
          ENOENT, names[i],
          names[i] + ": no such file, nor a file at that revision (git: " + blob.reason + ")");
    }
    if (blob.type != "blob") {
      throw IoError(EISDIR, names[i], names[i] + ": a " + blob.type + " in git, not a file");
    }
    versions[from_git[i]].bytes = blob.content;
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
  for (RawEntry& e : raw_entries(diff.out)) {
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
    if (had) ids.push_back(e.old_id);
    if (has && !work_tree) ids.push_back(e.new_id);
  }
  for (NotebookPair& pair : pairs) {
    if (!pair.prev.absent) readers.push_back(&pair.prev);
    if (!pair.current.absent && !work_tree) readers.push_back(&pair.current);
  }
  std::vector<Blob> blobs = cat_file(ids);
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (blobs[i].type != "blob") {
      throw CommandError("git cat-file --batch has no blob " + ids[i] + " for " +
                         readers[i]->label);
    }
    readers[i]->bytes = std::move(blobs[i].content);
  }
  return pairs;
}

}  // namespace qor::diff
