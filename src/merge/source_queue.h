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

#include "merge/source_merge.h"
#include "platform/temp_dir.h"
#include "qor/merge.h"

namespace qor::merge::detail {

// Where the three versions of a source come from, for messages: "nb.ipynb (incoming version):
// cell 3 'train' (code)".
struct SourcePlaces {
  std::string current, base, incoming;
};

// The source merges a notebook merge asks for, in order, each done the way plan_source_merge()
// chooses. With the real git, each runs in a worker thread as soon as it is added, a few at a
// time, so that the git processes overlap one another and the rest of the merge; a merge whose
// result is known without git needs no thread. Results are handed to their callbacks in the order
// the merges were added, and a failure is reported as the first failing merge in that order would
// have been reported had they run one after the other. With a runner of the caller's own
// (MergeOptions::git), each merge runs at once, in the calling thread.
//
// Where git reads the versions from files, the files stay until finish() has applied
// every result; their directory is then removed in a helper thread, which the destructor waits
// for. On a file system that discards freed blocks, removing a file git has written takes a
// device round trip: the merge need not wait for it.
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
