// The interruption hook of the core. Long-running work of the core (list alignments, file
// reading and writing, waiting for git) calls poll() every few milliseconds; poll() runs the
// check that the front end installed, at most once per kPollInterval on each thread. A check
// that wants the operation to stop throws Interrupted (or a class derived from it): the core
// catches nothing of it, every resource is released by its owner on the way out, and a merge
// stopped this way leaves every file as it was. The Python modules install a check that runs
// Python's signal handlers, so that Ctrl-C raises KeyboardInterrupt during native work.
#ifndef QOR_INTERRUPT_H_
#define QOR_INTERRUPT_H_

#include <atomic>
#include <chrono>
#include <exception>
#include <future>

namespace qor::interrupt {

// The least time between two runs of the check on one thread.
inline constexpr std::chrono::milliseconds kPollInterval{5};

// Thrown by a check to stop the operation. Not a qor::Error: no error handling of the core
// or of the command line takes it for a failure of the operation itself.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

// A check: returns to let the operation go on, throws Interrupted to stop it.
using Check = void (*)();

// Installs `check` for the whole process (nullptr removes it). Thread-safe.
void set_check(Check check);

// Throws Interrupted when a StopWhen of this thread sees its flag set; otherwise runs the
// installed check when kPollInterval has passed since its last run on this thread. Throws what
// the check throws.
void poll();

// Work done in a helper thread on behalf of another one: while a StopWhen lives, poll() on its
// thread also throws Interrupted once `*flag` is true, so that the thread that started the work
// can call it off (the installed check may see signals on one thread only). `flag` must outlive
// the object; one StopWhen per thread at a time.
class StopWhen {
 public:
  explicit StopWhen(const std::atomic<bool>* flag);
  StopWhen(const StopWhen&) = delete;
  StopWhen& operator=(const StopWhen&) = delete;
  ~StopWhen();
};

// Waits until `result` is ready, polling every kPollInterval. Throws what poll() throws.
template <class T>
void wait_polling(const std::future<T>& result) {
  while (result.wait_for(kPollInterval) != std::future_status::ready) poll();
}

}  // namespace qor::interrupt

#endif  // QOR_INTERRUPT_H_
