// The source-text merge, and the choice of how each source merges: its result known without
// git, or three files in a private temporary directory (or, for the real git, in memory), one
// `git merge-file` run, and the merged text read back as lines with its conflict labels
// replaced. The git runner returns git's report of conflicts (exit statuses 1 to 127) and
// throws only when git itself fails.
#include "qor/source_merge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "keyed_hash.h"
#include "merge/source_merge.h"
#include "platform/file.h"
#include "platform/git.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::merge {
namespace {

// Text for a file as UTF-8; lone surrogates (which the values can hold) cannot be encoded.
std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  detail::check_writable(text);
  return text;
}

// Lines of a text, each with its line end; "\r\n" and a lone "\r" end a line too, and every
// line end comes back as "\n".
std::vector<std::string> universal_lines(const std::string& text) {
  std::vector<std::string> lines;
  const char* const data = text.data();
  const std::size_t n = text.size();
  // Without a '\r' anywhere, each line is a slice up to its '\n', cut where memchr finds it.
  const bool has_cr = std::memchr(data, '\r', n) != nullptr;
  std::size_t start = 0;
  while (start < n) {
    std::size_t end;
    if (has_cr) {
      end = start;
      while (end < n && data[end] != '\n' && data[end] != '\r') ++end;
    } else {
      const void* nl = std::memchr(data + start, '\n', n - start);
      end = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : n;
    }
    if (end == n) {
      lines.emplace_back(data + start, n - start);
      break;
    }
    std::string& line = lines.emplace_back();
    line.reserve(end - start + 1);
    line.append(data + start, end - start).push_back('\n');
    start = end + 1;
    if (data[end] == '\r' && start < n && data[start] == '\n') ++start;
  }
  return lines;
}

void replace_all(std::string& line, const std::string& from, const std::string& to) {
  for (std::size_t at = line.find(from); at != std::string::npos;
       at = line.find(from, at + to.size())) {
    line.replace(at, from.size(), to);
  }
}

// The merged text that git left, as lines with the labels `current_label` and `incoming_label`
// replaced by the names given (unless absent or empty). `current_label` names the text in
// errors.
std::vector<std::string> labelled_lines(const std::string& merged, const std::string& current_label,
                                        const std::string& incoming_label,
                                        const std::optional<std::string>& current_name,
                                        const std::optional<std::string>& incoming_name) {
  json::check_utf8(merged, current_label);
  std::vector<std::string> lines = universal_lines(merged);
  for (std::string& line : lines) {
    if (current_name && !current_name->empty()) replace_all(line, current_label, *current_name);
    if (incoming_name && !incoming_name->empty()) replace_all(line, incoming_label, *incoming_name);
  }
  return lines;
}

// Whether git takes `lines` for text whatever it checks: no NUL byte (git refuses a file with
// one in its first 8,000 bytes as binary) and no more than its size limit.
bool plain_for_git(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines) {
    if (line.find('\0') != std::string::npos) return false;
    size += line.size();
  }
  return size <= detail::kGitTextLimit;
}

// A text's lines as git's diff takes them: each ends after its "\n", and a last line without
// one is a line too.
std::vector<std::string_view> diff_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return lines;
}

// Where one side's lines differ from the base's, in base lines. git's diff compares only the
// lines between the longest common head and the longest common tail that does not overlap it,
// so every line it marks changed lies in [head, base size - tail) of the base, or in the like
// range of the side. It may then slide a run of changed lines over equal neighbours, which
// moves the run's ends in the base, but only over base lines equal to a line of the run, and
// so to a changed line of the ranges above: [reach_from, reach_to) bounds the base lines that
// git's changes of this side can touch, an insertion included at either end.
struct ChangedRange {
  std::size_t tail;  // lines at the end that the side and the base share
  std::size_t reach_from;
  std::size_t reach_to;
};

