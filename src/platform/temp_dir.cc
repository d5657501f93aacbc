// Temporary directories: mkdtemp (mode 0700) and a recursive removal that ignores errors.
#include "platform/temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "qor/errors.h"

namespace qor::platform {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = (base != nullptr && *base != '\0') ? base : "/tmp";
  templ += "/qor-merge-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) throw IoError(errno, templ);
  path_ = templ;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace qor::platform
