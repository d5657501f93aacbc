// The notebooks `qorgit resolve` works on: the files (pinned when read, replaced atomically as a
// merge replaces them), the three versions a merge started from (git's index stages, or the files
// git mergetool passes), the layout `qorgit install` recorded, and staging with `git add`.
#ifndef QOR_TOOLS_RESOLVE_SESSION_H_
#define QOR_TOOLS_RESOLVE_SESSION_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qor/notebook.h"
#include "resolve/resolution.h"

namespace qor::platform {
class ReplaceTarget;
}

namespace qor::resolve {

// One notebook being resolved.
class NotebookFile {
 public:
  // Pins and reads the file at `file` (named `shown` in texts) and starts its resolution with
  // `stages`. Throws IoError when it cannot be read, and what json::parse and Resolution throw
  // when it is not a notebook.
  NotebookFile(std::string shown, std::string file, Stages stages);
  ~NotebookFile();
  NotebookFile(const NotebookFile&) = delete;
  NotebookFile& operator=(const NotebookFile&) = delete;

  const std::string& shown() const { return shown_; }
  const std::string& file() const { return file_; }
  Resolution& resolution() { return *resolution_; }
  const Resolution& resolution() const { return *resolution_; }
  bool saved() const { return saved_; }

  // Replaces the file by the resolution's result in `layout`, atomically. Throws ValueError
  // naming what is left while the result does not pass its checks, and IoError when the file
  // changed since it was read (nothing is written then) or cannot be written.
  void save(notebook::Layout layout);

 private:
  std::string shown_, file_;
  std::unique_ptr<platform::ReplaceTarget> target_;
  std::string text_;  // as read
  std::unique_ptr<Resolution> resolution_;
  bool saved_ = false;
};

// The versions of the notebook at `file` in git's index (stages 1 to 3, a missing stage being an
// empty notebook), or nullopt when git does not hold it as unmerged (or it lies outside a work
// tree). Throws what json::parse throws for a version that is not JSON, naming it.
std::optional<Stages> stages_from_index(const std::string& file, const std::string& shown);

// The versions in three files (git mergetool's $BASE, $LOCAL and $REMOTE); an empty or missing
// file is an empty notebook.
Stages stages_from_files(const std::string& base, const std::string& current,
                         const std::string& incoming, const std::string& shown);

// The notebooks (paths ending in ".ipynb") git holds as unmerged: their paths relative to the
// top of the work tree and as files. Throws CommandError outside a work tree.
std::vector<std::pair<std::string, std::string>> unmerged_notebooks();

// The layout `qorgit install` recorded (qorgit.layout in git's configuration), else the default.
notebook::Layout recorded_layout();

// Whether the file at `file` lies in a git work tree.
bool in_work_tree(const std::string& file);

// `git add -- file`. Throws CommandError with git's message.
void stage(const std::string& file);

}  // namespace qor::resolve

#endif  // QOR_TOOLS_RESOLVE_SESSION_H_
