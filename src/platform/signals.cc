// The clean-up registry and its signal handler. The registry is fixed arrays of atomics and
// character buffers: registering claims a free slot (compare-and-swap), fills it and publishes
// it; the handler reads only published slots and calls only async-signal-safe functions. Holds
// of the terminating signals and the handler's decision to end the process share one atomic
// word, so that a signal is either recorded for the end of the holds or ends the process before
// any hold begins, never lost between the two.
#include "platform/signals.h"

#include "qor/program.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace qor::platform {
namespace {

constexpr int kPathSlots = 32;
constexpr int kChildSlots = 8;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

enum SlotState : int { kFree, kFilling, kPublished };

struct PathSlot {
  std::atomic<int> state{kFree};
  CleanupPath::Kind kind = CleanupPath::Kind::kFile;
  char path[PATH_MAX];
};

PathSlot path_slots[kPathSlots];
std::atomic<pid_t> child_slots[kChildSlots];

constexpr int kMappingSlots = 8;

struct MappingSlot {
  std::atomic<int> state{kFree};
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  const char* message = nullptr;
  std::size_t message_size = 0;
};

MappingSlot mapping_slots[kMappingSlots];
// Set once the SIGBUS handler is installed; its prefix ("<program>: error: ") is fixed by then.
std::atomic<bool> mappings_guarded{false};
char lost_prefix[64];
std::size_t lost_prefix_size = 0;

// The holds of the terminating signals: their count (low bits), the signal that came meanwhile
// (kHeldShift up), and whether the handler is ending the process (kEnding).
constexpr unsigned kHoldCount = 0xFFFF;
constexpr unsigned kHeldShift = 16;
constexpr unsigned kEnding = 1u << 30;
std::atomic<unsigned> hold_state{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

// Unlinks the entries of the directory `path`, then removes it; async-signal-safe.
void remove_flat_directory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    alignas(8) char buf[4096];
    for (;;) {
      const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buf + at);
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
          ::unlinkat(fd, name, 0);
        }
        at += entry->d_reclen;
      }
    }
    ::close(fd);
  }
  ::rmdir(path);
}

// Waits up to about a second for `pid` to end; async-signal-safe.
void reap_briefly(pid_t pid) {
  const struct timespec step = {0, 10 * 1000 * 1000};
  for (int i = 0; i < 100; ++i) {
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    ::nanosleep(&step, nullptr);
  }
}

// Sends `sig` to the registered children (waiting briefly for each), then removes the registered
// paths; async-signal-safe.
void clean_up(int sig) {
  for (auto& slot : child_slots) {
    const pid_t pid = slot.load(std::memory_order_acquire);
    if (pid > 0) {
      ::kill(pid, sig);
      reap_briefly(pid);
    }
  }
  for (PathSlot& slot : path_slots) {
    if (slot.state.load(std::memory_order_acquire) != kPublished) continue;
    if (slot.kind == CleanupPath::Kind::kFile) {
      ::unlink(slot.path);
    } else {
      remove_flat_directory(slot.path);
    }
  }
}

// Writes `n` bytes to standard error, as far as it takes them; async-signal-safe.
void write_error(const char* text, std::size_t n) {
  while (n > 0) {
    const ssize_t done = ::write(STDERR_FILENO, text, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    text += done;
    n -= static_cast<std::size_t>(done);
  }
}

void on_terminating_signal(int sig) {
  // While the signals are held, only recorded (the first one counts); else the process ends.
  unsigned state = hold_state.load(std::memory_order_acquire);
  for (;;) {
    if ((state & kEnding) != 0) break;
    const bool held = (state & kHoldCount) != 0;
    const unsigned next = !held ? state | kEnding
                          : (state >> kHeldShift & 0xFF) != 0
                              ? state
                              : state | (unsigned(sig) << kHeldShift);
    if (hold_state.compare_exchange_weak(state, next, std::memory_order_acq_rel)) {
      if (held) return;
      break;
    }
  }
  clean_up(sig);
  // End by the same signal, as if no handler had been installed.
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
}

void on_bus_error(int sig, siginfo_t* info, void* /*context*/) {
  const MappingSlot* lost = nullptr;
  if (info->si_code > 0) {  // raised by the memory system, not sent
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (const MappingSlot& slot : mapping_slots) {
      if (slot.state.load(std::memory_order_acquire) == kPublished && slot.start <= at &&
          at < slot.end) {
        lost = &slot;
        break;
      }
    }
  }
  if (lost == nullptr) {
    // Not a file of ours: the default action, as without the handler (a fault faults again on
    // return, a sent signal is sent again).
    ::signal(sig, SIG_DFL);
    if (info->si_code <= 0) ::raise(sig);
    return;
  }
  // A write that must not stop halfway finishes first (it does not read the mapped files; the
  // thread that waits for this one does so after it). Then this thread ends the process, unless
  // another thread's handler already does.
  const struct timespec step = {0, 10 * 1000 * 1000};
  unsigned state = hold_state.load(std::memory_order_acquire);
  for (int waits = 0;;) {
    if ((state & kEnding) != 0) {
      for (;;) ::nanosleep(&step, nullptr);
    }
    if ((state & kHoldCount) != 0 && waits < 1000) {
      ::nanosleep(&step, nullptr);
      ++waits;
      state = hold_state.load(std::memory_order_acquire);
      continue;
    }
    if (hold_state.compare_exchange_weak(state, state | kEnding, std::memory_order_acq_rel)) break;
  }
  clean_up(SIGTERM);
  write_error(lost_prefix, lost_prefix_size);
  write_error(lost->message, lost->message_size);
  write_error("\n", 1);
  ::_exit(1);
}

bool has_default_action(int sig) {
  struct sigaction current {};
  return ::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
         (current.sa_flags & SA_SIGINFO) == 0;
}

}  // namespace

