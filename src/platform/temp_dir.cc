// Temporary directories: mkdtemp (mode 0700) under an absolute base, registered for signal
// clean-up from creation on, and a recursive removal that ignores errors.
#include "platform/temp_dir.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/file.h"
#include "platform/uuid.h"
#include "qor/errors.h"

namespace qor::platform {
namespace {

std::string temp_base() {
  const char* env = std::getenv("TMPDIR");
  std::string base = (env != nullptr && *env != '\0') ? env : "/tmp";
  if (base[0] != '/') {
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) throw IoError(ec.value(), base);
    base = (cwd / base).string();
  }
  return base;
}

}  // namespace

std::string unmade_temp_path(std::string_view prefix) {
  static constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[6];
  random_bytes(random, sizeof random);
  std::string path = temp_base() + "/" + std::string(prefix) + "-";
  for (unsigned char r : random) path += kLetters[r % kLetters.size()];
  return path;
}

TempDir::TempDir(std::string_view prefix) {
  std::string templ = temp_base() + "/" + std::string(prefix) + "-XXXXXX";
  const CleanupSignalsBlocked blocked;
  if (::mkdtemp(templ.data()) == nullptr) throw IoError(errno, templ);
  path_ = templ;
  cleanup_ = CleanupPath(CleanupPath::Kind::kDirectory, path_);
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string TempDir::write(std::string_view name, std::string_view content) const {
  const std::string path = file(name);
  write_file(path, content);
  return path;
}

std::string TempDir::read(std::string_view name) const { return read_file(file(name)); }

std::string TempDir::listing() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

}  // namespace qor::platform
