// Clean-up on terminating signals (private to the core).
//
// Operations register what they create for a while (temporary files and directories, child
// processes, read-only mappings of input files) in a small fixed registry that a signal handler
// can read without allocating. The handlers are installed only by programs (qor/program.h): on
// SIGINT, SIGTERM or SIGHUP they pass the signal on to the registered children, remove the
// registered paths and end the process by the same signal; on a SIGBUS in a registered mapping,
// they do the same clean-up and end the process with a message. Without the handlers the
// registry costs a few stores.
#ifndef QOR_PLATFORM_SIGNALS_H_
#define QOR_PLATFORM_SIGNALS_H_

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
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

// A read-only mapping of a file, known to the programs' SIGBUS handler
// (program::guard_mapped_inputs()) while this lives. Should the file shrink under the mapping
// (or its device fail) while a thread reads it, the handler waits for a held write
// (TerminationHeld) to end, does the clean-up of a terminating signal (children sent SIGTERM,
// registered paths removed), prints the program's prefix and `lost_message` as one line on
// standard error and ends the process with status 1. A SIGBUS at any other address keeps its
// default action. Not registered when the handler is not installed or its registry is full:
// the caller then must not map the file. Neither copyable nor movable (the handler holds the
// message's address).
class MappingGuard {
 public:
  MappingGuard(const void* start, std::size_t length, std::string lost_message);
  MappingGuard(const MappingGuard&) = delete;
  MappingGuard& operator=(const MappingGuard&) = delete;
  ~MappingGuard();

  // Whether the programs' SIGBUS handler is installed (a guard can be registered).
  static bool installed();

  bool registered() const { return slot_ >= 0; }

 private:
  std::string message_;
  int slot_ = -1;
};

}  // namespace qor::platform

#endif  // QOR_PLATFORM_SIGNALS_H_
