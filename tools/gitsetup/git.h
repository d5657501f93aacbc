// Running git and reading or writing its configuration (private to src/gitsetup).
#ifndef QOR_GITSETUP_GIT_H_
#define QOR_GITSETUP_GIT_H_

#include <optional>
#include <string>
#include <vector>

#include "gitsetup/gitsetup.h"
#include "platform/git.h"

namespace qor::gitsetup::detail {

using GitResult = platform::GitRun;

// platform::run_git() with git's standard output collected. Throws IoError when git cannot be
// started, CommandError when a signal ends it.
GitResult run_git(const std::vector<std::string>& args);

// run_git() that requires exit status 0 and returns the standard output. Throws CommandError
// with git's own message otherwise (platform::git_failed()).
std::string git_ok(const std::vector<std::string>& args);

using platform::git_failed;

using platform::chomp;

// Whether the working directory is inside a git repository.
bool in_repository();

// `path` as an absolute, lexically normal path (relative paths are taken from the working
// directory).
std::string absolute_path(const std::string& path);

// The value of the environment variable `name` when set and not empty.
std::optional<std::string> env(const char* name);

// `text` in single quotes for the shell that runs git's driver commands.
std::string shell_quote(const std::string& text);

// One configuration scope as `git config --<scope>` reads and writes it.
class Config {
 public:
  // Throws CommandError for the local scope outside a repository.
  explicit Config(Scope scope);

  Scope scope() const { return scope_; }
  // The file git writes for this scope (which need not exist).
  const std::string& file() const { return file_; }

  // The last value of `key`, or nullopt when unset; with `as_path`, "~/" is expanded as git
  // expands path values; with `includes`, files the scope includes ([include], [includeIf])
  // are read too, as git reads them when it uses the value.
  std::optional<std::string> get(const std::string& key, bool as_path = false,
                                 bool includes = false) const;
  std::vector<std::string> get_all(const std::string& key) const;
  // Gives `key` the one value `value` (replacing every value it had).
  void set(const std::string& key, const std::string& value);
  void add(const std::string& key, const std::string& value);
  void unset(const std::string& key);
  // Whether any key of `section` ("merge.qormerge") is set.
  bool has_section_keys(const std::string& section) const;
  // Removes the header of `section` when no key is left in it.
  void remove_section_if_empty(const std::string& section);

 private:
  std::vector<std::string> args(std::vector<std::string> rest) const;

  Scope scope_;
  std::string flag_;
  std::string file_;
};

// The directory git reads hooks from: the repository's hooks directory, or core.hooksPath,
// as an absolute path; nullopt outside a repository when core.hooksPath is unset.
std::optional<std::string> hooks_directory();

// The system attributes file: gitattributes beside the system configuration file when
// GIT_CONFIG_SYSTEM moves that file, else git's own (GIT_ATTR_SYSTEM from `git var`, or
// `<sysconfdir>/gitattributes` with the sysconfdir of git's installation prefix).
std::string system_attributes_file();

}  // namespace qor::gitsetup::detail

#endif  // QOR_GITSETUP_GIT_H_
