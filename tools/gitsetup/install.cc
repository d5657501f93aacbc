// install, uninstall and status. Every change goes through `git config` or through a whole-file
// replacement of an attribute file or hook, and is reported as one line. What install writes
// (keys and the values they held, files, directories, the attribute line, hooks) is recorded
// in the [qorgit] section of the scope's own configuration, so that uninstall removes exactly
// that and leaves the rest alone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "gitsetup/git.h"
#include "gitsetup/gitsetup.h"
#include "platform/file.h"
#include "platform/temp_dir.h"
#include "qor/errors.h"

namespace qor::gitsetup {
namespace fs = std::filesystem;
using detail::Config;

namespace {

constexpr const char* kDriverName = "pipeline notebook merge";
constexpr std::string_view kHookMarker = "# qorgit hook";
// The hooks that guard commits: `git commit`, and `git merge` when it commits by itself.
constexpr const char* kHookNames[] = {"pre-commit", "pre-merge-commit"};
constexpr const char* kChainedSuffix = ".qorgit-chained";

// The [qorgit] bookkeeping keys: what install wrote, so that uninstall removes only that.
constexpr const char* kCreatedKey = "qorgit.created";        // files and directories, in order
constexpr const char* kSetKey = "qorgit.set";                // configuration keys it set
constexpr const char* kPreviousKey = "qorgit.previous";      // "key=value" they held before
constexpr const char* kAttributesKey = "qorgit.attributes";  // the file it added the line to
constexpr const char* kAttributesFileKey = "qorgit.attributesfile";  // core.attributesFile set
constexpr const char* kHookKey = "qorgit.hook";                      // hooks it installed
constexpr const char* kLineKey = "qorgit.attributeline";             // attribute lines it added
// The choices of the last install, which the next one keeps unless told otherwise.
constexpr const char* kConflictExitKey = "qorgit.conflictexit";  // "true" or "false"
constexpr const char* kLayoutKey = "qorgit.layout";              // "default" or "jupyter"
constexpr const char* kPatternKey = "qorgit.pattern";            // the attribute patterns
constexpr const char* kSharedKey = "qorgit.shared";              // "true" or "false"
constexpr const char* kMergetoolKey = "qorgit.mergetool";        // "true": the tool is set
constexpr const char* kDifftoolKey = "qorgit.difftool";  // "text" or "html": the tool is set
constexpr const char* kRecordKeys[] = {
    kCreatedKey, kSetKey,       kPreviousKey,     kAttributesKey, kAttributesFileKey,
    kHookKey,    kLineKey,      kConflictExitKey, kLayoutKey,     kPatternKey,
    kSharedKey,  kMergetoolKey, kDifftoolKey};
// The attributes the lines give, and the line of installs that recorded no lines of their own.
constexpr std::string_view kMergeAttribute = "merge=qormerge";
constexpr std::string_view kDiffAttribute = "diff=qordiff";

constexpr const char* kDriverKeys[] = {"merge.qormerge.name", "merge.qormerge.driver",
                                       "merge.qormerge.recursive", "diff.qordiff.textconv",
                                       "diff.qordiff.cachetextconv"};

bool lexists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_empty_file(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

std::string parent_of(const std::string& path) { return fs::path(path).parent_path().string(); }

// Creates `dir` and its missing parents; returns those it created, outermost first.
std::vector<std::string> make_directories(const std::string& dir) {
  std::vector<std::string> missing;
  for (fs::path p(dir); !p.empty() && !lexists(p.string()); p = p.parent_path()) {
    missing.push_back(p.string());
    if (p == p.parent_path()) break;
  }
  std::reverse(missing.begin(), missing.end());
  for (const std::string& d : missing) {
    if (::mkdir(d.c_str(), 0777) != 0) throw IoError(errno, d);
  }
  return missing;
}

void rename_file(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) throw IoError(errno, from);
}

void remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) throw IoError(errno, path);
}

