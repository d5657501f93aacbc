// Files: reading a whole file, and replacing one atomically. Descriptors live in a small RAII
// holder so that every error path closes them; the temporary file is unlinked on every failure.
#include "platform/file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "qor/errors.h"

namespace qor::platform {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the error a deferred write may surface at close.
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::string dir_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path finally names: symbolic links followed, also when the final target does not
// exist yet.
std::string resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) throw IoError(errno, path);
    target.resize(static_cast<std::size_t>(n));
    current = (!target.empty() && target[0] == '/') ? target : dir_of(current) + "/" + target;
  }
  throw IoError(ELOOP, path);
}

mode_t process_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

void write_all(int fd, std::string_view content, const std::string& path) {
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(errno, path);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw IoError(errno, path);
  if (S_ISDIR(st.st_mode)) throw IoError(EISDIR, path);
  std::string content;
  if (S_ISREG(st.st_mode) && st.st_size > 0) content.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    // Read straight into the string's spare capacity when there is room.
    const std::size_t room = content.capacity() - content.size();
    if (room >= sizeof buf) {
      const std::size_t old = content.size();
      content.resize(content.capacity());
      const ssize_t n = ::read(fd.get(), content.data() + old, room);
      if (n < 0) {
        content.resize(old);
        if (errno == EINTR) continue;
        throw IoError(errno, path);
      }
      content.resize(old + static_cast<std::size_t>(n));
      if (n == 0) break;
      continue;
    }
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(errno, path);
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  return content;
}

void write_file(const std::string& path, std::string_view content) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw IoError(errno, path);
  write_all(fd.get(), content, path);
  if (fd.close() != 0) throw IoError(errno, path);
}

FileBuffer FileBuffer::read(const std::string& path) {
  // Small files and files that are not regular are read into a string; large regular files
  // into an anonymous mapping, whose pages can be discarded one by one.
  constexpr std::size_t kMapAtLeast = std::size_t{1} << 20;
  FileBuffer buf;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) < kMapAtLeast) {
    return read_text(path);
  }
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(errno, path);
  const auto expected = static_cast<std::size_t>(st.st_size);
  // Populated at once: faulting the pages in one by one as read() fills them costs more.
  void* p = ::mmap(nullptr, expected + 1, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (p == MAP_FAILED) throw IoError(errno, path);
  buf.data_ = static_cast<char*>(p);
  buf.mapped_ = expected + 1;
  // One byte more than expected tells whether the file grew since stat().
  std::size_t got = 0;
  while (got < buf.mapped_) {
    const ssize_t n = ::read(fd.get(), buf.data_ + got, buf.mapped_ - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(errno, path);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got == buf.mapped_) return read_text(path);  // the file grew since stat()
  buf.size_ = got;
  return buf;
}

FileBuffer FileBuffer::read_text(const std::string& path) {
  FileBuffer buf;
  buf.text_ = read_file(path);
  buf.data_ = buf.text_.data();
  buf.size_ = buf.text_.size();
  return buf;
}

FileBuffer::FileBuffer(FileBuffer&& other) noexcept
    : size_(other.size_), mapped_(other.mapped_), text_(std::move(other.text_)) {
  data_ = mapped_ != 0 ? other.data_ : text_.data();
  other.data_ = nullptr;
  other.size_ = other.mapped_ = 0;
}

FileBuffer::~FileBuffer() {
  if (mapped_ != 0) ::munmap(data_, mapped_);
}

void FileBuffer::discard(std::size_t from, std::size_t to) {
  if (mapped_ == 0) return;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t first = (from + page - 1) / page * page;
  const std::size_t last = std::min(to, size_) / page * page;
  if (last > first) ::madvise(data_ + first, last - first, MADV_DONTNEED);
}

void replace_file(const std::string& path, std::string_view content) {
  replace_file_with(path,
                    [&](const std::function<void(std::string_view)>& emit) { emit(content); });
}

void replace_file_with(
    const std::string& path,
    const std::function<void(const std::function<void(std::string_view)>&)>& produce) {
  const std::string target = resolve_links(path);
  struct stat st;
  mode_t mode;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw IoError(EISDIR, path);
    if (::access(target.c_str(), W_OK) != 0) throw IoError(errno, path);
    mode = st.st_mode & 07777;
  } else {
    mode = 0666 & ~process_umask();
  }
  std::string temp = dir_of(target) + "/." + base_of(target) + ".qor-XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0)
    throw IoError(errno, path,
                  "cannot write " + py_quote(path) + ": [Errno " + std::to_string(errno) + "] " +
                      std::strerror(errno) + " (creating a temporary file in " +
                      py_quote(dir_of(target)) + ")");
  try {
    produce([&](std::string_view piece) { write_all(fd.get(), piece, path); });
    if (::fchmod(fd.get(), mode) != 0) throw IoError(errno, path);
    if (::fsync(fd.get()) != 0) throw IoError(errno, path);
    if (fd.close() != 0) throw IoError(errno, path);
    if (::rename(temp.c_str(), target.c_str()) != 0) throw IoError(errno, path);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

}  // namespace qor::platform
