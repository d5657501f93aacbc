// The conflict check over files and over what git is about to commit. Staged notebooks are
// read from the index (`git cat-file`), because that is what a commit records; unmerged ones
// from the work tree, where the merge driver left its result. Each notebook is scanned by
// notebook::find_conflicts, the scan the merge's own summary uses.
#include <string>
#include <vector>

#include "gitsetup/git.h"
#include "platform/file.h"
#include "qor/errors.h"
#include "qor/gitsetup.h"
#include "qor/json.h"

namespace qor::gitsetup {
namespace {

CheckedNotebook check_text(std::string path, std::string version, std::string_view text) {
  CheckedNotebook checked{std::move(path), std::move(version), std::nullopt, {}};
  try {
    checked.conflicts = notebook::find_conflicts(json::parse(text));
  } catch (const Error& e) {
    checked.error = e.what();
  }
  return checked;
}

CheckedNotebook check_file(const std::string& path, const std::string& shown,
                           const std::string& version) {
  std::string text;
  try {
    text = platform::read_file(path);
  } catch (const IoError& e) {
    return {shown, version, std::nullopt, e.what()};
  }
  return check_text(shown, version, text);
}

// The NUL-separated names of `git ... -z` output.
std::vector<std::string> split_names(const std::string& out) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\0', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) names.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

}  // namespace

bool inside_work_tree() {
  const detail::GitResult r = detail::run_git({"rev-parse", "--is-inside-work-tree"});
  return r.status == 0 && detail::chomp(r.out) == "true";
}

std::vector<CheckedNotebook> check_files(const std::vector<std::string>& paths) {
  std::vector<CheckedNotebook> checked;
  for (const std::string& path : paths) checked.push_back(check_file(path, path, "file"));
  return checked;
}

std::vector<CheckedNotebook> check_repository() {
  const std::string top = detail::chomp(detail::git_ok({"rev-parse", "--show-toplevel"}));
  // Names relative to the top of the work tree, whatever the working directory.
  const std::string notebooks = ":(top)*.ipynb";
  const std::vector<std::string> staged =
      split_names(detail::git_ok({"diff", "--cached", "--name-only", "--no-relative", "-z",
                                  "--no-renames", "--diff-filter=AMT", "--", notebooks}));
  const std::vector<std::string> unmerged = split_names(detail::git_ok(
      {"diff", "--name-only", "--no-relative", "-z", "--diff-filter=U", "--", notebooks}));
  std::vector<CheckedNotebook> checked;
  for (const std::string& path : staged) {
    const detail::GitResult blob = detail::run_git({"cat-file", "blob", ":0:" + path});
    if (blob.status != 0) {
      checked.push_back({path, "staged", std::nullopt, detail::chomp(blob.err)});
    } else {
      checked.push_back(check_text(path, "staged", blob.out));
    }
  }
  for (const std::string& path : unmerged) {
    checked.push_back(check_file(top + "/" + path, path, "unmerged"));
  }
  return checked;
}

}  // namespace qor::gitsetup
