// A private temporary directory for one test, removed with its contents afterwards.
#ifndef QOR_TESTS_SUPPORT_TEMP_DIR_H_
#define QOR_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace qor::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()/name`.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to `name` and returns its path.
  std::string write(const std::string& name, const std::string& content) const;
  // The content of `name`.
  std::string read(const std::string& name) const;
  // Names of the entries in the directory, sorted.
  std::string listing() const;

 private:
  std::string path_;
};

}  // namespace qor::testing

#endif  // QOR_TESTS_SUPPORT_TEMP_DIR_H_
