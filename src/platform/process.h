// Running a child process (private to the core).
#ifndef QOR_PLATFORM_PROCESS_H_
#define QOR_PLATFORM_PROCESS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::platform {

struct ProcessResult {
  int exit_status = 0;  // when the process exited
  int signal = 0;       // when a signal ended it (then exit_status is meaningless)
  std::string stderr_text;
};

// Starts `argv[0]` (looked up on PATH) with the arguments `argv`, no shell, in the current
// working directory and environment, with standard input and output on /dev/null; collects its
// standard error and waits for it. Uses posix_spawnp, never fork: forking a process that holds
// a large document would copy its page tables. Throws IoError (errno, argv[0]) when the program
// cannot be started.
ProcessResult run_process(const std::vector<std::string>& argv);

// run_process() with the open descriptors `passed` handed to the child, in order, as its
// descriptors 3, 4 and so on, which it opens by the paths passed_fd_path(0), passed_fd_path(1)
// and so on. The caller's descriptors are not changed.
ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<int>& passed);

// The command that opens `target` (a file or a URL) in the user's browser: the shell command in
// $BROWSER (the first of a list separated by colons), which may hold arguments of its own, given
// `target` as its argument (never as shell text) where it says "%s", else last; else xdg-open.
std::vector<std::string> browser_command(const std::string& target);

// The path by which a child of run_process() opens the descriptor passed to it at `index`.
std::string passed_fd_path(std::size_t index);

// What a child process printed, and how it ended.
struct ProcessOutput {
  int exit_status = 0;  // when the process exited
  int signal = 0;       // when a signal ended it
  std::string stdout_text;
  std::string stderr_text;
};

// run_process() that collects the whole standard output as well. Both pipes are drained
// together, so a child that fills one while the other waits cannot block.
ProcessOutput run_process_output(const std::vector<std::string>& argv);

// run_process_output() with `input` written to the child's standard input (a pipe, closed once
// all of it is written; nothing more is written once the child closes it) while its output is
// read; without `input`, standard input is /dev/null.
ProcessOutput run_process_output(const std::vector<std::string>& argv,
                                 std::optional<std::string_view> input);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_PROCESS_H_
