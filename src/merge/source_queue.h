// Source merges of one notebook merge, run side by side (private to src/merge).
#ifndef QOR_MERGE_SOURCE_QUEUE_H_
#define QOR_MERGE_SOURCE_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/temp_dir.h"
#include "qor/merge.h"

namespace qor::merge::detail {

// Largest file git merges as text (its MAX_XDIFF_SIZE): git takes a larger one for binary.
inline constexpr std::size_t kGitTextLimit = std::size_t{1023} << 20;

// Runs `git merge-file` with `args`, handing it the open descriptors `passed` as
// platform::run_process() does. Returns when git merged without conflicts; throws
// GitCommandError when it reports conflicts (its exit status is their number), CommandError
// when git failed, IoError when it cannot be started.
void git_merge_file(const std::vector<std::string>& args, const std::vector<int>& passed);

// Throws the ValueError merge_source() throws for `text` when it cannot be written for git (it
// holds a lone surrogate).
void check_writable(std::string_view text);

// merge_source() with its three files at `stem` followed by "current", "base" and "incoming",
// in a private directory of the caller's, which removes them with itself.
std::vector<std::string> merge_source_in(const std::string& stem, GitRunner& git,
                                         const std::vector<std::string>& current,
                                         const std::vector<std::string>& base,
                                         const std::vector<std::string>& incoming,
                                         const std::optional<std::string>& current_name,
                                         const std::optional<std::string>& incoming_name);

// Whether merge_source_in_memory() can take the three versions: the system offers memory files,
// and git takes every version for text (no NUL byte, not above its size limit), so that git
// reports nothing about the files themselves.
bool mergeable_in_memory(const std::vector<std::string>& current,
                         const std::vector<std::string>& base,
                         const std::vector<std::string>& incoming);

// merge_source() with the real git, its three files in memory (platform::MemoryFile) instead of
// in a directory: git reads and rewrites them through the descriptors it is handed, and labels
// them, with its -L option, `stem` followed by "current", "base" and "incoming", the paths the
// files would have had in a directory that is never made. The result is the one the files in
// that directory would have given. Nothing is made on a disk, and nothing is left to remove.
std::vector<std::string> merge_source_in_memory(const std::string& stem,
                                                const std::vector<std::string>& current,
                                                const std::vector<std::string>& base,
                                                const std::vector<std::string>& incoming,
                                                const std::optional<std::string>& current_name,
                                                const std::optional<std::string>& incoming_name);

// merge_source()'s result with the real git when it is known without running git. When one
// side's text is the base's, git takes the other side's text whole; when both sides made the
// same change, git takes the current side's text (each change of one side meets the same change
// of the other, which git does not count as a conflict). When the sides changed parts of the
// text that lie apart, with base lines between them that git's diff cannot move either change
// over, git merges the two changes without conflict, and its text is built here the way git
// builds it. Nothing when the changes may meet (git then decides whether they conflict), or
// when git would refuse a text as binary (a NUL byte) or as too large: only git itself reports
// those. A text without conflict blocks has no labels to replace (the temporary paths, named for
// each merge, cannot occur in the versions). Throws the ValueError of merge_source() for lines
// that cannot be written for git.
std::optional<std::vector<std::string>> merged_without_git(
    const std::vector<std::string>& current, const std::vector<std::string>& base,
    const std::vector<std::string>& incoming);

// The source merges a notebook merge asks for, in order. With the real git, each runs in a
// worker thread as soon as it is added, a few at a time, so that the git processes overlap one
// another and the rest of the merge; a merge whose result merged_without_git() knows needs no
// thread. Results are handed to their callbacks in the order the merges were added, and a
// failure is reported as the first failing merge in that order would have been reported had
// they run one after the other. With a runner of the caller's own (MergeOptions::git), each
// merge runs at once, in the calling thread.
//
// Git is handed the versions in memory where it can be (merge_source_in_memory()): nothing is
// made on a disk for them. Where they go in files, the files stay until finish() has applied
// every result; their directory is then removed in a helper thread, which the destructor waits
// for. On a file system that discards freed blocks, removing a file git has written takes a
// device round trip: the merge need not wait for it.
// Where the three versions of a source come from, for messages: "nb.ipynb (incoming version):
// cell 3 'train' (code)".
struct SourcePlaces {
  std::string current, base, incoming;
};

class SourceQueue {
 public:
  using Lines = std::vector<std::string>;
  using Apply = std::function<void(Lines)>;

  explicit SourceQueue(GitRunner* runner) : runner_(runner) {}
  SourceQueue(const SourceQueue&) = delete;
  SourceQueue& operator=(const SourceQueue&) = delete;
  // Calls off the merges still running (their git processes are ended) and waits for them;
  // their results and errors are dropped. Waits for the removal of the merges' files.
  ~SourceQueue();

  // merge_source() of the three versions with the two labels; `apply` receives the merged lines
  // (at once, or later from finish() or add()). Throws what merge_source() throws when the merge
  // runs at once, or when an earlier merge failed. A ValueError gets a place and ": merging the
  // source" in front of its message: the place of the version whose lines cannot be written for
  // git, else (git's text is not UTF-8) the current version's. So does an IoError of the
  // temporary directory (platform::TempDir), with the current version's place.
  void add(Lines current, Lines base, Lines incoming, std::string current_name,
           std::string incoming_name, SourcePlaces where, Apply apply);

  // Waits for every merge and applies the results in order, polling for interruption while it
  // waits, then starts the removal of the merges' files. Throws the error of the first merge
  // that failed.
  void finish();

  // For a merge that stops with `error`: waits for every merge added before, and throws the
  // error of the first that failed, else rethrows `error`.
  [[noreturn]] void fail(std::exception_ptr error);

 private:
  struct Job {
    std::future<Lines> result;
    Apply apply;
  };
  // Waits for the oldest merge and applies its result.
  void settle_oldest();

  GitRunner* runner_;
  // With the real git: one private directory for the files of all the merges, each under its
  // own number, made at the first merge.
  std::optional<platform::TempDir> dir_;
  // With the real git and memory files: the directory named in their labels, never made.
  std::string labels_;
  std::future<void> removal_;  // of dir_, once every result is applied
  std::size_t added_ = 0;
  std::deque<Job> jobs_;
  std::atomic<bool> stopped_{false};  // set by the destructor for the merges still running
};

}  // namespace qor::merge::detail

#endif  // QOR_MERGE_SOURCE_QUEUE_H_
