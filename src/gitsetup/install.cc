// install, uninstall and status. Every change goes through `git config` or through a whole-file
// replacement of an attribute file or hook, and is reported as one line. What install writes
// (keys and the values they held, files, directories, the attribute line, hooks) is recorded
// in the [qorgit] section of the scope's own configuration, so that uninstall removes exactly
// that and leaves the rest alone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "gitsetup/git.h"
#include "platform/file.h"
#include "qor/errors.h"
#include "qor/gitsetup.h"

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
constexpr const char* kRecordKeys[] = {kCreatedKey,        kSetKey, kPreviousKey, kAttributesKey,
                                       kAttributesFileKey, kHookKey};

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
         "fi\n" +
         detail::shell_quote(qorgit) +
         " check --quiet || {\n"
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

// The core.attributesFile git uses outside a repository (global, then system), if any.
std::optional<std::string> configured_attributes_file(const Config& global) {
  if (auto file = global.get("core.attributesFile", true)) return file;
  if (detail::env("GIT_CONFIG_NOSYSTEM")) return std::nullopt;
  return Config(Scope::kSystem).get("core.attributesFile", true);
}

// The attribute file of `config`'s scope as it stands (nothing is set).
std::string attributes_file(const Config& config) {
  switch (config.scope()) {
    case Scope::kLocal:
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

void install_attributes(Config& config, Record& record, std::vector<std::string>& done) {
  std::string file;
  if (config.scope() == Scope::kGlobal && !configured_attributes_file(config)) {
    file = default_attributes_file();
    record.set_key("core.attributesFile", file);
    record.note(kAttributesFileKey, file);
    done.push_back("set core.attributesFile = " + file + in_scope(config));
  } else {
    file = attributes_file(config);
  }
  const bool existed = lexists(file);
  std::string text = existed ? platform::read_file(file) : std::string();
  if (has_line(text, kAttributeLine)) return;  // there already: not install's to remove later
  {
    for (const std::string& dir : make_directories(parent_of(file))) {
      record.created(dir);
      done.push_back("created the directory " + dir);
    }
    // A file without a final line end gets the line after one, and no line end of its own,
    // so that removing the line restores the file byte for byte.
    const std::string line(kAttributeLine);
    text += text.empty() || text.back() == '\n' ? line + "\n" : "\n" + line;
    platform::replace_file(file, text);
    if (!existed) record.created(file);
    record.note(kAttributesKey, file);
    done.push_back("added '" + line + "' to " + file);
  }
}

// The directory the hooks go to. Throws CommandError when there is none, IoError when an
// existing hook cannot be kept because its place is taken.
std::string hooks_directory_for_install() {
  const std::optional<std::string> dir = detail::hooks_directory();
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

void uninstall_hooks(const Config& config, std::vector<std::string>& done) {
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
}

void uninstall_attributes(const Config& config, const std::vector<std::string>& created,
                          std::vector<std::string>& done) {
  const std::optional<std::string> recorded = config.get(kAttributesKey);
  if (!recorded || !lexists(*recorded)) return;
  const std::string& file = *recorded;
  const std::optional<std::string> rest = without_line(platform::read_file(file), kAttributeLine);
  if (!rest) return;
  if (rest->empty() && contains(created, file)) {
    remove_file(file);
  } else {
    platform::replace_file(file, *rest);
  }
  done.push_back("removed '" + std::string(kAttributeLine) + "' from " + file);
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
  std::string command = detail::shell_quote(options.qormerge) +
                        " --base-file=%O --current-file=%A --incoming-file=%B --file-path=%P";
  if (options.conflict_exit) command += " --conflict-exit";
  if (options.layout == notebook::Layout::kJupyter) command += " --layout=jupyter";
  return command;
}

std::vector<std::string> install(const InstallOptions& options) {
  Config config(options.scope);
  // Everything that can be refused is settled before the first write.
  const std::string hooks = options.hook ? hooks_directory_for_install() : std::string();
  const bool config_existed = lexists(config.file());
  const std::pair<const char*, std::string> keys[] = {
      {kDriverKeys[0], kDriverName},
      {kDriverKeys[1], driver_command(options)},
      {kDriverKeys[2], "binary"},
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
  install_attributes(config, record, done);
  if (options.hook) install_hooks(hooks, record, options.qorgit, done);
  return done;
}

std::vector<std::string> uninstall(Scope scope) {
  Config config(scope);
  std::vector<std::string> done;
  const std::vector<std::string> created = config.get_all(kCreatedKey);
  uninstall_hooks(config, done);
  uninstall_attributes(config, created, done);
  // Keys install set go, and get back the values they held before.
  const std::vector<std::string> previous = config.get_all(kPreviousKey);
  const std::optional<std::string> attributes_file = config.get(kAttributesFileKey);
  std::vector<std::string> sections{"qorgit"};
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
    const std::string section = key.substr(0, key.rfind('.'));
    if (!contains(sections, section)) sections.push_back(section);
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

// The program a shell command line starts: its first word, unquoted.
std::string first_word(const std::string& command) {
  std::string word;
  bool quoted = false;
  for (const char c : command) {
    if (c == '\'') {
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
std::string program_state(const std::string& command) {
  const std::string program = first_word(command);
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
  }
  const std::string attributes = attributes_file(config);
  if (lexists(attributes) && has_line(platform::read_file(attributes), kAttributeLine)) {
    lines.push_back("  attributes: '" + std::string(kAttributeLine) + "' in " + attributes);
  }
  if (present) {
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
    lines.push_back("  program: " + program_state(command));
  } else {
    lines.push_back("git merges notebooks with: its own text merge (no qormerge driver set)");
  }
  const detail::GitResult textconv = detail::run_git({"config", "--get", "diff.qordiff.textconv"});
  if (textconv.status == 0) {
    const std::string command = detail::chomp(textconv.out);
    lines.push_back("git shows notebook diffs through: " + command);
    lines.push_back("  program: " + program_state(command));
  }
  if (repository) {
    const detail::GitResult attrs =
        detail::run_git({"check-attr", "merge", "diff", "--", "notebook.ipynb"});
    // Lines read "notebook.ipynb: merge: qormerge".
    std::string merge = "unspecified", diff = "unspecified";
    for (std::string_view line : lines_of(attrs.out)) {
      for (auto [tag, value] : {std::pair{": merge: ", &merge}, std::pair{": diff: ", &diff}}) {
        const auto at = line.find(tag);
        if (at != std::string_view::npos) *value = line.substr(at + std::strlen(tag));
      }
    }
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
