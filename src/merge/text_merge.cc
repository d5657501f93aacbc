// The merge of a file as git merges text: what the merge driver does with a notebook it cannot
// merge component by component (an ordinary notebook, a notebook one of whose cells has no
// component id, a file that is not JSON), so that such a file fares exactly as it would with
// git alone. One `git merge-file` run, handed the three versions in memory where the system
// allows, and the pinned current file replaced by its result.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "merge/source_merge.h"
#include "notebook/notebook_file.h"
#include "platform/file.h"
#include "platform/git.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "qor/errors.h"
#include "qor/merge.h"

namespace qor::merge {
namespace {

// What git's merge takes for binary: a NUL byte among the first 8,000 bytes, or more bytes than
// its diff takes.
constexpr std::size_t kBinaryProbe = 8000;

bool binary_for_git(std::string_view text) {
  return text.size() > detail::kGitTextLimit ||
         text.substr(0, kBinaryProbe).find('\0') != std::string_view::npos;
}

// Whether this git's merge-file takes --diff-algorithm (git 2.44 and later): git's own merges
// diff with the histogram algorithm, and merge-file takes the Myers algorithm unless told.
// Asked once per process.
bool merge_file_takes_diff_algorithm() {
  static const bool takes = [] {
    try {
      const platform::GitRun run = platform::run_git({"version"}, {}, /*capture_output=*/true);
      int major = 0, minor = 0;
      if (run.status != 0 ||
          std::sscanf(run.out.c_str(), "git version %d.%d", &major, &minor) != 2) {
        return false;
      }
      return major > 2 || (major == 2 && minor >= 44);
    } catch (const Error&) {
      return false;  // merge-file itself then says what keeps git from running
    }
  }();
  return takes;
}

// git merge-file's result for the three texts: the merged text and its number of conflicts.
std::pair<std::string, std::size_t> git_merge_text(std::string_view current, std::string_view base,
                                                   std::string_view incoming,
                                                   const TextMergeOptions& options) {
  std::vector<std::string> args = {"-L",
                                   options.current_label,
                                   "-L",
                                   options.base_label,
                                   "-L",
                                   options.incoming_label,
                                   "--marker-size=" + std::to_string(options.marker_size)};
  if (merge_file_takes_diff_algorithm()) args.emplace_back("--diff-algorithm=histogram");
  std::size_t conflicts = 0;
  const auto run = [&](const std::vector<std::string>& files, const std::vector<int>& passed) {
    std::vector<std::string> all = args;
    all.insert(all.end(), files.begin(), files.end());
    conflicts = static_cast<std::size_t>(detail::git_merge_file(all, passed).conflicts);
  };
  if (platform::MemoryFile::available()) {
    const platform::MemoryFile current_file(current, options.current_label);
    const platform::MemoryFile base_file(base, options.base_label);
    const platform::MemoryFile incoming_file(incoming, options.incoming_label);
    run({platform::passed_fd_path(0), platform::passed_fd_path(1), platform::passed_fd_path(2)},
        {current_file.fd(), base_file.fd(), incoming_file.fd()});
    return {current_file.read(), conflicts};
  }
  const platform::TempDir dir("qor-text");
  run({dir.write("current", current), dir.write("base", base), dir.write("incoming", incoming)},
      {});
  return {dir.read("current"), conflicts};
}

}  // namespace

MergeResult merge_text_files(const std::string& base_file_path,
                             const std::string& current_file_path,
                             const std::string& incoming_file_path, const std::string& file_path,
                             const TextMergeOptions& options, std::string reason) {
  TextMergeOptions labelled = options;
  for (auto [label, suffix] : {std::pair{&labelled.base_label, "-base"},
                               {&labelled.current_label, "-current"},
                               {&labelled.incoming_label, "-incoming"}}) {
    if (label->empty()) *label = file_path + suffix;
  }
  labelled.marker_size = std::max(options.marker_size, 1);
  const auto read = [&](const std::string& path, std::string_view version) {
    return notebook::naming_io_errors(notebook::version_name(file_path, version), path,
                                      [&] { return platform::read_file(path); });
  };
  const std::string current_name = notebook::version_name(file_path, kCurrentName);
  platform::ReplaceTarget target = notebook::naming_io_errors(
      current_name, current_file_path, [&] { return platform::ReplaceTarget(current_file_path); });
  const platform::FileBuffer current =
      notebook::naming_io_errors(current_name, current_file_path, [&] { return target.read(); });
  const std::string base = read(base_file_path, kBaseName);
  const std::string incoming = read(incoming_file_path, kIncomingName);
  MergeResult result;
  result.text_merge_reason = std::move(reason);
  if (binary_for_git(current.view()) || binary_for_git(base) || binary_for_git(incoming)) {
    result.binary = true;
    result.text_conflicts = 1;
    return result;
  }
  const std::pair<std::string, std::size_t> merged =
      git_merge_text(current.view(), base, incoming, labelled);
  result.text_conflicts = merged.second;
  notebook::naming_io_errors(current_name, current_file_path, [&] {
    target.replace_with(
        [&merged](const std::function<void(std::string_view)>& emit) { emit(merged.first); });
  });
  return result;
}

}  // namespace qor::merge