// Splits `text` into lines without their line ends.
std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool has_line(std::string_view text, std::string_view wanted) {
  const auto lines = lines_of(text);
  return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// `text` with the first line equal to `wanted` removed, together with its line end (or, for a
// last line without one, with the line end before it): the exact inverse of appending it.
std::optional<std::string> without_line(const std::string& text, std::string_view wanted) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    const bool terminated = end != std::string::npos;
    if (!terminated) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line == wanted) {
      if (terminated) return text.substr(0, start) + text.substr(end + 1);
      return text.substr(0, start == 0 ? 0 : start - 1);
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::string hook_script(const std::string& qorgit) {
  return "#!/bin/sh\n" + std::string(kHookMarker) +
         ": refuses a commit while a staged notebook holds unresolved merge\n"
         "# conflicts (conflict blocks in sources, names marked \"<<< \" or \">>> \"). Written by\n"
         "# `qorgit install --hook`; `qorgit uninstall` removes it and puts back the hook it runs\n"
         "# first. Skip it for one commit with `git commit --no-verify`.\n"
         "chained=\"$0" +
         kChainedSuffix +
         "\"\n"
         "if [ -x \"$chained\" ]; then\n"
         "  \"$chained\" \"$@\" || exit $?\n"
         "fi\n"
         "qorgit=" +
         detail::shell_quote(qorgit) +
         "\n"
         "# Without qorgit (uninstalled before `qorgit uninstall` ran) nothing can be checked:\n"
         "# commits go through, with a word.\n"
         "if [ ! -x \"$qorgit\" ]; then\n"
         "  echo \"qorgit: $qorgit is gone: notebooks are not checked for merge conflicts"
         " (run \\`qorgit uninstall\\` to remove this hook)\" >&2\n"
         "  exit 0\n"
         "fi\n"
         "\"$qorgit\" check --quiet || {\n"
         "  status=$?\n"
         "  echo \"qorgit: commit refused: resolve the conflicts listed above, stage the notebooks"
         " again and commit\" >&2\n"
         "  exit $status\n"
         "}\n";
}

// The text of the hook at `path` when qorgit wrote it; nothing for any other file.
std::optional<std::string> our_hook_text(const std::string& path) {
  try {
    std::string text = platform::read_file(path);
    if (text.find(kHookMarker) != std::string::npos) return text;
  } catch (const IoError&) {
    // a dangling link or an unreadable file is someone else's
  }
  return std::nullopt;
}

bool is_our_hook(const std::string& path) { return our_hook_text(path).has_value(); }

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Writes configuration keys and keeps the [qorgit] bookkeeping of what was written.
class Record {
 public:
  explicit Record(Config& config) : config_(config) {}

  // Gives `key` the value `value` unless it holds just that; the first time, notes the key and
  // the values it held. Returns whether anything changed.
  bool set_key(const std::string& key, const std::string& value) {
    const std::vector<std::string> now = config_.get_all(key);
    if (now.size() == 1 && now[0] == value) return false;
    if (!contains(config_.get_all(kSetKey), key)) {
      config_.add(kSetKey, key);
      for (const std::string& old : now) config_.add(kPreviousKey, key + "=" + old);
    }
    config_.set(key, value);
    return true;
  }
  // Adds `value` to the values of `key` unless it is among them.
  void add(const char* key, const std::string& value) {
    if (!contains(config_.get_all(key), value)) config_.add(key, value);
  }
  void created(const std::string& path) { add(kCreatedKey, path); }
  void note(const char* key, const std::string& value) {
    if (config_.get(key) != value) config_.set(key, value);
  }

 private:
  Config& config_;
};

std::string default_attributes_file() {
  const auto xdg = detail::env("XDG_CONFIG_HOME");
  const auto home = detail::env("HOME");
  if (!xdg && !home) throw CommandError("HOME is not set: the global attributes file has no place");
  return detail::absolute_path((xdg ? *xdg : *home + "/.config") + "/git/attributes");
}

// The core.attributesFile git uses outside a repository (global, then system, included files
// followed), if any.
std::optional<std::string> configured_attributes_file(const Config& global) {
  if (auto file = global.get("core.attributesFile", true, true)) return file;
  if (detail::env("GIT_CONFIG_NOSYSTEM")) return std::nullopt;
  return Config(Scope::kSystem).get("core.attributesFile", true, true);
}

std::string top_of_work_tree() {
  return detail::chomp(detail::git_ok({"rev-parse", "--show-toplevel"}));
}

// The attribute file of `config`'s scope as it stands (nothing is set): for the global scope
// the file git reads, which is git's default place when core.attributesFile is unset.
std::string attributes_file(const Config& config, bool shared = false) {
  switch (config.scope()) {
    case Scope::kLocal:
      if (shared) return top_of_work_tree() + "/.gitattributes";
      return detail::absolute_path(
          detail::chomp(detail::git_ok({"rev-parse", "--git-path", "info/attributes"})));
    case Scope::kGlobal:
      return configured_attributes_file(config).value_or(default_attributes_file());
    case Scope::kSystem:
      break;
  }
  return detail::system_attributes_file();
}

std::string in_scope(const Config& config) {
  return " (" + std::string(scope_name(config.scope())) + " configuration " + config.file() + ")";
}

// What an install chose; each choice left open keeps the previous install's, else the default.
struct Settings {
  bool conflict_exit = true;
  bool hook = false;
  notebook::Layout layout = notebook::Layout::kDefault;
  std::vector<std::string> patterns{std::string(kDefaultPattern)};
  bool shared = false;
  bool mergetool = false;
  std::string difftool;  // "text" or "html"; empty: no difftool
};

// The choices the install recorded in `config`; for an install that recorded none, those its
// driver command and record show (such installs wrote the one line for "*.ipynb").
Settings recorded_settings(const Config& config) {
  Settings s;
  const std::optional<std::string> driver = config.get(kDriverKeys[1]);
  if (auto v = config.get(kConflictExitKey)) s.conflict_exit = *v == "true";
  if (auto v = config.get(kLayoutKey)) {
    s.layout = *v == "jupyter" ? notebook::Layout::kJupyter : notebook::Layout::kDefault;
  } else if (driver && driver->find(" --layout=jupyter") != std::string::npos) {
    s.layout = notebook::Layout::kJupyter;
  }
  if (auto patterns = config.get_all(kPatternKey); !patterns.empty()) s.patterns = patterns;
  if (auto v = config.get(kSharedKey)) s.shared = *v == "true";
  if (auto v = config.get(kMergetoolKey)) s.mergetool = *v == "true";
  if (auto v = config.get(kDifftoolKey)) s.difftool = *v;
  s.hook = !config.get_all(kHookKey).empty();
  return s;
}

Settings settings_for(const InstallOptions& options, const Config& config) {
  Settings s = recorded_settings(config);
  if (options.conflict_exit) s.conflict_exit = *options.conflict_exit;
  if (options.hook) s.hook = *options.hook;
  if (options.layout) s.layout = *options.layout;
  if (!options.patterns.empty()) {
    s.patterns.clear();
    for (const std::string& p : options.patterns) {
      if (!contains(s.patterns, p)) s.patterns.push_back(p);
    }
  }
  if (options.shared) s.shared = *options.shared;
  if (options.mergetool) s.mergetool = *options.mergetool;
  if (options.difftool) s.difftool = *options.difftool;
  return s;
}

// The attribute lines install added, as recorded (an install that recorded none added the one
// line for "*.ipynb" when it noted its file).
std::vector<std::string> recorded_lines(const Config& config) {
  std::vector<std::string> lines = config.get_all(kLineKey);
  if (lines.empty() && config.get(kAttributesKey)) lines.emplace_back(kAttributeLine);
  return lines;
}

// A path that the gitattributes pattern `pattern` matches, to ask git which attributes such
// paths get: each wildcard made concrete, a leading "/" or "**/" dropped.
std::string probe_path(std::string_view pattern) {
  std::string path;
  bool star_done = false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      path += pattern[++i];
    } else if (c == '*') {
      if (i + 1 < pattern.size() && pattern[i + 1] == '*') {
        ++i;
        if (i + 1 < pattern.size() && pattern[i + 1] == '/') ++i;  // "**/": any depth, none
        continue;
      }
      if (!star_done) path += "qorgit-probe";
      star_done = true;
    } else if (c == '?') {
      path += 'x';
    } else if (c == '[') {
      std::size_t j = i + 1;
      if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
        // A character the negated class does not list.
        const std::size_t end = pattern.find(']', j + 2);
        const std::string_view listed = pattern.substr(j + 1, end - j - 1);
        path += listed.find('q') == std::string_view::npos ? 'q' : 'z';
        j = end;
      } else {
        path += j < pattern.size() ? pattern[j] : 'x';
        j = pattern.find(']', j + 1);
      }
      i = j == std::string_view::npos ? pattern.size() : j;
    } else {
      if (c == '/') star_done = false;
      path += c;
    }
  }
  while (path.starts_with('/')) path.erase(0, 1);
  return path.empty() ? "qorgit-probe" : path;
}

