// Private temporary directories (private to the core; the tests use them too).
#ifndef QOR_PLATFORM_TEMP_DIR_H_
#define QOR_PLATFORM_TEMP_DIR_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/signals.h"

namespace qor::platform {

// The places a temporary directory may go, in the order they are tried (as Python's tempfile
// tries them): the values of TMPDIR, TEMP and TMP that are set and not empty, /tmp, /var/tmp,
// /usr/tmp, then the working directory. Each is absolute (a relative one is taken from the
// working directory), so that no program given a path inside it can take that path for an
// option; one that cannot be made absolute (no working directory) is left out.
std::vector<std::string> temp_locations();

// A fresh directory "<prefix>-XXXXXX", readable only by its owner, in the first of
// temp_locations() where one can be made. Registered for clean-up on terminating signals
// (platform/signals.h). The destructor removes it with its contents (giving its owner access
// back first where a test took it away) and never throws. Move-only.
class TempDir {
 public:
  // Throws IoError when no location takes the directory: "[Errno 2] No usable temporary
  // directory found in ['/nonexistent', '/tmp', ...]".
  explicit TempDir(std::string_view prefix = "qor");
  // The same in the first of `locations` (absolute paths) where one can be made.
  TempDir(std::string_view prefix, const std::vector<std::string>& locations);
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
// occur anywhere else. The location is the first of temp_locations() that is a directory the
// process may create entries in (else the first).
std::string unmade_temp_path(std::string_view prefix);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_TEMP_DIR_H_
