// Git integration: registering the notebook merge and diff drivers with git (configuration,
// attribute files, the pre-commit hook), undoing exactly that, reporting what is installed, and
// listing the unresolved conflicts of the notebooks a commit would record. The `qorgit` command
// is a thin layer over these functions; all of them run the `git` found on PATH in the current
// working directory and environment.
#ifndef QOR_GITSETUP_H_
#define QOR_GITSETUP_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qor/conflicts.h"
#include "qor/notebook.h"

namespace qor::gitsetup {

// Where an installation lives: the repository (`.git/config`, `.git/info/attributes`), the
// user (global configuration, the file core.attributesFile names) or the machine (system
// configuration and attributes).
enum class Scope { kLocal, kGlobal, kSystem };

// "local", "global", "system".
std::string_view scope_name(Scope scope);

// The attribute line that routes notebooks to both drivers.
inline constexpr std::string_view kAttributeLine = "*.ipynb merge=qormerge diff=qordiff";

struct InstallOptions {
  Scope scope = Scope::kLocal;
  bool conflict_exit = false;  // the driver exits 1 while conflicts remain
  bool hook = false;           // also the pre-commit hook that runs `qorgit check`
  notebook::Layout layout = notebook::Layout::kDefault;
  // Absolute paths of the programs the configuration and the hook name.
  std::string qormerge;
  std::string qordiff;
  std::string qorgit;
};

// The merge driver command line git runs for `options` (programs quoted for the shell).
std::string driver_command(const InstallOptions& options);

// Registers the drivers in `options.scope`:
//   merge.qormerge.name, .driver (driver_command), .recursive = binary;
//   diff.qordiff.textconv = '<qordiff>' --textconv, diff.qordiff.cachetextconv = true;
//   kAttributeLine in the scope's attribute file unless it is there (local: info/attributes of
//   the repository; global: the file core.attributesFile names, which is set to git's default
//   location $XDG_CONFIG_HOME/git/attributes or ~/.config/git/attributes when unset; system:
//   gitattributes beside the system configuration file);
//   with `options.hook`, pre-commit and pre-merge-commit hooks in the repository's hooks
//   directory (core.hooksPath honoured) that run the hook they replace, kept beside them as
//   <hook>.qorgit-chained, then `qorgit check`.
// What it writes (keys it set and the values they held, files and directories it created, the
// attribute line, hooks) is recorded in a [qorgit] section of the same configuration, for
// uninstall. Returns one line per change, empty when everything was in place (a second run
// changes nothing). Everything that can be refused (no hooks directory, an existing hook whose
// chained place is taken, --local outside a repository) is refused before the first write:
// CommandError or IoError. A failure while writing (IoError, CommandError from git) can leave
// part of the installation written, and recorded.
std::vector<std::string> install(const InstallOptions& options);

// Removes what install wrote in `scope`, as recorded: keys it set (a value a key held before
// comes back, in place), the attribute line, a core.attributesFile it set that still holds its
// value, its hooks (the chained ones come back), the files and directories it created once
// they are empty, then the record itself and sections left without keys. Leaves everything
// else as it is. Returns one line per change, empty when nothing was installed.
std::vector<std::string> uninstall(Scope scope);

// Lines for people: what each scope holds, which merge driver and textconv command git will
// run and whether that program exists, and, inside a repository, the attributes a notebook
// path gets and the pre-commit hook.
std::vector<std::string> status();

// The absolute path of the program `name`: the one in the directory of the running program
// when it is there and executable, else the first on PATH. Throws IoError when neither exists.
std::string locate_program(const std::string& name);

// One notebook as checked.
struct CheckedNotebook {
  std::string path;     // as given, or as git names it (relative to the top of the work tree)
  std::string version;  // "file" (a named path), "staged" (the index) or "unmerged"
  std::optional<notebook::Conflicts> conflicts;  // absent when the notebook could not be read
  std::string error;                             // why it could not be read
};

// Whether the working directory lies inside a git work tree.
bool inside_work_tree();

// Checks the notebook files at `paths`, as they are in the file system.
std::vector<CheckedNotebook> check_files(const std::vector<std::string>& paths);

// Checks the notebooks (paths ending in ".ipynb") that git lists as staged (added or modified
// in the index: the index content is read, which is what a commit records) or as unmerged
// (the work tree file, where the merge left its result). Throws CommandError outside a work
// tree.
std::vector<CheckedNotebook> check_repository();

}  // namespace qor::gitsetup

#endif  // QOR_GITSETUP_H_