// The values of the merge and diff attributes in the output of `git check-attr merge diff`
// ("unspecified" for one it does not list).
std::pair<std::string, std::string> merge_and_diff(std::string_view out) {
  // Lines read "<path>: merge: lfs".
  std::string merge = "unspecified", diff = "unspecified";
  for (std::string_view line : lines_of(out)) {
    for (auto [tag, value] : {std::pair{": merge: ", &merge}, std::pair{": diff: ", &diff}}) {
      const auto at = line.rfind(tag);
      if (at != std::string_view::npos) *value = line.substr(at + std::strlen(tag));
    }
  }
  return {merge, diff};
}

// The merge and diff attributes that paths the pattern matches get from the attribute files of
// `scope` and the machine's ("unspecified" when none): for the local scope the repository's
// .gitattributes files and info/attributes, for the global scope the user's attributes file,
// each with the system attributes file, read (outside the repository) in an empty scratch
// repository.
std::pair<std::string, std::string> scope_attributes(Scope scope, const std::string& pattern) {
  std::optional<platform::TempDir> scratch;
  std::vector<std::string> args;
  if (scope != Scope::kLocal) {
    scratch.emplace("qorgit-attributes");
    detail::git_ok({"init", "-q", scratch->path()});
    args = {"-C", scratch->path()};
  }
  if (scope != Scope::kGlobal) args.insert(args.end(), {"-c", "core.attributesFile=/dev/null"});
  args.insert(args.end(), {"check-attr", "merge", "diff", "--", probe_path(pattern)});
  return merge_and_diff(detail::git_ok(args));
}

