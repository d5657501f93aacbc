// Files: reading a whole file, replacing a pinned file, and files in memory. Descriptors live in
// a small RAII holder so that every error path closes them; a temporary file is registered for
// signal clean-up from its creation and unlinked on every failure.
#include "platform/file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/signals.h"
#include "qor/errors.h"
#include "qor/interrupt.h"

namespace qor::platform {
namespace {

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
  interrupt::poll();
}

// Writes the content of a new file piece by piece, asking the kernel to start writing each
// few megabytes to the device as soon as they are written (a hint; errors come from the final
// fsync()), so that the fsync() waits only for the last of them instead of for the whole file.
class EarlyWriteback {
 public:
  EarlyWriteback(int fd, const std::string& path) : fd_(fd), path_(path) {}

  void write(std::string_view piece) {
    write_all(fd_, piece, path_);
    written_ += piece.size();
    if (written_ - started_ >= kStep) {
      ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(written_ - started_),
                        SYNC_FILE_RANGE_WRITE);
      started_ = written_;
    }
  }

 private:
  static constexpr std::size_t kStep = std::size_t{4} << 20;
  int fd_;
  const std::string& path_;
  std::size_t written_ = 0;
  std::size_t started_ = 0;
};

// Everything `fd` still gives, read into a string (whose size `expected` hints at).
std::string read_rest(int fd, const std::string& path, std::size_t expected) {
  std::string content;
  content.reserve(expected);
  char buf[1 << 16];
  for (;;) {
    // Read straight into the string's spare capacity when there is room.
    const std::size_t room = content.capacity() - content.size();
    ssize_t n;
    if (room >= sizeof buf) {
      const std::size_t old = content.size();
      content.resize(content.capacity());
      n = ::read(fd, content.data() + old, room);
      content.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    } else {
      n = ::read(fd, buf, sizeof buf);
      if (n > 0) content.append(buf, static_cast<std::size_t>(n));
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(errno, path);
    }
    if (n == 0) break;
    interrupt::poll();
  }
  return content;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the process may give a file it creates this owner and group.
bool can_give(uid_t uid, gid_t gid) {
  if (::geteuid() == 0) return true;
  if (uid != ::geteuid()) return false;
  if (gid == ::getegid()) return true;
  const int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = ::getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

IoError changed_meanwhile(const std::string& path) {
  return IoError(ESTALE, path,
                 "cannot write " + py_quote(path) +
                     ": the path no longer leads to the file that was read (it was replaced or "
                     "moved meanwhile); nothing was written");
}

}  // namespace

std::string read_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(errno, path);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw IoError(errno, path);
  if (S_ISDIR(st.st_mode)) throw IoError(EISDIR, path);
  const bool sized = S_ISREG(st.st_mode) && st.st_size > 0;
  return read_rest(fd.get(), path, sized ? static_cast<std::size_t>(st.st_size) : 0);
}

void write_file(const std::string& path, std::string_view content) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw IoError(errno, path);
  write_all(fd.get(), content, path);
  if (fd.close() != 0) throw IoError(errno, path);
}

// ---------------------------------------------------------------------------------------------
// MemoryFile

bool MemoryFile::available() {
  static const bool usable = [] {
    const Fd fd(::memfd_create("qor-probe", MFD_CLOEXEC));
    if (fd.get() < 0) return false;
    struct stat st;
    const std::string by_path = "/proc/self/fd/" + std::to_string(fd.get());
    return ::stat(by_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }();
  return usable;
}

MemoryFile::MemoryFile(std::string_view content, const std::string& name)
    : fd_(::memfd_create("qor", MFD_CLOEXEC)), name_(name) {
  if (fd_.get() < 0) throw IoError(errno, name_);
  write_all(fd_.get(), content, name_);
}

std::string MemoryFile::read() const {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0 || ::lseek(fd_.get(), 0, SEEK_SET) != 0) {
    throw IoError(errno, name_);
  }
  return read_rest(fd_.get(), name_, static_cast<std::size_t>(st.st_size));
}

// ---------------------------------------------------------------------------------------------
// FileBuffer

FileBuffer FileBuffer::read(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(errno, path);
  return read(fd.get(), path);
}

