// The source-text merge: three files in a private temporary directory, one `git merge-file`
// run, and the merged text read back as lines with its conflict labels replaced. The git runner
// tells git's report of conflicts (exit statuses 1 to 127) from a failure of git itself.
#include "qor/source_merge.h"

#include <cstdio>

#include "merge/source_queue.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::merge {
namespace {

std::string command_line(const std::vector<std::string>& argv) {
  std::string out;
  for (const std::string& a : argv) {
    if (!out.empty()) out += ' ';
    out += a;
  }
  return out;
}

// Text for a file as UTF-8; lone surrogates (which the values can hold) cannot be encoded.
std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  for (std::size_t i = 0; i + 2 < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto d = static_cast<unsigned char>(text[i + 1]);
    if (c == 0xED && d >= 0xA0) {
      const unsigned cp =
          0xD000u | ((d & 0x3Fu) << 6) | (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      char buf[120];
      std::snprintf(buf, sizeof buf,
                    "'utf-8' codec can't encode character '\\u%04x': surrogates not allowed", cp);
      throw ValueError(buf);
    }
  }
  return text;
}

// Lines of a text, each with its line end; "\r\n" and a lone "\r" end a line too, and every
// line end comes back as "\n".
std::vector<std::string> universal_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      line += '\n';
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

void replace_all(std::string& line, const std::string& from, const std::string& to) {
  for (std::size_t at = line.find(from); at != std::string::npos;
       at = line.find(from, at + to.size())) {
    line.replace(at, from.size(), to);
  }
}

// Largest file git merges as text.
constexpr std::size_t kGitTextLimit = std::size_t{1} << 30;

}  // namespace

void Git::merge_file(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"git", "merge-file"};
  argv.insert(argv.end(), args.begin(), args.end());
  platform::ProcessResult result;
  try {
    result = platform::run_process(argv);
  } catch (const IoError& e) {
    throw IoError(e.error_code(), argv[0],
                  "cannot run git: " + std::string(e.what()) +
                      " (git must be installed and on the PATH for source merges)");
  }
  if (result.signal != 0) {
    throw CommandError(command_line(argv) + " was killed by signal " +
                       std::to_string(result.signal));
  }
  if (result.exit_status == 0) return;
  if (result.exit_status < 128) {
    throw GitCommandError(command_line(argv), result.exit_status, result.stderr_text);
  }
  std::string message =
      command_line(argv) + " failed with exit status " + std::to_string(result.exit_status);
  if (!result.stderr_text.empty()) {
    std::string text = result.stderr_text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    message += ": " + text;
  }
  throw CommandError(message);
}

std::vector<std::string> merge_source(GitRunner& git, const std::vector<std::string>& current,
                                      const std::vector<std::string>& base,
                                      const std::vector<std::string>& incoming,
                                      const std::optional<std::string>& current_name,
                                      const std::optional<std::string>& incoming_name) {
  const platform::TempDir dir("qor-merge");
  return detail::merge_source_in(dir.path() + "/", git, current, base, incoming, current_name,
                                 incoming_name);
}

namespace detail {

std::vector<std::string> merge_source_in(const std::string& stem, GitRunner& git,
                                         const std::vector<std::string>& current,
                                         const std::vector<std::string>& base,
                                         const std::vector<std::string>& incoming,
                                         const std::optional<std::string>& current_name,
                                         const std::optional<std::string>& incoming_name) {
  const std::string current_text = joined(current);
  const std::string base_text = joined(base);
  const std::string incoming_text = joined(incoming);
  const std::string current_path = stem + "current";
  const std::string base_path = stem + "base";
  const std::string incoming_path = stem + "incoming";
  platform::write_file(current_path, current_text);
  platform::write_file(base_path, base_text);
  platform::write_file(incoming_path, incoming_text);
  try {
    git.merge_file({current_path, base_path, incoming_path});
  } catch (const GitCommandError&) {
    // git's report of conflicts: the merged file holds the conflict blocks.
  }
  const std::string merged = platform::read_file(current_path);
  json::check_utf8(merged, current_path);
  std::vector<std::string> lines = universal_lines(merged);
  for (std::string& line : lines) {
    if (current_name && !current_name->empty()) replace_all(line, current_path, *current_name);
    if (incoming_name && !incoming_name->empty()) replace_all(line, incoming_path, *incoming_name);
  }
  return lines;
}

std::optional<std::vector<std::string>> merged_without_git(
    const std::vector<std::string>& current, const std::vector<std::string>& base,
    const std::vector<std::string>& incoming) {
  const bool current_unchanged = current == base;
  if (!current_unchanged && incoming != base && incoming != current) return std::nullopt;
  const std::string current_text = joined(current);
  const std::string base_text = joined(base);
  const std::string incoming_text = joined(incoming);
  for (const std::string* text : {&current_text, &base_text, &incoming_text}) {
    if (text->size() >= kGitTextLimit || text->find('\0') != std::string::npos) {
      return std::nullopt;
    }
  }
  return universal_lines(current_unchanged ? incoming_text : current_text);
}

}  // namespace detail

}  // namespace qor::merge