// `text` without the first line equal to each of `lines` (without_line()).
std::string without_lines(std::string text, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (auto rest = without_line(text, line)) text = std::move(*rest);
  }
  return text;
}

// Replaces the attribute file `file` by `text`, removing it when install created it and
// nothing else is left in it.
void rewrite_attributes(const std::string& file, const std::string& text,
                        const std::vector<std::string>& created) {
  if (text.empty() && contains(created, file)) {
    remove_file(file);
  } else {
    platform::replace_file(file, text);
  }
}

// Removes the attribute lines install recorded from the file it recorded; forgets both.
void remove_recorded_lines(Config& config, std::vector<std::string>& done) {
  const std::optional<std::string> file = config.get(kAttributesKey);
  const std::vector<std::string> lines = recorded_lines(config);
  if (file && lexists(*file)) {
    const std::string text = platform::read_file(*file);
    const std::string rest = without_lines(text, lines);
    if (rest != text) {
      rewrite_attributes(*file, rest, config.get_all(kCreatedKey));
      for (const std::string& line : lines) {
        done.push_back("removed '" + line + "' from " + *file);
      }
    }
  }
  for (const char* key : {kLineKey, kAttributesKey}) {
    if (!config.get_all(key).empty()) config.unset(key);
  }
}

// The attribute lines for the patterns of `settings`: one per pattern, giving whichever of
// merge=qormerge and diff=qordiff the scope's files do not already set to something else for
// such paths (unless `force`); the attributes left alone are reported in `done`. A line of
// qorgit's own that is in place counts as nothing else.
std::vector<std::string> wanted_lines(Scope scope, const Settings& settings, bool force,
                                      std::vector<std::string>& done) {
  std::vector<std::string> lines;
  for (const std::string& pattern : settings.patterns) {
    std::string line = pattern;
    const auto [merge, diff] =
        force ? std::pair<std::string, std::string>() : scope_attributes(scope, pattern);
    std::string kept;
    for (auto [attribute, name, now] :
         {std::tuple{kMergeAttribute, "merge", merge}, std::tuple{kDiffAttribute, "diff", diff}}) {
      const std::string ours(attribute.substr(attribute.find('=') + 1));
      if (force || now == "unspecified" || now == ours) {
        line.append(" ").append(attribute);
      } else {
        // As an attribute line writes it: "diff", "-diff", "diff=lfs".
        if (!kept.empty()) kept += ' ';
        if (now == "unset") kept += '-';
        kept += name;
        if (now != "set" && now != "unset") kept.append("=").append(now);
      }
    }
    if (!kept.empty()) {
      done.push_back("left " + kept + " for " + pattern + " as the " +
                     std::string(scope_name(scope)) +
                     " attributes already set it (install --force overrides it)");
    }
    if (line != pattern) lines.push_back(line);
  }
  return lines;
}

// The pattern of attribute line `line`: its first word.
std::string_view pattern_of(std::string_view line) { return line.substr(0, line.find(' ')); }