ChangedRange changed_range(const std::vector<std::string_view>& base,
                           const std::vector<std::string_view>& side) {
  const std::size_t shorter = std::min(base.size(), side.size());
  std::size_t head = 0;
  while (head < shorter && base[head] == side[head]) ++head;
  std::size_t tail = 0;
  while (tail < shorter - head && base[base.size() - 1 - tail] == side[side.size() - 1 - tail]) {
    ++tail;
  }
  // The lines are the input's: a keyed hash keeps lines built to share a bucket apart.
  std::unordered_set<std::string_view, qor::detail::KeyedStringHash> changed(
      base.begin() + static_cast<std::ptrdiff_t>(head),
      base.end() - static_cast<std::ptrdiff_t>(tail));
  changed.insert(side.begin() + static_cast<std::ptrdiff_t>(head),
                 side.end() - static_cast<std::ptrdiff_t>(tail));
  std::size_t from = head;
  while (from > 0 && changed.contains(base[from - 1])) --from;
  std::size_t to = base.size() - tail;
  while (to < base.size() && changed.contains(base[to])) ++to;
  return {tail, from, to};
}

// git merge-file's result when the two sides changed parts of the text that lie apart, known
// without running git; nothing otherwise. git merges two changes without conflict when one
// ends before the other begins with at least one base line between them, and then writes the
// first side's text up to the end of its change and the other side's from there. The ranges of
// changed_range() bound wherever git's diff puts the changes, so when they keep a base line
// between them, git finds no conflict and its text is the one written here.
std::optional<std::string> merged_apart(std::string_view current, std::string_view base,
                                        std::string_view incoming) {
  const std::vector<std::string_view> base_lines = diff_lines(base);
  const std::vector<std::string_view> current_lines = diff_lines(current);
  const std::vector<std::string_view> incoming_lines = diff_lines(incoming);
  const ChangedRange by_current = changed_range(base_lines, current_lines);
  const ChangedRange by_incoming = changed_range(base_lines, incoming_lines);
  // The first side's text up to the end of its change, then the second side's text from the
  // base line after the first side's change on (which the second side has as the base has it).
  const auto joined_at = [&](const std::vector<std::string_view>& first, const ChangedRange& range,
                             const std::vector<std::string_view>& second) {
    std::string text;
    for (std::size_t i = 0; i < first.size() - range.tail; ++i) text += first[i];
    for (std::size_t i = base_lines.size() - range.tail; i < second.size(); ++i) {
      text += second[i];
    }
    return text;
  };
  if (by_current.reach_to < by_incoming.reach_from) {
    return joined_at(current_lines, by_current, incoming_lines);
  }
  if (by_incoming.reach_to < by_current.reach_from) {
    return joined_at(incoming_lines, by_incoming, current_lines);
  }
  return std::nullopt;
}

}  // namespace

