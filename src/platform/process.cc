// Child processes through posix_spawnp, with pipes that are drained before waiting, so that a
// talkative child cannot block on a full pipe. A child starts with the caller's signal mask, is
// known to the signal clean-up while it runs, and is ended when its caller stops waiting.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fd.h"
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

// A started child process: spawned with the caller's signal mask and the default actions of the
// signals a program may have set to be ignored (which exec would keep), registered with the
// signal clean-up while it runs, and ended (SIGTERM, then waited for) when it is abandoned
// before wait().
class Child {
 public:
  // Starts `argv` with `actions`. Throws IoError when it cannot start.
  Child(const std::vector<std::string>& argv, SpawnActions& actions) : program_(argv.at(0)) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    SpawnAttributes attributes;
    const CleanupSignalsBlocked blocked;
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&defaults, sig);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    ::posix_spawnattr_setsigmask(attributes.get(), &blocked.previous());
    ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int rc =
        ::posix_spawnp(&pid_, args[0], actions.get(), attributes.get(), args.data(), environ);
    if (rc != 0) throw IoError(rc, program_);
    registered_.emplace(pid_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  // Waits for the child and stores how it ended in `result`'s exit_status or signal.
  template <class Result>
  void wait(Result& result) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) throw IoError(errno, program_);
    }
    pid_ = 0;
    registered_.reset();
    interrupt::poll();
    if (WIFSIGNALED(status)) {
      result.signal = WTERMSIG(status);
    } else {
      result.exit_status = WEXITSTATUS(status);
    }
  }

 private:
  std::string program_;
  pid_t pid_ = 0;
  std::optional<CleanupChild> registered_;
};

// write() to a pipe whose reader may be gone, without SIGPIPE ending a program that does not
// ignore it: the signal is held off in this thread during the write, and one that the write
// raised is taken back before it is let through.
ssize_t write_to_pipe(int fd, std::string_view text) {
  sigset_t pipe_signal, previous;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int error = errno;
  if (n < 0 && error == EPIPE && !was_pending) {
    const struct timespec now {};
    while (::sigtimedwait(&pipe_signal, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return n;
}

// Reads the pipes `fds` until each is closed, appending what comes to `texts` (at most
// `limit` bytes each), while `input` is written to the pipe `in` (when given, non-blocking),
// which is closed once all of it is written or the child stops reading; between reads, the
// interruption check runs, so that a caller can stop waiting.
void drain(std::vector<int> fds, const std::vector<std::string*>& texts, std::size_t limit,
           Pipe* in = nullptr, std::string_view input = {}) {
  std::vector<struct pollfd> polled;
  for (int fd : fds) polled.push_back({fd, POLLIN, 0});
  std::size_t open_pipes = fds.size();
  if (in != nullptr && input.empty()) in->close_write();
  const bool writing = in != nullptr && !input.empty();
  if (writing) polled.push_back({in->write_end(), POLLOUT, 0});
  char buf[65536];
  while (open_pipes > 0) {
    const int ready =
        ::poll(polled.data(), polled.size(), static_cast<int>(interrupt::kPollInterval.count()));
    interrupt::poll();
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0) break;
    if (writing && polled.back().fd >= 0 && polled.back().revents != 0) {
      const ssize_t n = write_to_pipe(polled.back().fd, input);
      if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
      if (input.empty() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        polled.back().fd = -1;
        in->close_write();  // the child reads the end of its input
      }
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      const ssize_t n = ::read(polled[i].fd, buf, sizeof buf);
      if (n > 0) {
        if (texts[i]->size() < limit) texts[i]->append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        polled[i].fd = -1;  // poll skips negative descriptors; the Pipe closes it
        --open_pipes;
      }
    }
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv) { return run_process(argv, {}); }

std::vector<std::string> browser_command(const std::string& target) {
  if (const char* browser = std::getenv("BROWSER"); browser != nullptr && *browser != '\0') {
    // As other programs read it: a list separated by colons, of which the first is taken; "%s"
    // stands for the target, which otherwise goes last. The target itself stays an argument.
    std::string command(browser);
    command = command.substr(0, command.find(':'));
    std::string line;
    bool placed = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
      if (command.compare(i, 2, "%s") == 0) {
        line += "\"$1\"";
        placed = true;
        ++i;
      } else {
        line += command[i];
      }
    }
    if (!placed) line += " \"$1\"";
    if (!command.empty()) return {"/bin/sh", "-c", line, "sh", target};
  }
  return {"xdg-open", target};
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<int>& passed) {
  Pipe err;
  // A descriptor to pass that sits where the child's standard ones or an earlier passed one go
  // would be overwritten before its turn: such ones are handed over from a copy above them.
  const int first_free = 3 + static_cast<int>(passed.size());
  std::vector<int> sources;
  std::vector<Fd> copies;
  copies.reserve(passed.size());
  for (int fd : passed) {
    if (fd < first_free) {
      copies.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, first_free));
      if (copies.back().get() < 0) throw IoError(errno, argv.at(0));
      fd = copies.back().get();
    }
    sources.push_back(fd);
  }
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    ::posix_spawn_file_actions_adddup2(actions.get(), sources[i], 3 + static_cast<int>(i));
  }
  Child child(argv, actions);
  err.close_write();
  ProcessResult result;
  // A bounded amount: the text only serves an error message.
  drain({err.read_end()}, {&result.stderr_text}, 65536);
  child.wait(result);
  return result;
}

std::string passed_fd_path(std::size_t index) {
  return "/proc/self/fd/" + std::to_string(3 + index);
}

ProcessOutput run_process_output(const std::vector<std::string>& argv) {
  return run_process_output(argv, std::nullopt);
}

ProcessOutput run_process_output(const std::vector<std::string>& argv,
                                 std::optional<std::string_view> input) {
  Pipe out, err;
  std::optional<Pipe> in;
  SpawnActions actions;
  if (input) {
    in.emplace();
    if (::fcntl(in->write_end(), F_SETFL, O_NONBLOCK) != 0) throw IoError(errno, "pipe");
    ::posix_spawn_file_actions_adddup2(actions.get(), in->read_end(), 0);
  } else {
    ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  }
  ::posix_spawn_file_actions_adddup2(actions.get(), out.write_end(), 1);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);
  Child child(argv, actions);
  out.close_write();
  err.close_write();
  if (in) in->close_read();
  ProcessOutput result;
  drain({out.read_end(), err.read_end()}, {&result.stdout_text, &result.stderr_text},
        std::string().max_size(), in ? &*in : nullptr, input.value_or(std::string_view()));
  child.wait(result);
  return result;
}

}  // namespace qor::platform
