// Child processes through posix_spawnp, with a pipe for standard error that is drained before
// waiting, so that a talkative child cannot block on a full pipe.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "qor/errors.h"

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

// Starts `argv` with `actions`; returns its process id. Throws IoError when it cannot start.
pid_t spawn(const std::vector<std::string>& argv, SpawnActions& actions) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  if (rc != 0) throw IoError(rc, argv[0]);
  return pid;
}

// Waits for `pid` and stores how it ended in `result`'s exit_status or signal.
template <class Result>
void wait_for(pid_t pid, const std::string& program, Result& result) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw IoError(errno, program);
  }
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  } else {
    result.exit_status = WEXITSTATUS(status);
  }
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv) {
  Pipe err;
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);

  const pid_t pid = spawn(argv, actions);
  err.close_write();

  ProcessResult result;
  char buf[4096];
  for (;;) {
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
  wait_for(pid, argv[0], result);
  return result;
}

ProcessOutput run_process_output(const std::vector<std::string>& argv) {
  Pipe out, err;
  SpawnActions actions;
  ::posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(actions.get(), out.write_end(), 1);
  ::posix_spawn_file_actions_adddup2(actions.get(), err.write_end(), 2);

  const pid_t pid = spawn(argv, actions);
  out.close_write();
  err.close_write();

  ProcessOutput result;
  struct pollfd fds[2] = {{out.read_end(), POLLIN, 0}, {err.read_end(), POLLIN, 0}};
  std::string* texts[2] = {&result.stdout_text, &result.stderr_text};
  int open_pipes = 2;
  char buf[65536];
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        texts[i]->append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll skips negative descriptors; the Pipe closes it
        --open_pipes;
      }
    }
  }
  wait_for(pid, argv[0], result);
  return result;
}

}  // namespace qor::platform
