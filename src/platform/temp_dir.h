// Private temporary directories (private to the core; the tests use them too).
#ifndef QOR_PLATFORM_TEMP_DIR_H_
#define QOR_PLATFORM_TEMP_DIR_H_

#include <string>
#include <string_view>

#include "platform/signals.h"

namespace qor::platform {

// A fresh directory "<prefix>-XXXXXX", readable only by its owner, in the system's temporary
// location: $TMPDIR when set (made absolute against the working directory when relative), else
// /tmp. Its path is always absolute, so that no program given a path inside it can take that
// path for an option. Registered for clean-up on terminating signals (platform/signals.h). The
// destructor removes it with its contents (giving its owner access back first where a test took
// it away) and never throws. Move-only.
class TempDir {
 public:
  // Throws IoError when the directory cannot be created.
  explicit TempDir(std::string_view prefix = "qor");
  TempDir(TempDir&& other) noexcept
      : path_(std::move(other.path_)), cleanup_(std::move(other.cleanup_)) {
    other.path_.clear();
  }
  TempDir& operator=(TempDir&&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(std::string_view name) const;
  // Writes `content` to the file `name` in the directory (readable by its owner only) and
  // returns its path. Throws IoError.
  std::string write(std::string_view name, std::string_view content) const;
  // The content of the file `name` in the directory. Throws IoError.
  std::string read(std::string_view name) const;
  // The names of the directory's entries, sorted, separated by blanks.
  std::string listing() const;

 private:
  std::string path_;
  CleanupPath cleanup_;
};

// A path of the form TempDir makes, "<location>/<prefix>-XXXXXX" with six random letters and
// digits, where nothing is made: a name that looks like a temporary path and is as unlikely to
// occur anywhere else. Throws IoError when the location cannot be made absolute.
std::string unmade_temp_path(std::string_view prefix);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_TEMP_DIR_H_