// Puts the attribute lines of `settings` in the scope's attribute file. A line an earlier
// install added stays while its pattern is still wanted in the same file; the others go (also
// from another file, when the install moves between .git/info/attributes and .gitattributes),
// and a new pattern gets its line (wanted_lines). Lines the user wrote are never touched, and
// nothing is written when nothing changes.
void install_attributes(Config& config, Record& record, const Settings& settings, bool force,
                        std::vector<std::string>& done) {
  const std::string file = attributes_file(config, settings.shared);
  const std::vector<std::string> created = config.get_all(kCreatedKey);
  const std::optional<std::string> old_file = config.get(kAttributesKey);
  const bool same_file = old_file && *old_file == file;
  std::vector<std::string> kept, dropped;  // lines of the earlier install, in their file
  if (old_file && lexists(*old_file)) {
    const std::string text = platform::read_file(*old_file);
    for (const std::string& line : recorded_lines(config)) {
      if (!has_line(text, line)) continue;
      const bool wanted = same_file && contains(settings.patterns, std::string(pattern_of(line)));
      (wanted ? kept : dropped).push_back(line);
    }
    if (!dropped.empty()) rewrite_attributes(*old_file, without_lines(text, dropped), created);
  }
  Settings missing = settings;
  missing.patterns.clear();
  for (const std::string& pattern : settings.patterns) {
    if (std::none_of(kept.begin(), kept.end(),
                     [&](const std::string& l) { return pattern_of(l) == pattern; })) {
      missing.patterns.push_back(pattern);
    }
  }
  std::vector<std::string> notes;
  const std::vector<std::string> lines = wanted_lines(config.scope(), missing, force, notes);
  const bool existed = lexists(file);
  std::string text = existed ? platform::read_file(file) : std::string();
  std::vector<std::string> added;
  for (const std::string& line : lines) {
    if (has_line(text, line)) continue;  // the user's own line: not install's to remove later
    // A file without a final line end gets the line after one, and no line end of its own,
    // so that removing the line restores the file byte for byte.
    text += text.empty() || text.back() == '\n' ? line + "\n" : "\n" + line;
    added.push_back(line);
  }
  if (!added.empty()) {
    for (const std::string& dir : make_directories(parent_of(file))) {
      record.created(dir);
      done.push_back("created the directory " + dir);
    }
    platform::replace_file(file, text);
    if (!existed) record.created(file);
  }
  std::vector<std::string> now = kept;
  now.insert(now.end(), added.begin(), added.end());
  if (config.get_all(kLineKey) != now) {
    if (!config.get_all(kLineKey).empty()) config.unset(kLineKey);
    for (const std::string& line : now) config.add(kLineKey, line);
  }
  if (now.empty()) {
    if (config.get(kAttributesKey)) config.unset(kAttributesKey);
  } else {
    record.note(kAttributesKey, file);
  }
  for (const std::string& line : dropped)
    done.push_back("removed '" + line + "' from " + *old_file);
  for (const std::string& line : added) {
    done.push_back("added '" + line + "' to " + file +
                   (settings.shared ? " (commit it to share the setting)" : ""));
  }
  done.insert(done.end(), notes.begin(), notes.end());
}

// git mergetool's tool "qor": `qorgit resolve` on the files git passes, its exit status trusted
// (0 only when the result was saved and passes the checks); merge.tool names it where git knows
// no merge.tool yet.
void install_mergetool(Config& config, Record& record, const std::string& qorgit,
                       std::vector<std::string>& done) {
  const std::pair<const char*, std::string> keys[] = {
      {"mergetool.qor.cmd",
       detail::shell_quote(qorgit) +
           " resolve --mergetool \"$BASE\" \"$LOCAL\" \"$REMOTE\" \"$MERGED\""},
      {"mergetool.qor.trustExitCode", "true"},
  };
  for (const auto& [key, value] : keys) {
    if (record.set_key(key, value)) {
      done.push_back("set " + std::string(key) + " = " + value + in_scope(config));
    }
  }
  if (detail::run_git({"config", "--get", "merge.tool"}).status != 0 &&
      record.set_key("merge.tool", "qor")) {
    done.push_back("set merge.tool = qor" + in_scope(config));
  }
}

// git difftool's tool "qordiff": the two versions git passes and the notebook's path, shown as
// text in the terminal or, with "html", as the page in the browser.
void install_difftool(Config& config, Record& record, const std::string& qordiff,
                      const std::string& view, std::vector<std::string>& done) {
  const std::string command = detail::shell_quote(qordiff) + " --difftool" +
                              (view == "html" ? " --browser" : "") +
                              " \"$LOCAL\" \"$REMOTE\" \"$MERGED\"";
  if (record.set_key("difftool.qordiff.cmd", command)) {
    done.push_back("set difftool.qordiff.cmd = " + command + in_scope(config));
  }
}

// The directory the hooks go to. Throws CommandError when there is none (for the global and
// system scopes: when that scope sets no core.hooksPath, since git reads no other hooks outside
// a repository), IoError when an existing hook cannot be kept because its place is taken.
std::string hooks_directory_for_install(const Config& config) {
  std::optional<std::string> dir;
  if (config.scope() == Scope::kLocal) {
    dir = detail::hooks_directory();
  } else if (auto path = config.get("core.hooksPath", true, true)) {
    dir = detail::absolute_path(*path);
  } else {
    const std::string scope(scope_name(config.scope()));
    throw CommandError("--hook with --" + scope + " needs core.hooksPath in the " + scope +
                       " configuration, the one hooks directory git runs for every repository: "
                       "set it (git config --" +
                       scope +
                       " core.hooksPath DIR) and install again, or run `qorgit install --hook` "
                       "inside each repository");
  }
  if (!dir) {
    throw CommandError(
        "--hook needs a repository (or core.hooksPath): run it inside the repository whose "
        "commits it should check");
  }
  for (const char* name : kHookNames) {
    const std::string hook = *dir + "/" + name;
    if (lexists(hook) && !is_our_hook(hook) && lexists(hook + kChainedSuffix)) {
      throw IoError(EEXIST, hook + kChainedSuffix,
                    "cannot keep the existing " + std::string(name) + " hook: " + hook +
                        kChainedSuffix + " exists");
    }
  }
  return *dir;
}

