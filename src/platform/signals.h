// Clean-up on terminating signals (private to the core).
//
// Operations register what they create for a while (temporary files and directories, child
// processes) in a small fixed registry that a signal handler can read without allocating. The
// handlers are installed only by programs (qor/program.h): on SIGINT, SIGTERM or SIGHUP they
// pass the signal on to the registered children, remove the registered paths and end the
// process by the same signal. Without the handlers the registry costs a few stores.
#ifndef QOR_PLATFORM_SIGNALS_H_
#define QOR_PLATFORM_SIGNALS_H_

#include <signal.h>
#include <sys/types.h>

#include <string>

namespace qor::platform {

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread while it lives, so that creating a
// temporary file and registering it happen as one step for the handlers.
class CleanupSignalsBlocked {
 public:
  CleanupSignalsBlocked();
  CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
  CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;
  ~CleanupSignalsBlocked();

  // The signal mask the thread had before (for a child process to start with).
  const sigset_t& previous() const { return previous_; }

 private:
  sigset_t previous_;
};

// Holds off the terminating signals for the whole process while it lives, for a write that must
// not stop halfway: the calling thread blocks SIGINT, SIGTERM and SIGHUP, and the programs'
// handler (qor/program.h), run in any other thread meanwhile, only records the signal. When the
// last hold ends, a signal that came meanwhile acts as it would have: clean-up, then the end of
// the process by that signal. A hold taken while the handler is already ending the process
// waits for that end. Without the programs' handler, only the calling thread blocks them.
// Nothing stops SIGKILL.
class TerminationHeld {
 public:
  TerminationHeld();
  TerminationHeld(const TerminationHeld&) = delete;
  TerminationHeld& operator=(const TerminationHeld&) = delete;
  ~TerminationHeld();

 private:
  CleanupSignalsBlocked blocked_;
};

// A registered path: a file (unlinked by the handler) or a directory (its entries unlinked, then
// the directory removed; entries of subdirectories are not). Registered from construction to
// destruction; a path too long for the registry, or a registry full, goes unregistered (the
// operation still cleans up after itself; only a signal then leaves it behind). Move-only.
class CleanupPath {
 public:
  enum class Kind { kFile, kDirectory };
  CleanupPath() = default;
  CleanupPath(Kind kind, const std::string& path);
  CleanupPath(CleanupPath&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }
  CleanupPath& operator=(CleanupPath&& other) noexcept;
  ~CleanupPath() { release(); }

  // Unregisters now.
  void release();

 private:
  int slot_ = -1;
};

// A registered child process, which the handler sends the terminating signal to.
class CleanupChild {
 public:
  explicit CleanupChild(pid_t pid);
  CleanupChild(const CleanupChild&) = delete;
  CleanupChild& operator=(const CleanupChild&) = delete;
  ~CleanupChild();

 private:
  int slot_ = -1;
};

}  // namespace qor::platform

#endif  // QOR_PLATFORM_SIGNALS_H_