CleanupSignalsBlocked::CleanupSignalsBlocked() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : kCleanupSignals) sigaddset(&block, sig);
  ::pthread_sigmask(SIG_BLOCK, &block, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() {
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

TerminationHeld::TerminationHeld() {
  unsigned state = hold_state.load(std::memory_order_acquire);
  for (;;) {
    if ((state & kEnding) != 0) {
      // Another thread's handler is ending the process: it ends it shortly.
      const struct timespec step = {0, 10 * 1000 * 1000};
      for (;;) ::nanosleep(&step, nullptr);
    }
    if (hold_state.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel)) return;
  }
}

TerminationHeld::~TerminationHeld() {
  unsigned state = hold_state.load(std::memory_order_acquire);
  unsigned next;
  do {
    // The last hold takes the recorded signal with it.
    next = (state & kHoldCount) == 1 ? (state - 1) & ~(0xFFu << kHeldShift) : state - 1;
  } while (!hold_state.compare_exchange_weak(state, next, std::memory_order_acq_rel));
  const int held = (state & kHoldCount) == 1 ? static_cast<int>(state >> kHeldShift & 0xFF) : 0;
  if (held != 0) {
    // The thread's own mask first, so that the signal ends the process in this thread.
    ::pthread_sigmask(SIG_SETMASK, &blocked_.previous(), nullptr);
    on_terminating_signal(held);
  }
}

CleanupPath::CleanupPath(Kind kind, const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  for (int i = 0; i < kPathSlots; ++i) {
    int expected = kFree;
    if (!path_slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    path_slots[i].kind = kind;
    std::memcpy(path_slots[i].path, path.c_str(), path.size() + 1);
    path_slots[i].state.store(kPublished, std::memory_order_release);
    slot_ = i;
    return;
  }
}

CleanupPath& CleanupPath::operator=(CleanupPath&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = other.slot_;
    other.slot_ = -1;
  }
  return *this;
}

void CleanupPath::release() {
  if (slot_ >= 0) path_slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

bool MappingGuard::installed() { return mappings_guarded.load(std::memory_order_acquire); }

MappingGuard::MappingGuard(const void* start, std::size_t length, std::string lost_message)
    : message_(std::move(lost_message)) {
  if (!installed()) return;
  for (int i = 0; i < kMappingSlots; ++i) {
    MappingSlot& slot = mapping_slots[i];
    int expected = kFree;
    if (!slot.state.compare_exchange_strong(expected, kFilling)) continue;
    slot.start = reinterpret_cast<std::uintptr_t>(start);
    slot.end = slot.start + length;
    slot.message = message_.data();
    slot.message_size = message_.size();
    slot.state.store(kPublished, std::memory_order_release);
    slot_ = i;
    return;
  }
}

MappingGuard::~MappingGuard() {
  if (slot_ >= 0) mapping_slots[slot_].state.store(kFree, std::memory_order_release);
}

CleanupChild::CleanupChild(pid_t pid) {
  for (int i = 0; i < kChildSlots; ++i) {
    pid_t expected = 0;
    if (child_slots[i].compare_exchange_strong(expected, pid)) {
      slot_ = i;
      return;
    }
  }
}

CleanupChild::~CleanupChild() {
  if (slot_ >= 0) child_slots[slot_].store(0, std::memory_order_release);
}

}  // namespace qor::platform

namespace qor::program {

using platform::has_default_action;
using platform::on_terminating_signal;

void install_signal_cleanup(bool keep_other_handlers) {
  struct sigaction action {};
  action.sa_handler = &on_terminating_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : platform::kCleanupSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : platform::kCleanupSignals) {
    if (!keep_other_handlers || has_default_action(sig)) ::sigaction(sig, &action, nullptr);
  }
  for (int sig : {SIGPIPE, SIGXFSZ}) {
    if (!keep_other_handlers || has_default_action(sig)) ::signal(sig, SIG_IGN);
  }
}

void guard_mapped_inputs(std::string_view error_prefix) {
  if (platform::mappings_guarded.load(std::memory_order_acquire)) return;
  struct sigaction action {};
  action.sa_sigaction = &platform::on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (int sig : platform::kCleanupSignals) sigaddset(&action.sa_mask, sig);
  const std::size_t n = std::min(error_prefix.size(), sizeof platform::lost_prefix);
  std::memcpy(platform::lost_prefix, error_prefix.data(), n);
  platform::lost_prefix_size = n;
  if (::sigaction(SIGBUS, &action, nullptr) == 0) {
    platform::mappings_guarded.store(true, std::memory_order_release);
  }
}

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    // Read-only for all three: input reads nothing, and a write to a closed output still fails
    // (EBADF), as it would have on the closed descriptor, instead of vanishing.
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
  }
}

}  // namespace qor::program
