// Running the git program: the one place that starts git and words its failures, for the
// source and text merges of the core and for the git set-up of qorgit.
#ifndef QOR_PLATFORM_GIT_H_
#define QOR_PLATFORM_GIT_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qor::platform {

// How a run of git ended: its exit status and what it printed (standard output only when it
// was asked for).
struct GitRun {
  int status = 0;
  std::string out;
  std::string err;
};

// Runs `git` with `args`, found on PATH, without a shell, in the current working directory and
// environment, handed the open descriptors `passed` as run_process() hands them; with
// `capture_output`, its standard output is collected too (`passed` must then be empty). Returns
// whatever exit status git gives: what a status means is the caller's to say. Throws IoError
// (errno, "git") when git cannot be started, CommandError "<command> was killed by signal N"
// when a signal ends it.
GitRun run_git(const std::vector<std::string>& args, const std::vector<int>& passed = {},
               bool capture_output = false);

// run_git() with its standard output collected and `input` written to its standard input (for
// git's --batch and --stdin modes). Same errors.
GitRun run_git_with_input(const std::vector<std::string>& args, std::string_view input);

// Throws the CommandError for a run of git (with `args`) that failed: "git <args> failed with
// exit status N", followed by ": " and git's own message when it printed one.
[[noreturn]] void git_failed(const std::vector<std::string>& args, const GitRun& run);

// One entry of `git diff --raw -z --no-abbrev --no-renames` output (":<old mode> <new mode>
// <old object> <new object> <status>\0<path>\0"). A side the file is missing from has mode
// "000000".
struct RawDiffEntry {
  std::string old_mode, new_mode, old_object, new_object, path;
};

// The entries of such output, in order; a record that cannot be read ends the list.
std::vector<RawDiffEntry> raw_diff_entries(std::string_view out);

// What one `git cat-file --batch` gave for the object names (or "REV:PATH") it was asked.
struct CatFileBatch {
  struct Object {
    std::string type;          // "blob", "tree", ...; empty when git has no such object
    std::string reason;        // why not: "missing", "ambiguous", ...
    std::string_view content;  // the object's bytes, in `output`
  };
  GitRun run;  // git's exit status and message (its output is `output`)
  std::shared_ptr<const std::string> output;
  std::vector<Object> objects;  // one per name asked, in order; none when git failed
};

// Reads `names` with one `git cat-file --batch` process. When git fails, `objects` is empty and
// `run` says how (git_failed() words it). Throws CommandError when git's answer ends early.
CatFileBatch cat_file_batch(const std::vector<std::string>& names);

// `text` (one line git printed) without its final line end.
std::string chomp(std::string text);

// The command line of git with `args` as messages show it: "git merge-file a b c".
std::string git_command_line(const std::vector<std::string>& args);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_GIT_H_
