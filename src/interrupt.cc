// The process-wide interruption check: an atomic function pointer, and a per-thread clock that
// keeps its runs kPollInterval apart whatever the rate of poll() calls; a thread doing work for
// another one also stops when that one sets the flag of its StopWhen.
#include "qor/interrupt.h"

#include <atomic>

namespace qor::interrupt {
namespace {

std::atomic<Check> installed{nullptr};
thread_local const std::atomic<bool>* stop_flag = nullptr;

}  // namespace

void set_check(Check check) { installed.store(check, std::memory_order_release); }

StopWhen::StopWhen(const std::atomic<bool>* flag) { stop_flag = flag; }

StopWhen::~StopWhen() { stop_flag = nullptr; }

void poll() {
  if (stop_flag != nullptr && stop_flag->load(std::memory_order_acquire)) throw Interrupted();
  const Check check = installed.load(std::memory_order_acquire);
  if (check == nullptr) return;
  thread_local std::chrono::steady_clock::time_point next_run{};
  const auto now = std::chrono::steady_clock::now();
  if (now < next_run) return;
  next_run = now + kPollInterval;
  check();
}

}  // namespace qor::interrupt
