// git as qorgit talks to it: one child process per question (`git config`, `git rev-parse`),
// started without a shell, in the caller's working directory and environment. Configuration
// file locations follow git's own rules, so that install can tell whether it created a file.
#include "gitsetup/git.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "qor/errors.h"

namespace qor::gitsetup::detail {
namespace fs = std::filesystem;

namespace {

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string home() {
  const std::optional<std::string> h = env("HOME");
  if (!h) throw CommandError("HOME is not set: the global configuration has no place");
  return *h;
}

// git's global configuration file: $GIT_CONFIG_GLOBAL, else ~/.gitconfig unless only the XDG
// file exists.
std::string global_config_file() {
  if (const auto file = env("GIT_CONFIG_GLOBAL")) return *file;
  const std::string user = home() + "/.gitconfig";
  const auto xdg_home = env("XDG_CONFIG_HOME");
  const std::string xdg = (xdg_home ? *xdg_home : home() + "/.config") + "/git/config";
  return !exists(user) && exists(xdg) ? xdg : user;
}

// The sysconfdir of git's installation: /etc for the prefix /usr, else <prefix>/etc, with the
// prefix read off git's exec path (<prefix>/lib/git-core or <prefix>/libexec/git-core).
std::string git_sysconfdir() {
  std::string exec_path = chomp(git_ok({"--exec-path"}));
  std::string prefix = "/usr";
  for (const char* tail : {"/libexec/git-core", "/lib/git-core"}) {
    const std::string_view t(tail);
    if (exec_path.size() > t.size() && exec_path.ends_with(t)) {
      prefix = exec_path.substr(0, exec_path.size() - t.size());
      break;
    }
  }
  return prefix == "/usr" ? "/etc" : prefix + "/etc";
}

std::string system_config_file() {
  if (const auto file = env("GIT_CONFIG_SYSTEM")) return *file;
  return git_sysconfdir() + "/gitconfig";
}

}  // namespace

GitResult run_git(const std::vector<std::string>& args) {
  return platform::run_git(args, {}, /*capture_output=*/true);
}

std::string git_ok(const std::vector<std::string>& args) {
  GitResult r = run_git(args);
  if (r.status != 0) git_failed(args, r);
  return std::move(r.out);
}

bool in_repository() { return run_git({"rev-parse", "--git-dir"}).status == 0; }

std::string absolute_path(const std::string& path) {
  return fs::absolute(fs::path(path)).lexically_normal().string();
}

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

Config::Config(Scope scope) : scope_(scope), flag_("--" + std::string(scope_name(scope))) {
  switch (scope) {
    case Scope::kLocal:
      if (!in_repository()) {
        throw CommandError(
            "not in a git repository: run this inside one, or choose --global or --system");
      }
      file_ = absolute_path(chomp(git_ok({"rev-parse", "--git-path", "config"})));
      break;
    case Scope::kGlobal:
      file_ = absolute_path(global_config_file());
      break;
    case Scope::kSystem:
      file_ = absolute_path(system_config_file());
      break;
  }
}

std::vector<std::string> Config::args(std::vector<std::string> rest) const {
  rest.insert(rest.begin(), {"config", flag_});
  return rest;
}

std::optional<std::string> Config::get(const std::string& key, bool as_path, bool includes) const {
  std::vector<std::string> rest{"--get", key};
  if (as_path) rest.insert(rest.begin(), "--type=path");
  if (includes) rest.insert(rest.begin(), "--includes");
  const std::vector<std::string> a = args(std::move(rest));
  const GitResult r = run_git(a);
  if (r.status == 1) return std::nullopt;
  if (r.status != 0) git_failed(a, r);
  return chomp(r.out);
}

std::vector<std::string> Config::get_all(const std::string& key) const {
  const std::vector<std::string> a = args({"--null", "--get-all", key});
  const GitResult r = run_git(a);
  std::vector<std::string> values;
  if (r.status == 1) return values;
  if (r.status != 0) git_failed(a, r);
  std::size_t start = 0;
  while (start < r.out.size()) {
    const std::size_t end = r.out.find('\0', start);
    values.push_back(r.out.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return values;
}

void Config::set(const std::string& key, const std::string& value) {
  git_ok(args({"--replace-all", key, value}));
}

void Config::add(const std::string& key, const std::string& value) {
  git_ok(args({"--add", key, value}));
}

void Config::unset(const std::string& key) { git_ok(args({"--unset-all", key})); }

bool Config::has_section_keys(const std::string& section) const {
  std::string pattern = "^";
  for (const char c : section) {
    if (c == '.') pattern += '\\';
    pattern += c;
  }
  const std::vector<std::string> a = args({"--name-only", "--get-regexp", pattern + "\\."});
  const GitResult r = run_git(a);
  if (r.status == 1) return false;
  if (r.status != 0) git_failed(a, r);
  return true;
}

void Config::remove_section_if_empty(const std::string& section) {
  if (has_section_keys(section) || !exists(file_)) return;
  const std::vector<std::string> a = args({"--remove-section", section});
  const GitResult r = run_git(a);
  // git removes the header together with the last key; then there is no section left.
  if (r.status != 0 && r.err.find("no such section") == std::string::npos) git_failed(a, r);
}

std::optional<std::string> hooks_directory() {
  if (in_repository()) return absolute_path(chomp(git_ok({"rev-parse", "--git-path", "hooks"})));
  const GitResult r = run_git({"config", "--type=path", "--get", "core.hooksPath"});
  if (r.status == 0) return absolute_path(chomp(r.out));
  return std::nullopt;
}

std::string system_attributes_file() {
  if (const auto file = env("GIT_CONFIG_SYSTEM")) {
    return absolute_path((fs::path(*file).parent_path() / "gitattributes").string());
  }
  const GitResult r = run_git({"var", "GIT_ATTR_SYSTEM"});
  if (r.status == 0 && !chomp(r.out).empty()) return absolute_path(chomp(r.out));
  return git_sysconfdir() + "/gitattributes";
}

}  // namespace qor::gitsetup::detail
