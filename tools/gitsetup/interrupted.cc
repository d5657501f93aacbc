// The copies of old content that interrupted in-place writes left: looked up beside named files,
// or, for a repository, found among its untracked files by their suffix.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gitsetup/git.h"
#include "gitsetup/gitsetup.h"
#include "qor/errors.h"
#include "qor/notebook.h"

namespace qor::gitsetup {

std::vector<InterruptedWrite> interrupted_writes(const std::vector<std::string>& paths) {
  std::vector<InterruptedWrite> found;
  if (!paths.empty()) {
    for (const std::string& path : paths) {
      try {
        if (auto backup = notebook::interrupted_write_backup(path)) {
          found.push_back({path, std::move(*backup)});
        }
      } catch (const IoError&) {
        // A path whose links cannot be followed has no copy beside it.
      }
    }
    return found;
  }
  const std::string top = detail::chomp(detail::git_ok({"rev-parse", "--show-toplevel"}));
  const std::string listed =
      detail::git_ok({"ls-files", "--others", "--exclude-standard", "--full-name", "-z", "--",
                      ":(top,glob)**/*.qor-backup"});
  const std::string suffix = ".qor-backup";
  for (std::size_t at = 0; at < listed.size();) {
    std::size_t end = listed.find('\0', at);
    if (end == std::string::npos) end = listed.size();
    const std::string backup = listed.substr(at, end - at);
    at = end + 1;
    if (backup.size() <= suffix.size()) continue;
    // The file it was kept for, when the name says which and it is there (a name cut short
    // and hashed does not).
    std::string file = backup.substr(0, backup.size() - suffix.size());
    struct stat st;
    if (::lstat((top + "/" + file).c_str(), &st) != 0) file.clear();
    found.push_back({std::move(file), backup});
  }
  return found;
}

}  // namespace qor::gitsetup