void install_hooks(const std::string& dir, Record& record, const std::string& qorgit,
                   std::vector<std::string>& done) {
  const std::string script = hook_script(qorgit);
  for (const char* name : kHookNames) {
    const std::string hook = dir + "/" + name;
    const std::string chained = hook + kChainedSuffix;
    const std::optional<std::string> ours = lexists(hook) ? our_hook_text(hook) : std::nullopt;
    if (ours) {
      if (*ours != script) {
        platform::replace_file(hook, script);
        done.push_back("updated the " + std::string(name) + " hook " + hook);
      }
    } else {
      if (lexists(hook)) {
        rename_file(hook, chained);
        done.push_back("kept the existing " + std::string(name) + " hook as " + chained +
                       "; the new hook runs it first");
      }
      for (const std::string& d : make_directories(dir)) {
        record.created(d);
        done.push_back("created the directory " + d);
      }
      platform::replace_file(hook, script);
      if (::chmod(hook.c_str(), 0755) != 0) throw IoError(errno, hook);
      done.push_back("installed the " + std::string(name) + " hook " + hook +
                     " (runs qorgit check)");
    }
    record.add(kHookKey, hook);
  }
}

void uninstall_hooks(Config& config, std::vector<std::string>& done) {
  for (const std::string& hook : config.get_all(kHookKey)) {
    if (!lexists(hook)) continue;
    if (!is_our_hook(hook)) {
      done.push_back("left " + hook + " as it is: it is not qorgit's hook");
      continue;
    }
    remove_file(hook);
    done.push_back("removed the hook " + hook);
    const std::string chained = hook + kChainedSuffix;
    if (lexists(chained)) {
      rename_file(chained, hook);
      done.push_back("put back the hook it ran first, " + hook);
    }
  }
  if (!config.get_all(kHookKey).empty()) config.unset(kHookKey);
}

