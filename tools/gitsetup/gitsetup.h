// Git integration: registering the notebook merge and diff drivers with git (configuration,
// attribute files, the pre-commit hook), undoing exactly that, reporting what is installed, and
// listing the unresolved conflicts of the notebooks a commit would record. The `qorgit` command
// is a thin layer over these functions; all of them run the `git` found on PATH in the current
// working directory and environment.
#ifndef QOR_GITSETUP_GITSETUP_H_
#define QOR_GITSETUP_GITSETUP_H_

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

// The pattern of the files the drivers take when install is given none.
inline constexpr std::string_view kDefaultPattern = "*.ipynb";
// The attribute line that routes notebooks to both drivers, for the default pattern.
inline constexpr std::string_view kAttributeLine = "*.ipynb merge=qormerge diff=qordiff";

// What to install. Each choice left unset keeps the one the previous install in the same
// scope made, else takes the default given.
struct InstallOptions {
  Scope scope = Scope::kLocal;
  // The driver exits 1 while conflicts remain (default: yes), so that git records the file as
  // unmerged in merges, rebases, cherry-picks and stash pops alike.
  std::optional<bool> conflict_exit;
  // The pre-commit and pre-merge-commit hooks that run `qorgit check` (default: no).
  std::optional<bool> hook;
  std::optional<notebook::Layout> layout;  // default: kDefault
  // The attribute patterns the drivers take (default: kDefaultPattern).
  std::vector<std::string> patterns;
  // The attribute lines go to the repository's .gitattributes, to be committed, instead of
  // .git/info/attributes (local scope only; default: no).
  std::optional<bool> shared;
  // Also give merge=qormerge and diff=qordiff to patterns whose merge or diff attribute the
  // scope's attribute files already set otherwise (an LFS rule, binary, -diff).
  bool force = false;
  // Also register `qorgit resolve` as git mergetool's tool "qor" (mergetool.qor.cmd and
  // .trustExitCode, and merge.tool where git has none) (default: no).
  std::optional<bool> mergetool;
  // Also register qordiff as git difftool's tool "qordiff" (difftool.qordiff.cmd): "text" shows
  // the changes in the terminal, "html" the page in the browser (default: no difftool).
  std::optional<std::string> difftool;
  // Whether the driver command asks git for the labels of the three versions (%S, %X, %Y,
  // which git passes from 2.44 on); unset: as the git on PATH does.
  std::optional<bool> git_labels;
  // Absolute paths of the programs the configuration and the hook name.
  std::string qormerge;
  std::string qordiff;
  std::string qorgit;
};

// The merge driver command line git runs for `options` (the program quoted for the shell, each
// "%" in its path doubled, which git's expansion of "%O" and the like gives back): the three
// versions and the path, --fallback=text (files that are not pipeline notebooks merge as git's
// text merge would), the marker size %L, the labels where git passes them, and the chosen
// --conflict-exit and --layout.
std::string driver_command(const InstallOptions& options);

// Registers the drivers in `options.scope`:
//   merge.qormerge.name, .driver (driver_command), .recursive = binary;
//   diff.qordiff.textconv = '<qordiff>' --textconv, diff.qordiff.cachetextconv = true;
//   one line "<pattern> merge=qormerge diff=qordiff" per pattern in the scope's attribute file
//   (local: info/attributes of the repository, or its top .gitattributes when shared; global:
//   the file core.attributesFile names, included configuration files followed, or git's
//   default $XDG_CONFIG_HOME/git/attributes or ~/.config/git/attributes when it is unset;
//   system: gitattributes beside the system configuration file). An attribute the scope's files
//   already set otherwise for such paths is left alone (and reported) unless `force`;
//   with the hook, pre-commit and pre-merge-commit hooks in the repository's hooks directory
//   (core.hooksPath honoured; for the global and system scopes, the core.hooksPath that scope
//   sets, which git runs for every repository) that run the hook they replace, kept beside them
//   as <hook>.qorgit-chained, then `qorgit check`; the hook lets commits through with a warning
//   once qorgit is gone. Without the hook, hooks an earlier install put there are removed;
//   with the mergetool, mergetool.qor.cmd and .trustExitCode (and merge.tool where git has
//   none); with the difftool, difftool.qordiff.cmd.
// What it writes (keys it set and the values they held, files and directories it created, the
// attribute lines, hooks, the choices made) is recorded in a [qorgit] section of the same
// configuration, for uninstall and the next install. Returns one line per change, empty when
// everything was in place (a second run changes nothing). Everything that can be refused (no
// hooks directory, an existing hook whose chained place is taken, --local outside a repository,
// --shared outside the local scope) is refused before the first write: CommandError or IoError.
// A failure while writing (IoError, CommandError from git) can leave part of the installation
// written, and recorded.
std::vector<std::string> install(const InstallOptions& options);

// Removes what install wrote in `scope`, as recorded: keys it set (a value a key held before
// comes back, in place), the attribute lines, a core.attributesFile it set that still holds its
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
  // git's index holds the notebook as unmerged (stages 1 to 3): unresolved whatever the file
  // holds, until it is staged.
  bool unmerged = false;

  // Whether anything is left to resolve: conflicts, an unreadable file, or unmerged stages.
  bool unresolved() const { return !conflicts || !conflicts->empty() || unmerged; }
};

// Whether the working directory lies inside a git work tree.
bool inside_work_tree();

// Checks the notebook files at `paths`, as they are in the file system; a directory stands for
// the notebooks below it (files ending in ".ipynb", in name order; symbolic links, ".git" and
// ".ipynb_checkpoints" directories are left out). Inside a git work tree, a notebook that git
// holds as unmerged is marked so.
std::vector<CheckedNotebook> check_files(const std::vector<std::string>& paths);

// Checks the notebooks (paths ending in ".ipynb") that git lists as staged (added or modified
// in the index: the index content is read, which is what a commit records; symbolic links and
// submodules are left out, a link's target being checked when it is staged itself) or as
// unmerged (the work tree file, where the merge left its result). Throws CommandError outside
// a work tree.
std::vector<CheckedNotebook> check_repository();

// A copy of old content that an interrupted in-place write left beside a file
// (notebook::interrupted_write_backup): the file may hold neither version.
struct InterruptedWrite {
  std::string file;    // the file written; empty when the copy's name does not tell it or it
                       // is not there
  std::string backup;  // the copy of its old content
};

// The copies that interrupted writes left beside the files at `paths` (paths as given). Without
// paths, inside a work tree: every such copy in it that git does not ignore, named as git names
// untracked files (relative to the top of the work tree). Throws CommandError when git fails.
std::vector<InterruptedWrite> interrupted_writes(const std::vector<std::string>& paths);

}  // namespace qor::gitsetup

#endif  // QOR_GITSETUP_GITSETUP_H_
