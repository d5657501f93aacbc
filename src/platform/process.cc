// Child processes through posix_spawnp, with a pipe for standard error that is drained before
// waiting, so that a talkative child cannot block on a full pipe.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/signals.h"
#include "qor/errors.h"
#include "qor/interrupt.h"

extern char** environ;

namespace qor::platform {
namespace {

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) throw IoError(errno, "pipe");
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() { close_fd(fds_[0]); }
  void close_write() { close_fd(fds_[1]); }

 private:
  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attr_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

// Ends the child (if it still runs) and waits for it, when the wait for it is abandoned.
class ChildGuard {
 public:
  explicit ChildGuard(pid_t pid) : pid_(pid) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  // The child was waited for.
  void reaped() { pid_ = 0; }

 private:
  pid_t pid_;
};

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv) {
  Pipe err;
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The child starts with the signal mask the caller had and the default actions of the
  // signals a program may have set to be ignored (which exec would keep).
  SpawnAttributes attributes;
  std::optional<CleanupChild> registered;
  pid_t pid = 0;
  {
    const CleanupSignalsBlocked blocked;
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&defaults, sig);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    ::posix_spawnattr_setsigmask(attributes.get(), &blocked.previous());
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int rc =
        ::posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
    if (rc != 0) throw IoError(rc, argv[0]);
    registered.emplace(pid);
  }
  ChildGuard guard(pid);
  err.close_write();

  // The child's standard error is read as it comes; between reads, the interruption check runs,
  // so that a caller can stop waiting (the guard then ends the child).
  ProcessResult result;
  char buf[4096];
  for (;;) {
    struct pollfd ready = {err.read_end(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(interrupt::kPollInterval.count()));
    interrupt::poll();
    if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
    const ssize_t n = ::read(err.read_end(), buf, sizeof buf);
    if (n > 0) {
      // Keep a bounded amount: the text only serves an error message.
      if (result.stderr_text.size() < 65536)
        result.stderr_text.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw IoError(errno, argv[0]);
  }
  guard.reaped();
  registered.reset();
  interrupt::poll();
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  } else {
    result.exit_status = WEXITSTATUS(status);
  }
  return result;
}

}  // namespace qor::platform
