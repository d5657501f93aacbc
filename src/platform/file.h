// Whole-file reading and atomic file replacement (private to the core).
#ifndef QOR_PLATFORM_FILE_H_
#define QOR_PLATFORM_FILE_H_

#include <functional>
#include <string>
#include <string_view>

namespace qor::platform {

// The whole content of the file at `path`. Throws IoError.
std::string read_file(const std::string& path);

// Creates (or truncates) the file at `path`, readable by its owner only, and writes `content`.
// Throws IoError.
void write_file(const std::string& path, std::string_view content);

// The bytes of a file in memory, in a buffer whose consumed parts can be given back to the
// system while the reader builds its result. Move-only.
class FileBuffer {
 public:
  // Reads the whole file at `path`. Throws IoError.
  static FileBuffer read(const std::string& path);

  FileBuffer(FileBuffer&& other) noexcept;
  FileBuffer& operator=(FileBuffer&&) = delete;
  ~FileBuffer();

  std::string_view view() const { return {data_, size_}; }
  // Gives the whole pages inside [from, to) back to the system; their bytes are lost.
  void discard(std::size_t from, std::size_t to);

 private:
  FileBuffer() = default;
  // The file read into a string (small files, files that are not regular, growing files).
  static FileBuffer read_text(const std::string& path);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // length of the anonymous mapping, 0 when `text_` holds the bytes
  std::string text_;
};

// Replaces the file at `path` by `content` through a temporary file in the same directory and a
// rename. Follows a symbolic link to the file it names. Keeps the permission bits of the file
// it replaces (a new file gets 0666 less the umask). Refuses, as opening for writing would, a
// file the process may not write. On failure the old file is untouched, the temporary file is
// removed, and IoError is thrown.
void replace_file(const std::string& path, std::string_view content);

// replace_file() with the content produced piece by piece: `produce` receives a function that
// appends bytes to the new file. An exception from `produce` fails the replacement likewise.
void replace_file_with(
    const std::string& path,
    const std::function<void(const std::function<void(std::string_view)>&)>& produce);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_FILE_H_
