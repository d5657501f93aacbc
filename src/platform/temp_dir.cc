// Temporary directories: mkdtemp (mode 0700) in the first location that takes it, registered
// for signal clean-up from creation on, and a recursive removal that ignores errors.
#include "platform/temp_dir.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/file.h"
#include "platform/uuid.h"
#include "qor/errors.h"

namespace qor::platform {

std::vector<std::string> temp_locations() {
  std::vector<std::string> places;
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') places.emplace_back(value);
  }
  places.insert(places.end(), {"/tmp", "/var/tmp", "/usr/tmp", "."});
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  std::vector<std::string> absolute;
  for (const std::string& place : places) {
    if (place[0] == '/') {
      absolute.push_back(place);
    } else if (!ec) {
      absolute.push_back(place == "." ? cwd.string() : (cwd / place).string());
    }
  }
  return absolute;
}

std::string unmade_temp_path(std::string_view prefix) {
  const std::vector<std::string> places = temp_locations();
  auto usable = std::find_if(places.begin(), places.end(), [](const std::string& place) {
    struct stat st;
    return ::stat(place.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::faccessat(AT_FDCWD, place.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
  });
  if (usable == places.end()) usable = places.begin();  // never empty: /tmp is there
  return *usable + "/" + std::string(prefix) + "-" + random_name(6);
}

TempDir::TempDir(std::string_view prefix) : TempDir(prefix, temp_locations()) {}

TempDir::TempDir(std::string_view prefix, const std::vector<std::string>& locations) {
  for (const std::string& place : locations) {
    std::string templ = place + "/" + std::string(prefix) + "-XXXXXX";
    const CleanupSignalsBlocked blocked;
    if (::mkdtemp(templ.data()) == nullptr) continue;
    path_ = templ;
    cleanup_ = CleanupPath(CleanupPath::Kind::kDirectory, path_);
    return;
  }
  std::string list;
  for (const std::string& place : locations) list += (list.empty() ? "" : ", ") + py_quote(place);
  throw IoError(ENOENT, locations.empty() ? std::string() : locations.front(),
                "[Errno 2] No usable temporary directory found in [" + list + "]");
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
