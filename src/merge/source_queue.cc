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

// Runs `merge`; a ValueError gets `where` and ": merging the source" in front of its message.
template <class Merge>
auto in_context(const std::string& where, const Merge& merge) -> decltype(merge()) {
  try {
    return merge();
  } catch (const ValueError&) {
    rethrow_with_context(where + ": merging the source");
  }
}

// Throws the ValueError of the first version whose lines cannot be written for git, in the order
// current, base, incoming, with that version's place.
void check_versions_writable(const SourceQueue::Lines& current, const SourceQueue::Lines& base,
                             const SourceQueue::Lines& incoming, const SourcePlaces& where) {
  const auto check = [](const SourceQueue::Lines& lines, const std::string& place) {
    in_context(place, [&] {
      for (const std::string& line : lines) check_writable(line);
    });
  };
  check(current, where.current);
  check(base, where.base);
  check(incoming, where.incoming);
}

// A private temporary directory for the files of source merges; an error names `where`.
platform::TempDir merge_directory(const std::string& where) {
  try {
    return platform::TempDir("qor-merge");
  } catch (const IoError& e) {
    throw IoError(e.error_code(), e.path(), where + ": merging the source: " + e.what());
  }
}

// A result that is there already: `settle` gives the promise its value or error.
template <class Settle>
std::future<SourceQueue::Lines> settled(const Settle& settle) {
  std::promise<SourceQueue::Lines> promise;
  settle(promise);
  return promise.get_future();
}

}  // namespace

SourceQueue::~SourceQueue() {
  stopped_.store(true, std::memory_order_release);
  for (Job& job : jobs_) {
    if (job.result.valid()) job.result.wait();
  }
  if (removal_.valid()) removal_.wait();
}

void SourceQueue::add(Lines current, Lines base, Lines incoming, std::string current_name,
                      std::string incoming_name, SourcePlaces where, Apply apply) {
  if (runner_ != nullptr) {
    check_versions_writable(current, base, incoming, where);
    const SourcePlan plan = plan_source_merge(runner_, current, base, incoming);
    const platform::TempDir dir = merge_directory(where.current);
    apply(in_context(where.current, [&] {
      return run_source_merge(plan, runner_, dir.path() + "/", current, base, incoming,
                              current_name, incoming_name);
    }));
    return;
  }
  // A result known without git is ready at once, as is its error.
  std::future<Lines> result;
  SourcePlan plan;
  try {
    check_versions_writable(current, base, incoming, where);
    plan = plan_source_merge(nullptr, current, base, incoming);
    if (plan.merged) {
      result = settled([&](std::promise<Lines>& p) { p.set_value(std::move(*plan.merged)); });
    }
  } catch (...) {
    result = settled([](std::promise<Lines>& p) { p.set_exception(std::current_exception()); });
  }
  if (!result.valid()) {
    while (jobs_.size() >= kRunning) settle_oldest();
    std::string stem;
    if (plan.way == SourceWay::kMemory) {
      if (labels_.empty()) labels_ = platform::unmade_temp_path("qor-merge");
      stem = labels_;
    } else {
      if (!dir_) dir_.emplace(merge_directory(where.current));
      stem = dir_->path();
    }
    stem.append("/").append(std::to_string(++added_)).append("-");
    result = std::async(std::launch::async,
                        [current = std::move(current), base = std::move(base),
                         incoming = std::move(incoming), current_name = std::move(current_name),
                         incoming_name = std::move(incoming_name), where = std::move(where.current),
                         stem = std::move(stem), plan = std::move(plan), stopped = &stopped_] {
                          const interrupt::StopWhen stop(stopped);
                          return in_context(where, [&] {
                            return run_source_merge(plan, nullptr, stem, current, base, incoming,
                                                    current_name, incoming_name);
                          });
                        });
  }
  jobs_.push_back(Job{std::move(result), std::move(apply)});
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
