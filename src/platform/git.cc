// git started as any child process (platform/process.h), with the wording of its failures that
// every caller shares.
#include "platform/git.h"

#include "platform/process.h"
#include "qor/errors.h"

namespace qor::platform {

std::string chomp(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string git_command_line(const std::vector<std::string>& args) {
  std::string text = "git";
  for (const std::string& a : args) text += " " + a;
  return text;
}

GitRun run_git(const std::vector<std::string>& args, const std::vector<int>& passed,
               bool capture_output) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  GitRun run;
  int signal = 0;
  if (capture_output) {
    ProcessOutput p = run_process_output(argv);
    run = {p.exit_status, std::move(p.stdout_text), std::move(p.stderr_text)};
    signal = p.signal;
  } else {
    ProcessResult p = run_process(argv, passed);
    run = {p.exit_status, {}, std::move(p.stderr_text)};
    signal = p.signal;
  }
  if (signal != 0) {
    throw CommandError(git_command_line(args) + " was killed by signal " + std::to_string(signal));
  }
  return run;
}

GitRun run_git_with_input(const std::vector<std::string>& args, std::string_view input) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOutput p = run_process_output(argv, input);
  if (p.signal != 0) {
    throw CommandError(git_command_line(args) + " was killed by signal " +
                       std::to_string(p.signal));
  }
  return {p.exit_status, std::move(p.stdout_text), std::move(p.stderr_text)};
}

void git_failed(const std::vector<std::string>& args, const GitRun& run) {
  std::string message =
      git_command_line(args) + " failed with exit status " + std::to_string(run.status);
  std::string text = run.err;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!text.empty()) message += ": " + text;
  throw CommandError(message);
}

}  // namespace qor::platform