MergeFileStatus Git::merge_file(const std::vector<std::string>& args) {
  return detail::git_merge_file(args, {});
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

MergeFileStatus git_merge_file(const std::vector<std::string>& args,
                               const std::vector<int>& passed) {
  std::vector<std::string> git_args = {"merge-file"};
  git_args.insert(git_args.end(), args.begin(), args.end());
  platform::GitRun run;
  try {
    run = platform::run_git(git_args, passed);
  } catch (const IoError& e) {
    throw IoError(e.error_code(), "git",
                  "cannot run git: " + std::string(e.what()) +
                      " (git must be installed and on the PATH for source merges)");
  }
  // Exit statuses 1 to 127 are git's count of conflicts; from 128 on, git itself failed.
  if (run.status >= 128) platform::git_failed(git_args, run);
  return {run.status, std::move(run.err)};
}

void check_writable(std::string_view text) {
  // A surrogate's UTF-8 form starts with 0xED and a byte from 0xA0 on; 0xED is found by memchr.
  for (std::size_t i = 0; i + 2 < text.size(); ++i) {
    const void* lead = std::memchr(text.data() + i, 0xED, text.size() - 2 - i);
    if (lead == nullptr) return;
    i = static_cast<std::size_t>(static_cast<const char*>(lead) - text.data());
    const auto d = static_cast<unsigned char>(text[i + 1]);
    if (d >= 0xA0) {
      const unsigned cp =
          0xD000u | ((d & 0x3Fu) << 6) | (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      char buf[120];
      std::snprintf(buf, sizeof buf,
                    "'utf-8' codec can't encode character '\\u%04x': surrogates not allowed", cp);
      throw ValueError(buf);
    }
  }
}

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
  // Conflicts or none, the merged file holds git's text.
  git.merge_file({current_path, base_path, incoming_path});
  return labelled_lines(platform::read_file(current_path), current_path, incoming_path,
                        current_name, incoming_name);
}

bool mergeable_in_memory(const std::vector<std::string>& current,
                         const std::vector<std::string>& base,
                         const std::vector<std::string>& incoming) {
  return platform::MemoryFile::available() && plain_for_git(current) && plain_for_git(base) &&
         plain_for_git(incoming);
}

std::vector<std::string> merge_source_in_memory(const std::string& stem,
                                                const std::vector<std::string>& current,
                                                const std::vector<std::string>& base,
                                                const std::vector<std::string>& incoming,
                                                const std::optional<std::string>& current_name,
                                                const std::optional<std::string>& incoming_name) {
  const std::string current_label = stem + "current";
  const std::string base_label = stem + "base";
  const std::string incoming_label = stem + "incoming";
  const platform::MemoryFile current_file(joined(current), current_label);
  const platform::MemoryFile base_file(joined(base), base_label);
  const platform::MemoryFile incoming_file(joined(incoming), incoming_label);
  // Conflicts or none, the current file holds git's text.
  git_merge_file(
      {"-L", current_label, "-L", base_label, "-L", incoming_label, platform::passed_fd_path(0),
       platform::passed_fd_path(1), platform::passed_fd_path(2)},
      {current_file.fd(), base_file.fd(), incoming_file.fd()});
  return labelled_lines(current_file.read(), current_label, incoming_label, current_name,
                        incoming_name);
}

SourcePlan plan_source_merge(GitRunner* runner, const Lines& current, const Lines& base,
                             const Lines& incoming) {
  if (runner != nullptr) return {SourceWay::kFiles, std::nullopt};
  if (std::optional<Lines> merged = merged_without_git(current, base, incoming)) {
    return {SourceWay::kKnown, std::move(merged)};
  }
  if (mergeable_in_memory(current, base, incoming)) return {SourceWay::kMemory, std::nullopt};
  return {SourceWay::kFiles, std::nullopt};
}

Lines run_source_merge(const SourcePlan& plan, GitRunner* runner, const std::string& stem,
                       const Lines& current, const Lines& base, const Lines& incoming,
                       const std::optional<std::string>& current_name,
                       const std::optional<std::string>& incoming_name) {
  if (plan.way == SourceWay::kMemory) {
    return merge_source_in_memory(stem, current, base, incoming, current_name, incoming_name);
  }
  Git git;
  return merge_source_in(stem, runner != nullptr ? *runner : git, current, base, incoming,
                         current_name, incoming_name);
}

std::optional<Lines> merged_without_git(const Lines& current, const Lines& base,
                                        const Lines& incoming) {
  // Lines that cannot be written for git fail here as they would there.
  const std::string current_text = joined(current);
  const std::string base_text = joined(base);
  const std::string incoming_text = joined(incoming);
  if (!plain_for_git(current) || !plain_for_git(base) || !plain_for_git(incoming)) {
    return std::nullopt;
  }
  if (current_text == base_text) return universal_lines(incoming_text);
  if (incoming_text == base_text || incoming_text == current_text) {
    return universal_lines(current_text);
  }
  std::optional<std::string> merged = merged_apart(current_text, base_text, incoming_text);
  if (!merged) return std::nullopt;
  return universal_lines(*merged);
}

}  // namespace detail

}  // namespace qor::merge
