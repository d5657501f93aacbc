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

#include <atomic>
#include <cerrno>
#include <cstring>

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
  // End by the same signal, as if no handler had been installed.
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
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

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

}  // namespace qor::program