// `text` with every "%" doubled: git expands "%" sequences in a merge driver's command line.
std::string percent_doubled(const std::string& text) {
  std::string out;
  for (const char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

// Whether git passes a merge driver the labels of the three versions (%S, %X, %Y; git 2.44 and
// later).
bool git_passes_labels() {
  const detail::GitResult r = detail::run_git({"version"});
  int major = 0, minor = 0;
  if (r.status != 0 || std::sscanf(r.out.c_str(), "git version %d.%d", &major, &minor) != 2) {
    return false;
  }
  return major > 2 || (major == 2 && minor >= 44);
}

std::string command_for(const std::string& qormerge, const Settings& settings, bool labels) {
  std::string command = detail::shell_quote(percent_doubled(qormerge)) +
                        " --base-file=%O --current-file=%A --incoming-file=%B --file-path=%P"
                        " --fallback=text --marker-size=%L --notes";
  if (labels) command += " --ancestor-label=%S --ours-label=%X --theirs-label=%Y";
  if (settings.conflict_exit) command += " --conflict-exit";
  if (settings.layout == notebook::Layout::kJupyter) command += " --layout=jupyter";
  return command;
}

}  // namespace

std::string_view scope_name(Scope scope) {
  switch (scope) {
    case Scope::kLocal:
      return "local";
    case Scope::kGlobal:
      return "global";
    case Scope::kSystem:
      break;
  }
  return "system";
}

std::string driver_command(const InstallOptions& options) {
  Settings settings;
  if (options.conflict_exit) settings.conflict_exit = *options.conflict_exit;
  if (options.layout) settings.layout = *options.layout;
  return command_for(options.qormerge, settings,
                     options.git_labels ? *options.git_labels : git_passes_labels());
}

std::vector<std::string> install(const InstallOptions& options) {
  Config config(options.scope);
  const Settings settings = settings_for(options, config);
  // Everything that can be refused is settled before the first write.
  if (settings.shared && options.scope != Scope::kLocal) {
    throw CommandError("--shared writes the repository's .gitattributes: it goes with --local");
  }
  const std::string hooks = settings.hook ? hooks_directory_for_install(config) : std::string();
  const bool labels = options.git_labels ? *options.git_labels : git_passes_labels();
  const bool config_existed = lexists(config.file());
  const std::pair<const char*, std::string> keys[] = {
      {kDriverKeys[0], kDriverName},
      {kDriverKeys[1], command_for(options.qormerge, settings, labels)},
      {kDriverKeys[2], "binary"},
      // git runs a textconv command as it is: no "%" sequences are expanded there.
      {kDriverKeys[3], detail::shell_quote(options.qordiff) + " --textconv"},
      {kDriverKeys[4], "true"},
  };
  std::vector<std::string> done;
  Record record(config);
  for (const auto& [key, value] : keys) {
    if (record.set_key(key, value)) {
      done.push_back("set " + std::string(key) + " = " + value + in_scope(config));
    }
  }
  if (!config_existed) record.created(config.file());
  record.note(kConflictExitKey, settings.conflict_exit ? "true" : "false");
  record.note(kLayoutKey, settings.layout == notebook::Layout::kJupyter ? "jupyter" : "default");
  record.note(kSharedKey, settings.shared ? "true" : "false");
  if (config.get_all(kPatternKey) != settings.patterns) {
    if (!config.get_all(kPatternKey).empty()) config.unset(kPatternKey);
    for (const std::string& p : settings.patterns) config.add(kPatternKey, p);
  }
  if (settings.mergetool) {
    install_mergetool(config, record, options.qorgit, done);
    record.note(kMergetoolKey, "true");
  }
  if (!settings.difftool.empty()) {
    install_difftool(config, record, options.qordiff, settings.difftool, done);
    record.note(kDifftoolKey, settings.difftool);
  }
  install_attributes(config, record, settings, options.force, done);
  if (settings.hook) {
    install_hooks(hooks, record, options.qorgit, done);
  } else {
    uninstall_hooks(config, done);
  }
  return done;
}

constexpr const char* kTextconvCacheRef = "refs/notes/textconv/qordiff";

std::vector<std::string> uninstall(Scope scope) {
  Config config(scope);
  std::vector<std::string> done;
  const std::vector<std::string> created = config.get_all(kCreatedKey);
  uninstall_hooks(config, done);
  remove_recorded_lines(config, done);
  // Keys install set go, and get back the values they held before.
  const std::vector<std::string> previous = config.get_all(kPreviousKey);
  const std::optional<std::string> attributes_file = config.get(kAttributesFileKey);
  std::vector<std::string> sections{"qorgit"};
  bool textconv_removed = false;
  for (const std::string& key : config.get_all(kSetKey)) {
    // A core.attributesFile changed since is the user's own.
    if (key == "core.attributesFile" && config.get(key, true) != attributes_file) continue;
    std::vector<std::string> old;
    for (const std::string& entry : previous) {
      if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=') {
        old.push_back(entry.substr(key.size() + 1));
      }
    }
    if (old.size() == 1) {
      config.set(key, old[0]);  // in place, where the value was
      done.push_back("restored " + key + " = " + old[0] + in_scope(config));
      continue;
    }
    if (!config.get_all(key).empty()) config.unset(key);
    std::string restored;
    for (const std::string& value : old) {
      config.add(key, value);
      restored += (restored.empty() ? "" : ", ") + value;
    }
    done.push_back((old.empty() ? "removed " + key : "restored " + key + " = " + restored) +
                   in_scope(config));
    if (key == "diff.qordiff.textconv" && old.empty()) textconv_removed = true;
    const std::string section = key.substr(0, key.rfind('.'));
    if (!contains(sections, section)) sections.push_back(section);
  }
  // git keeps the texts of a cached textconv as notes under a ref of the driver's name: in the
  // repository, they go with the driver that made them.
  if (textconv_removed && scope == Scope::kLocal &&
      detail::run_git({"rev-parse", "-q", "--verify", kTextconvCacheRef}).status == 0 &&
      detail::run_git({"update-ref", "-d", kTextconvCacheRef}).status == 0) {
    done.push_back(std::string("removed git's cache of the textconv's texts, ") +
                   kTextconvCacheRef);
  }
  // Created directories go once they are empty, innermost first; the configuration file last,
  // after the bookkeeping that lives in it.
  for (auto it = created.rbegin(); it != created.rend(); ++it) {
    if (is_directory(*it) && ::rmdir(it->c_str()) == 0) {
      done.push_back("removed the directory " + *it);
    }
  }
  for (const char* key : kRecordKeys) {
    if (!config.get_all(key).empty()) config.unset(key);
  }
  for (const std::string& section : sections) config.remove_section_if_empty(section);
  if (contains(created, config.file()) && is_empty_file(config.file())) {
    remove_file(config.file());
    done.push_back("removed " + config.file() + ", which install had created");
  }
  return done;
}

