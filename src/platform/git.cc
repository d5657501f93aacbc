// git started as any child process (platform/process.h), with the wording of its failures that
// every caller shares.
#include "platform/git.h"

#include <algorithm>

#include "platform/process.h"
#include "qor/errors.h"

namespace qor::platform {

namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_object_id(std::string_view text) {
  return (text.size() == 40 || text.size() == 64) &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

std::vector<RawDiffEntry> raw_diff_entries(std::string_view out) {
  std::vector<RawDiffEntry> entries;
  while (out.starts_with(':')) {
    const std::size_t head_end = out.find('\0');
    if (head_end == std::string_view::npos) break;
    std::string_view head = out.substr(1, head_end - 1);
    out.remove_prefix(head_end + 1);
    const std::size_t path_end = out.find('\0');
    if (path_end == std::string_view::npos) break;
    RawDiffEntry e;
    e.path = std::string(out.substr(0, path_end));
    out.remove_prefix(path_end + 1);
    std::string* const fields[] = {&e.old_mode, &e.new_mode, &e.old_object, &e.new_object};
    std::size_t got = 0;
    for (; got < 4 && !head.empty(); ++got) {
      const std::size_t space = std::min(head.find(' '), head.size());
      *fields[got] = std::string(head.substr(0, space));
      head.remove_prefix(std::min(space + 1, head.size()));
    }
    if (got == 4) entries.push_back(std::move(e));
  }
  return entries;
}

CatFileBatch cat_file_batch(const std::vector<std::string>& names) {
  CatFileBatch batch;
  if (names.empty()) {
    batch.output = std::make_shared<const std::string>();
    return batch;
  }
  std::string input;
  for (const std::string& name : names) input += name + "\n";
  batch.run = run_git_with_input({"cat-file", "--batch"}, input);
  batch.output = std::make_shared<const std::string>(std::move(batch.run.out));
  batch.run.out.clear();
  if (batch.run.status != 0) return batch;
  std::string_view out = *batch.output;
  for (const std::string& name : names) {
    // "<object id> <type> <size>\n<contents>\n", else "<name> <reason>\n".
    const std::size_t end = out.find('\n');
    if (end == std::string_view::npos) {
      throw CommandError("git cat-file --batch ended early, at object " + name);
    }
    const std::string_view header = out.substr(0, end);
    out.remove_prefix(end + 1);
    const std::size_t first = header.find(' '), last = header.rfind(' ');
    CatFileBatch::Object object;
    if (first != std::string_view::npos && first != last && is_object_id(header.substr(0, first)) &&
        all_digits(header.substr(last + 1))) {
      const std::size_t size = std::stoull(std::string(header.substr(last + 1)));
      if (out.size() < size + 1) {
        throw CommandError("git cat-file --batch ended early, at object " + name);
      }
      object.type = std::string(header.substr(first + 1, last - first - 1));
      object.content = out.substr(0, size);
      out.remove_prefix(size + 1);
    } else {
      object.reason = std::string(header.substr(last == std::string_view::npos ? 0 : last + 1));
    }
    batch.objects.push_back(std::move(object));
  }
  return batch;
}

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
