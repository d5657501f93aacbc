// The conflict check over files and over what git is about to commit. Staged notebooks are
// read from the index (one `git cat-file --batch` for all of them, then scanned by two
// threads), because that is what a commit records; unmerged ones
// from the work tree, where the merge driver left its result, and they stay unresolved until
// they are staged whatever they hold. Each notebook is scanned by notebook::find_conflicts, the
// scan the merge's own summary uses.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "gitsetup/git.h"
#include "gitsetup/gitsetup.h"
#include "platform/file.h"
#include "platform/git.h"
#include "qor/conflicts.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::gitsetup {
namespace {

CheckedNotebook check_text(std::string path, std::string version, std::string_view text) {
  CheckedNotebook checked{std::move(path), std::move(version), std::nullopt, {}};
  try {
    checked.conflicts = notebook::find_conflicts(json::parse(text));
  } catch (const Error& e) {
    checked.error = notebook::has_text_conflict_block(text)
                        ? std::string(notebook::kTextConflictNote)
                        : std::string(e.what());
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

// The notebooks below the directory `dir`, as paths that start with `dir`, in name order.
std::vector<std::string> notebooks_below(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  std::error_code ec;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& p = it->path();
    const std::string name = p.filename().string();
    if (it->is_symlink(ec)) continue;
    if (it->is_directory(ec)) {
      if (name == ".git" || name == ".ipynb_checkpoints") it.disable_recursion_pending();
      continue;
    }
    if (name.ends_with(".ipynb") && it->is_regular_file(ec)) found.push_back(p.string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Of `paths` (files), those git's index holds as unmerged, when the working directory is in a
// work tree.
std::vector<bool> unmerged_among(const std::vector<std::string>& paths) {
  std::vector<bool> unmerged(paths.size(), false);
  if (paths.empty() || !inside_work_tree()) return unmerged;
  const std::string top = detail::chomp(detail::git_ok({"rev-parse", "--show-toplevel"}));
  std::vector<std::string> args{"ls-files", "-u", "-z", "--full-name", "--"};
  std::vector<std::string> inside;  // relative to the top, for each path in the work tree
  for (const std::string& path : paths) {
    const std::string absolute = detail::absolute_path(path);
    inside.push_back(absolute.starts_with(top + "/") ? absolute.substr(top.size() + 1) : "");
    if (!inside.back().empty()) args.push_back(":(top,literal)" + inside.back());
  }
  if (args.size() == 5) return unmerged;
  // Entries read "<mode> <object> <stage>\t<path>".
  std::vector<std::string> listed;
  for (const std::string& entry : split_names(detail::git_ok(args))) {
    const std::size_t tab = entry.find('\t');
    if (tab != std::string::npos) listed.push_back(entry.substr(tab + 1));
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    unmerged[i] =
        !inside[i].empty() && std::find(listed.begin(), listed.end(), inside[i]) != listed.end();
  }
  return unmerged;
}

// A staged file: its path and the object name of its staged content.
struct StagedFile {
  std::string path;
  std::string object;
};

// The files of `git diff --raw -z --no-abbrev --no-renames` output whose new mode is a file's
// (symbolic links and submodules left out).
std::vector<StagedFile> staged_files(const std::string& out) {
  std::vector<StagedFile> files;
  for (platform::RawDiffEntry& e : platform::raw_diff_entries(out)) {
    if (e.new_mode != "100644" && e.new_mode != "100755") continue;
    files.push_back({std::move(e.path), std::move(e.new_object)});
  }
  return files;
}

// check_text() of each staged file, by the threads the machine has (up to two): each takes the
// next file not yet taken, and the results keep the files' order.
std::vector<CheckedNotebook> check_staged(const std::vector<StagedFile>& files) {
  if (files.empty()) return {};
  std::vector<std::string> objects;
  for (const StagedFile& f : files) objects.push_back(f.object);
  const platform::CatFileBatch batch = platform::cat_file_batch(objects);
  if (batch.run.status != 0) platform::git_failed({"cat-file", "--batch"}, batch.run);
  std::vector<CheckedNotebook> checked(files.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < files.size(); i = next++) {
      if (!batch.objects[i].type.empty()) {
        checked[i] = check_text(files[i].path, "staged", batch.objects[i].content);
      } else {
        checked[i] = {files[i].path, "staged", std::nullopt,
                      "git has no object " + files[i].object + " for the staged file"};
      }
    }
  };
  std::future<void> helper;
  if (files.size() > 1 && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::async(std::launch::async, work);
    } catch (const std::system_error&) {
    }
  }
  work();
  if (helper.valid()) helper.get();
  return checked;
}

}  // namespace

bool inside_work_tree() {
  const detail::GitResult r = detail::run_git({"rev-parse", "--is-inside-work-tree"});
  return r.status == 0 && detail::chomp(r.out) == "true";
}

std::vector<CheckedNotebook> check_files(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      for (std::string& file : notebooks_below(path)) files.push_back(std::move(file));
    } else {
      files.push_back(path);
    }
  }
  const std::vector<bool> unmerged = unmerged_among(files);
  std::vector<CheckedNotebook> checked;
  for (std::size_t i = 0; i < files.size(); ++i) {
    checked.push_back(check_file(files[i], files[i], "file"));
    checked.back().unmerged = unmerged[i];
  }
  return checked;
}

std::vector<CheckedNotebook> check_repository() {
  const std::string top = detail::chomp(detail::git_ok({"rev-parse", "--show-toplevel"}));
  // Names relative to the top of the work tree, whatever the working directory.
  const std::string notebooks = ":(top)*.ipynb";
  const std::vector<StagedFile> staged =
      staged_files(detail::git_ok({"diff", "--cached", "--raw", "--no-abbrev", "--no-relative",
                                   "-z", "--no-renames", "--diff-filter=AMT", "--", notebooks}));
  const std::vector<std::string> unmerged = split_names(detail::git_ok(
      {"diff", "--name-only", "--no-relative", "-z", "--diff-filter=U", "--", notebooks}));
  std::vector<CheckedNotebook> checked = check_staged(staged);
  for (const std::string& path : unmerged) {
    checked.push_back(check_file(top + "/" + path, path, "unmerged"));
    checked.back().unmerged = true;
  }
  return checked;
}

}  // namespace qor::gitsetup
