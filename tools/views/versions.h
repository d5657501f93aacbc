// Where the versions that qordiff compares come from: files, the file a git revision holds
// ("REV:PATH"), and the notebooks that differ between two revisions or between a revision and
// the work tree, read through git with a fixed number of git processes however many notebooks
// there are.
#ifndef QOR_VIEWS_VERSIONS_H_
#define QOR_VIEWS_VERSIONS_H_

#include <optional>
#include <string>
#include <vector>

#include "qor/json.h"

namespace qor::diff {

// One version of a notebook.
struct Version {
  // How headers and messages name it: the file's path as given, "HEAD~1:nb.ipynb" for a
  // revision's file (the path from the top of the work tree, as git's REV:PATH reads it).
  std::string label;
  // The notebook is not there in this version (added after it, or removed): `label` names
  // where it would be.
  bool absent = false;
  // The bytes git gave for it; nothing: read the file `path`.
  std::optional<std::string> bytes;
  std::string path;
};

// The bytes of `version` (read from its file when git gave none). Throws IoError.
std::string version_bytes(const Version& version);

// `version` read as a notebook, named `name` in errors (see notebook::version_name; empty: by
// its path, or its label for bytes from git): as notebook::read_notebook reads a file, or parsed
// from the bytes git gave.
json::Value read_version(const Version& version, const std::string& name);

// The text that `qordiff --textconv` gives `version`: the notebook's lines (textconv()), or, for a
// file that is no notebook of a shape those lines can show, the file's own text after a line
// saying why (append_unreadable_text()). Empty when the version is absent. Throws IoError.
std::string version_text(const Version& version);

// textconv_unreadable()'s text for `version`, whose reading or textconv() failed with the
// message `problem` (less the version's label where it starts with it), appended to `out`.
void append_unreadable_text(const Version& version, std::string problem, std::string& out);

// A notebook with nothing in it, standing for the absent side of `present`: `present` with no
// cells and, where it has them, no canvas parameters, so that only its components and parameters
// show as added or removed.
json::Value hollow_notebook(const json::Value& present);

// The versions named by `operands`, each given where a file is expected: the file when one is
// there (as before revisions were known: a path that exists always means the file); else, for
// "REV:PATH", the file that revision holds, read with one `git cat-file --batch` for all of
// them. Throws IoError naming the operand when it is neither a file nor a revision's file
// (with git's reason), CommandError when git fails.
std::vector<Version> operand_versions(const std::vector<std::string>& operands);

// Whether `text` names a commit in the repository of the working directory (git rev-parse
// --verify). False outside a repository.
bool is_revision(const std::string& text);

// A notebook that differs between two versions of the tree.
struct NotebookPair {
  std::string path;  // from the top of the work tree
  Version prev, current;
};

// The notebooks that differ between `revisions[0]` and `revisions[1]`, or with one revision
// between it and the work tree, in git's path order: every path `git diff` lists as added,
// removed, modified or changed in type that ends in ".ipynb" or that one of `paths` names
// exactly, limited to `paths` (pathspecs from the working directory, as git reads them; none:
// the whole tree). A path missing on one side has that side absent; symbolic links and
// submodules are left out. The revisions' files are read with one `git cat-file --batch`.
// Throws CommandError naming a revision that is not a commit, or with git's message when git
// fails (outside a repository, say).
std::vector<NotebookPair> revision_pairs(const std::vector<std::string>& revisions,
                                         const std::vector<std::string>& paths);

}  // namespace qor::diff

#endif  // QOR_VIEWS_VERSIONS_H_
