// Source merges side by side: one worker thread per running `git merge-file`, at most a few at a
// time, results applied in the order the merges were asked for.
#include "merge/source_queue.h"

#include <utility>

#include "platform/background.h"
#include "qor/errors.h"
#include "qor/interrupt.h"

namespace qor::merge::detail {
namespace {

// Merges running at once: git processes spend much of their time starting up and in the file
// system, so several more than the cores keep them busy.
constexpr std::size_t kRunning = 8;

}  // namespace

SourceQueue::~SourceQueue() {
  stopped_.store(true, std::memory_order_release);
  for (Job& job : jobs_) {
    if (job.result.valid()) job.result.wait();
  }
  if (removal_.valid()) removal_.wait();
}

void SourceQueue::add(Lines current, Lines base, Lines incoming, std::string current_name,
                      std::string incoming_name, std::string where, Apply apply) {
  std::string stem;
  if (runner_ == nullptr) {
    if (!dir_) dir_.emplace("qor-merge");
    stem = dir_->path() + "/" + std::to_string(++added_) + "-";
  }
  auto merge = [current = std::move(current), base = std::move(base),
                incoming = std::move(incoming), current_name = std::move(current_name),
                incoming_name = std::move(incoming_name), where = std::move(where),
                stem = std::move(stem)](GitRunner& git) {
    try {
      if (stem.empty()) {
        return merge_source(git, current, base, incoming, current_name, incoming_name);
      }
      return merge_source_in(stem, git, current, base, incoming, current_name, incoming_name);
    } catch (const ValueError&) {
      rethrow_with_context(where + ": merging the source");
    }
  };
  if (runner_ != nullptr) {
    apply(merge(*runner_));
    return;
  }
  if (jobs_.size() >= kRunning) settle_oldest();
  jobs_.push_back(Job{std::async(std::launch::async,
                                 [merge = std::move(merge), stopped = &stopped_] {
                                   const interrupt::StopWhen stop(stopped);
                                   Git git;
                                   return merge(git);
                                 }),
                      std::move(apply)});
}

void SourceQueue::settle_oldest() {
  interrupt::wait_polling(jobs_.front().result);
  Job job = std::move(jobs_.front());
  jobs_.pop_front();
  job.apply(job.result.get());
}

void SourceQueue::finish() {
  while (!jobs_.empty()) settle_oldest();
  if (!dir_) return;
  removal_ = platform::in_background([dir = std::move(dir_)]() mutable { dir.reset(); });
  dir_.reset();
}

void SourceQueue::fail(std::exception_ptr error) {
  finish();
  std::rethrow_exception(error);
}

}  // namespace qor::merge::detail