namespace {

// The program a merge driver or textconv command starts, as git runs it: with `expanded`, the
// "%" sequences of a driver command expanded first ("%%" is "%"), then its first word unquoted.
std::string first_word(const std::string& command, bool expanded) {
  std::string word;
  bool quoted = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (expanded && c == '%' && i + 1 < command.size() && command[i + 1] == '%') {
      word += c;
      ++i;
    } else if (c == '\'') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!word.empty()) break;
    } else {
      word += c;
    }
  }
  return word;
}

// "PATH (executable)" or a warning that git cannot run it.
std::string program_state(const std::string& command, bool expanded) {
  const std::string program = first_word(command, expanded);
  if (program.find('/') == std::string::npos) return program + " (looked up on PATH)";
  if (::access(program.c_str(), X_OK) == 0) return program + " (executable)";
  return program + " (MISSING or not executable: git cannot run it)";
}

void scope_status(const Config& config, std::vector<std::string>& lines) {
  const std::string name(scope_name(config.scope()));
  const bool present = lexists(config.file());
  lines.push_back(name + " configuration " + config.file() + (present ? "" : " (absent)") + ":");
  const std::size_t before = lines.size();
  if (present) {
    if (auto driver = config.get("merge.qormerge.driver")) {
      lines.push_back("  merge driver: " + *driver);
    }
    if (auto textconv = config.get("diff.qordiff.textconv")) {
      lines.push_back("  diff textconv: " + *textconv);
    }
    if (auto difftool = config.get("difftool.qordiff.cmd")) {
      lines.push_back("  difftool qordiff: " + *difftool);
    }
  }
  if (present) {
    if (const auto file = config.get(kAttributesKey); file && lexists(*file)) {
      const std::string text = platform::read_file(*file);
      for (const std::string& line : recorded_lines(config)) {
        if (has_line(text, line)) lines.push_back("  attributes: '" + line + "' in " + *file);
      }
    }
    for (const std::string& hook : config.get_all(kHookKey)) {
      lines.push_back("  hook: " + hook +
                      (lexists(hook) && is_our_hook(hook) ? "" : " (gone or replaced)"));
    }
  }
  if (lines.size() == before) lines.push_back("  nothing installed");
}

}  // namespace

std::vector<std::string> status() {
  std::vector<std::string> lines;
  const bool repository = detail::in_repository();
  if (repository) scope_status(Config(Scope::kLocal), lines);
  scope_status(Config(Scope::kGlobal), lines);
  if (detail::env("GIT_CONFIG_NOSYSTEM")) {
    lines.push_back("system configuration: not read (GIT_CONFIG_NOSYSTEM is set)");
  } else {
    scope_status(Config(Scope::kSystem), lines);
  }
  const detail::GitResult driver = detail::run_git({"config", "--get", "merge.qormerge.driver"});
  if (driver.status == 0) {
    const std::string command = detail::chomp(driver.out);
    lines.push_back("git merges notebooks with: " + command);
    lines.push_back("  program: " + program_state(command, true));
  } else {
    lines.push_back("git merges notebooks with: its own text merge (no qormerge driver set)");
  }
  const detail::GitResult textconv = detail::run_git({"config", "--get", "diff.qordiff.textconv"});
  if (textconv.status == 0) {
    const std::string command = detail::chomp(textconv.out);
    lines.push_back("git shows notebook diffs through: " + command);
    lines.push_back("  program: " + program_state(command, false));
  }
  if (repository) {
    const auto [merge, diff] = merge_and_diff(
        detail::run_git({"check-attr", "merge", "diff", "--", "qorgit-probe.ipynb"}).out);
    lines.push_back("in this repository a notebook gets merge=" + merge + " diff=" + diff);
    if (const auto dir = detail::hooks_directory()) {
      for (const char* name : kHookNames) {
        const std::string hook = *dir + "/" + name;
        std::string state = "none";
        if (lexists(hook)) state = is_our_hook(hook) ? hook + " (qorgit check)" : hook;
        if (lexists(hook + kChainedSuffix)) state += ", running first " + hook + kChainedSuffix;
        lines.push_back(std::string(name) + " hook: " + state);
      }
    }
  }
  return lines;
}

std::string locate_program(const std::string& name) {
  const auto usable = [](const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
  };
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && usable(self.parent_path() / name)) return (self.parent_path() / name).string();
  const std::string path = detail::env("PATH").value_or("");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    const std::string dir = end > start ? path.substr(start, end - start) : ".";
    if (usable(fs::path(dir) / name)) return detail::absolute_path(dir + "/" + name);
    start = end + 1;
  }
  throw IoError(
      ENOENT, name,
      "cannot find " + name + " next to " + (ec ? "this program" : self.string()) + " or on PATH");
}

}  // namespace qor::gitsetup
