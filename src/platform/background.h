// Work handed to a helper thread when one can be made (private to the core).
#ifndef QOR_PLATFORM_BACKGROUND_H_
#define QOR_PLATFORM_BACKGROUND_H_

#include <future>
#include <memory>
#include <system_error>
#include <utility>

namespace qor::platform {

// Runs `work` (a callable taking nothing, returning nothing, not throwing) in a helper thread
// and returns its future, whose destructor waits for it. When no thread can be made, runs it
// at once in the calling thread and returns an empty future.
template <class Work>
std::future<void> in_background(Work work) {
  const auto task = std::make_shared<Work>(std::move(work));
  try {
    return std::async(std::launch::async, [task] { (*task)(); });
  } catch (const std::system_error&) {
    (*task)();
    return {};
  }
}

}  // namespace qor::platform

#endif  // QOR_PLATFORM_BACKGROUND_H_