FileBuffer FileBuffer::read(int fd, const std::string& path) {
  // Small files and files that are not regular are read into a string; large regular files
  // into an anonymous mapping of their size.
  constexpr std::size_t kMapAtLeast = std::size_t{1} << 20;
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  struct stat st;
  if (::fstat(fd, &st) != 0) throw IoError(errno, path);
  if (S_ISDIR(st.st_mode)) throw IoError(EISDIR, path);
  ::lseek(fd, 0, SEEK_SET);
  FileBuffer buf;
  const auto expected = static_cast<std::size_t>(S_ISREG(st.st_mode) ? st.st_size : 0);
  if (expected >= kMapAtLeast) {
    // Faulting the pages in one by one as read() fills them costs more than the read: a mapping
    // that can hold huge pages asks for them (a 30 MB file then takes 15 faults instead of
    // 7,500), a smaller one is populated at once. The advice is only a hint.
    const bool huge = expected + 1 >= kHugePage;
    void* p = ::mmap(nullptr, expected + 1, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
    if (p == MAP_FAILED) throw IoError(errno, path);
    if (huge) ::madvise(p, expected + 1, MADV_HUGEPAGE);
    buf.data_ = static_cast<char*>(p);
    buf.mapped_ = expected + 1;
    // One byte more than expected tells whether the file grew since fstat().
    std::size_t got = 0;
    while (got < buf.mapped_) {
      const ssize_t n = ::pread(fd, buf.data_ + got, buf.mapped_ - got, static_cast<off_t>(got));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw IoError(errno, path);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
      interrupt::poll();
    }
    if (got < buf.mapped_) {
      buf.size_ = got;
      return buf;
    }
    ::munmap(buf.data_, buf.mapped_);  // the file grew since fstat(): read it as it comes
    buf.data_ = nullptr;
    buf.mapped_ = 0;
    ::lseek(fd, 0, SEEK_SET);
  }
  buf.text_ = read_rest(fd, path, expected);
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

// ---------------------------------------------------------------------------------------------
// ReplaceTarget

namespace {

// Checks that the directory entry and the given path still lead to the pinned file (to nothing,
// when there was no file).
void check_unchanged(int dir_fd, const std::string& name, const std::string& path, bool existed,
                     const struct stat& pinned) {
  struct stat entry, via_path;
  const bool entry_present = ::fstatat(dir_fd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
  if (!entry_present && errno != ENOENT) throw IoError(errno, path);
  const bool path_present = ::stat(path.c_str(), &via_path) == 0;
  if (existed) {
    if (!entry_present || !path_present || !same_file(entry, pinned) ||
        !same_file(via_path, pinned)) {
      throw changed_meanwhile(path);
    }
  } else if (entry_present || path_present) {
    throw changed_meanwhile(path);
  }
}

}  // namespace

ReplaceTarget::ReplaceTarget(const std::string& path) : path_(path) {
  const std::string resolved = resolve_links(path);
  directory_ = dir_of(resolved);
  name_ = base_of(resolved);
  if (name_.empty() || name_ == "." || name_ == "..") throw IoError(EISDIR, path);
  dir_fd_ = ::open(directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) throw IoError(errno, path);
  struct stat st;
  if (::fstatat(dir_fd_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;  // a new file
    const int err = errno;
    ::close(dir_fd_);
    throw IoError(err, path);
  }
  if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) {
    ::close(dir_fd_);
    throw IoError(S_ISDIR(st.st_mode) ? EISDIR : ELOOP, path);
  }
  pinned_ = st;
  existed_ = true;
  if (S_ISREG(st.st_mode)) {
    // Opened now, so that the bytes read are the pinned file's; a file the process may not
    // read is still pinned by its identity.
    file_fd_ = ::openat(dir_fd_, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened;
    if (file_fd_ >= 0 && (::fstat(file_fd_, &opened) != 0 || !same_file(opened, pinned_))) {
      ::close(file_fd_);
      ::close(dir_fd_);
      throw changed_meanwhile(path);
    }
  }
}

ReplaceTarget::ReplaceTarget(ReplaceTarget&& other) noexcept
    : path_(std::move(other.path_)),
      directory_(std::move(other.directory_)),
      name_(std::move(other.name_)),
      dir_fd_(other.dir_fd_),
      file_fd_(other.file_fd_),
      existed_(other.existed_),
      pinned_(other.pinned_) {
  other.dir_fd_ = other.file_fd_ = -1;
}

ReplaceTarget::~ReplaceTarget() {
  if (file_fd_ >= 0) ::close(file_fd_);
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

FileBuffer ReplaceTarget::read() {
  if (file_fd_ >= 0) return FileBuffer::read(file_fd_, path_);
  if (!existed_) throw IoError(ENOENT, path_);
  // Not a regular file, or not readable: reading by the path gives the right error or bytes.
  return FileBuffer::read(path_);
}

ReplaceTarget::Method ReplaceTarget::method() const {
  if (!existed_) return Method::kReplace;
  if (pinned_.st_nlink > 1 || !can_give(pinned_.st_uid, pinned_.st_gid)) return Method::kInPlace;
  return Method::kReplace;
}

void ReplaceTarget::replace_with(const Produce& produce) {
  if (existed_ && ::faccessat(dir_fd_, name_.c_str(), W_OK, 0) != 0) throw IoError(errno, path_);
  if (method() == Method::kInPlace) return write_in_place(produce);

  // A short name fits beside any name the directory holds.
  std::string temp = directory_ + "/.qor-XXXXXX";
  int raw_fd = -1;
  CleanupPath cleanup;
  {
    const CleanupSignalsBlocked blocked;
    raw_fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (raw_fd >= 0) cleanup = CleanupPath(CleanupPath::Kind::kFile, temp);
  }
  if (raw_fd < 0) {
    const int err = errno;
    if (existed_ && (err == EACCES || err == EPERM)) return write_in_place(produce);
    throw IoError(err, path_,
                  "cannot write " + py_quote(path_) + ": [Errno " + std::to_string(err) + "] " +
                      std::strerror(err) + " (creating a temporary file in " +
                      py_quote(directory_) + ")");
  }
  Fd fd(raw_fd);
  const std::string temp_name = base_of(temp);
  // The owner and group of the file, given to the new one; where that is refused, the file is
  // written in place instead.
  int owner_error = 0;
  if (existed_) {
    struct stat made;
    if (::fstat(fd.get(), &made) != 0) {
      owner_error = errno;
    } else if ((made.st_uid != pinned_.st_uid || made.st_gid != pinned_.st_gid) &&
               ::fchown(fd.get(), pinned_.st_uid, pinned_.st_gid) != 0) {
      owner_error = errno;
    }
  }
  if (owner_error != 0) {
    ::unlink(temp.c_str());
    fd.close();
    cleanup.release();
    if (owner_error == EPERM) return write_in_place(produce);
    throw IoError(owner_error, path_);
  }
  try {
    const mode_t mode = existed_ ? (pinned_.st_mode & 07777) : (0666 & ~process_umask());
    EarlyWriteback out(fd.get(), path_);
    produce([&](std::string_view piece) { out.write(piece); });
    // After fchown, which clears the set-user-ID and set-group-ID bits.
    if (::fchmod(fd.get(), mode) != 0) throw IoError(errno, path_);
    if (::fsync(fd.get()) != 0) throw IoError(errno, path_);
    if (fd.close() != 0) throw IoError(errno, path_);
    check_unchanged(dir_fd_, name_, path_, existed_, pinned_);
    if (::renameat(dir_fd_, temp_name.c_str(), dir_fd_, name_.c_str()) != 0) {
      throw IoError(errno, path_);
    }
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

void ReplaceTarget::write_in_place(const Produce& produce) {
  // The whole content first: nothing it throws, and no failure of a later step other than a
  // device error, can leave the file half written.
  std::string content;
  produce([&](std::string_view piece) {
    content.append(piece);
    interrupt::poll();
  });
  check_unchanged(dir_fd_, name_, path_, existed_, pinned_);
  Fd fd(::openat(dir_fd_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    // A link or nothing where the file was a moment ago.
    if (errno == ELOOP || errno == ENOENT) throw changed_meanwhile(path_);
    throw IoError(errno, path_);
  }
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) throw IoError(errno, path_);
  if (!same_file(opened, pinned_)) throw changed_meanwhile(path_);
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      content.size() > limit.rlim_cur) {
    throw IoError(EFBIG, path_);
  }
  if (content.size() > static_cast<std::size_t>(opened.st_size)) {
    // Room for the whole content before the first byte changes.
    if (::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size())) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
      throw IoError(errno, path_);
    }
  }
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        ::pwrite(fd.get(), content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      throw IoError(err, path_,
                    "cannot write " + py_quote(path_) + ": [Errno " + std::to_string(err) + "] " +
                        std::strerror(err) + " (writing it in place: it may be partly written)");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) throw IoError(errno, path_);
  if (::fsync(fd.get()) != 0) throw IoError(errno, path_);
  if (fd.close() != 0) throw IoError(errno, path_);
}

void replace_file_with(const std::string& path, const Produce& produce) {
  ReplaceTarget(path).replace_with(produce);
}

void replace_file(const std::string& path, std::string_view content) {
  replace_file_with(path,
                    [&](const std::function<void(std::string_view)>& emit) { emit(content); });
}

}  // namespace qor::platform
