// Private temporary directories (private to the core).
#ifndef QOR_PLATFORM_TEMP_DIR_H_
#define QOR_PLATFORM_TEMP_DIR_H_

#include <string>

namespace qor::platform {

// A fresh directory, readable only by its owner, in the system's temporary location ($TMPDIR,
// else /tmp). The destructor removes it with its contents and never throws. Move-only.
class TempDir {
 public:
  // Throws IoError when the directory cannot be created.
  TempDir();
  TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TempDir& operator=(TempDir&&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace qor::platform

#endif  // QOR_PLATFORM_TEMP_DIR_H_
