// Whole-file reading and atomic file replacement (private to the core).
#ifndef QOR_PLATFORM_FILE_H_
#define QOR_PLATFORM_FILE_H_

#include <string>
#include <string_view>

namespace qor::platform {

// The whole content of the file at `path`. Throws IoError.
std::string read_file(const std::string& path);

// Replaces the file at `path` by `content` through a temporary file in the same directory and a
// rename. Follows a symbolic link to the file it names. Keeps the permission bits of the file
// it replaces (a new file gets 0666 less the umask). Refuses, as opening for writing would, a
// file the process may not write. On failure the old file is untouched, the temporary file is
// removed, and IoError is thrown.
void replace_file(const std::string& path, std::string_view content);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_FILE_H_
