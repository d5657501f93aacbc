// Files: reading a whole file, replacing a pinned file, and files in memory. Descriptors live in
// a small RAII holder so that every error path closes them; a temporary file is registered for
// signal clean-up from its creation and unlinked on every failure.
#include "platform/file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/signals.h"
#include "platform/uuid.h"
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

namespace {

// The anonymous mappings of file buffers freed lately, kept for the next reads: a process that
// reads files again (a Python caller merging notebook after notebook) then reads into memory it
// already has, instead of fresh memory that the kernel must clear first. The system may take
// their pages back whenever it needs them (MADV_FREE), without writing them anywhere.
class SpareMappings {
 public:
  // A kept mapping of at least `n` bytes and not much more (its start and length), or none.
  std::pair<char*, std::size_t> take(std::size_t n) {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->second >= n && it->second - n <= n / 4 + kSlack &&
          (best == kept_.end() || it->second < best->second)) {
        best = it;
      }
    }
    if (best == kept_.end()) return {nullptr, 0};
    const auto found = *best;
    kept_.erase(best);
    return found;
  }

  // Keeps the mapping at `p` of `length` bytes, giving up the oldest kept one when there are
  // too many.
  void give(char* p, std::size_t length) {
    ::madvise(p, length, MADV_FREE);
    std::pair<char*, std::size_t> dropped{nullptr, 0};
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      kept_.emplace_back(p, length);
      if (kept_.size() > kKept) {
        dropped = kept_.front();
        kept_.erase(kept_.begin());
      }
    }
    if (dropped.first != nullptr) ::munmap(dropped.first, dropped.second);
  }

 private:
  static constexpr std::size_t kKept = 4;  // a merge reads three files
  static constexpr std::size_t kSlack = std::size_t{1} << 20;
  std::mutex mutex_;
  std::vector<std::pair<char*, std::size_t>> kept_;
};

// Never destroyed: file buffers may be freed while the process ends.
SpareMappings& spare_mappings() {
  static auto* spares = new SpareMappings();
  return *spares;
}

}  // namespace

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
    // One byte more than expected tells whether the file grew since fstat().
    const std::size_t wanted = expected + 1;
    const auto [spare, length] = spare_mappings().take(wanted);
    buf.data_ = spare;
    buf.mapped_ = length;
    if (spare == nullptr) {
      // Faulting the pages in one by one as read() fills them costs more than the read: a
      // mapping that can hold huge pages asks for them (a 30 MB file then takes 15 faults
      // instead of 7,500), a smaller one is populated at once. The advice is only a hint.
      const bool huge = wanted >= kHugePage;
      void* p = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | (huge ? 0 : MAP_POPULATE), -1, 0);
      if (p == MAP_FAILED) throw IoError(errno, path);
      if (huge) ::madvise(p, wanted, MADV_HUGEPAGE);
      buf.data_ = static_cast<char*>(p);
      buf.mapped_ = wanted;
    }
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t n = ::pread(fd, buf.data_ + got, wanted - got, static_cast<off_t>(got));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw IoError(errno, path);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
      interrupt::poll();
    }
    if (got < wanted) {
      buf.size_ = got;
      return buf;
    }
    // The file grew since fstat(): read it as it comes.
    spare_mappings().give(buf.data_, buf.mapped_);
    buf.data_ = nullptr;
    buf.mapped_ = 0;
    ::lseek(fd, 0, SEEK_SET);
  }
  buf.text_ = read_rest(fd, path, expected);
  buf.data_ = buf.text_.data();
  buf.size_ = buf.text_.size();
  return buf;
}

FileBuffer FileBuffer::read_unchanging(const std::string& path, std::string lost_message) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw IoError(errno, path);
  return read_unchanging(fd.get(), path, std::move(lost_message));
}

FileBuffer FileBuffer::read_unchanging(int fd, const std::string& path, std::string lost_message) {
  constexpr std::size_t kMapAtLeast = std::size_t{1} << 20;
  struct stat st;
  if (::fstat(fd, &st) != 0) throw IoError(errno, path);
  const auto size = static_cast<std::size_t>(st.st_size);
  if (!S_ISREG(st.st_mode) || size < kMapAtLeast || !MappingGuard::installed()) {
    return read(fd, path);
  }
  // The pages are entered at once: the parse reads them all, and one call costs less than a
  // fault per few pages.
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (p == MAP_FAILED) return read(fd, path);
  auto guard = std::make_unique<MappingGuard>(p, size, std::move(lost_message));
  if (!guard->registered()) {
    ::munmap(p, size);
    return read(fd, path);
  }
  FileBuffer buf;
  buf.data_ = static_cast<char*>(p);
  buf.size_ = buf.mapped_ = size;
  buf.guard_ = std::move(guard);
  return buf;
}

FileBuffer::FileBuffer(FileBuffer&& other) noexcept
    : size_(other.size_),
      mapped_(other.mapped_),
      text_(std::move(other.text_)),
      guard_(std::move(other.guard_)) {
  data_ = mapped_ != 0 ? other.data_ : text_.data();
  other.data_ = nullptr;
  other.size_ = other.mapped_ = 0;
}

FileBuffer::~FileBuffer() {
  if (mapped_ == 0) return;
  if (guard_ == nullptr) {
    spare_mappings().give(data_, mapped_);
    return;
  }
  guard_.reset();  // before the addresses can be mapped again
  ::munmap(data_, mapped_);
}

// ---------------------------------------------------------------------------------------------
// ReplaceTarget

namespace {

constexpr std::string_view kBackupSuffix = ".qor-backup";

// The name of the backup of the file `name`, in the same directory: the name and the suffix, or,
// where that would be too long a name, the name cut short, a hash of the whole name and the
// suffix.
std::string backup_name(const std::string& name) {
  if (name.size() + kBackupSuffix.size() <= NAME_MAX) return name + std::string(kBackupSuffix);
  std::uint64_t hash = 0xCBF29CE484222325ULL;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 0x100000001B3ULL;
  std::size_t keep = NAME_MAX - kBackupSuffix.size() - 17;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  char tail[20];
  std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, keep) + tail + std::string(kBackupSuffix);
}

IoError interrupted_before(const std::string& path, const std::string& backup) {
  const std::string kept = std::string("an earlier write of it in place was interrupted, ") +
                           "and its old content is kept in " + py_quote(backup);
  return IoError(EEXIST, path,
                 "cannot write " + py_quote(path) + ": " + kept +
                     ": the file may hold neither version; put that copy back or remove it; "
                     "nothing was written");
}

// Makes the entries of the directory durable (after a rename, link or unlink in it). A directory
// the process may not open for reading is left to the file system's own schedule. Throws
// IoError when the device reports an error.
void sync_directory(int dir_fd, const std::string& path) {
  const Fd dir(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return;
  if (::fsync(dir.get()) != 0 && errno != EINVAL) throw IoError(errno, path);
}

// Whether a file opened with O_TMPFILE can be linked in by its /proc path.
bool unnamed_files_linkable() {
  static const bool linkable = ::access("/proc/self/fd", X_OK) == 0;
  return linkable;
}

// A new file in a directory, made readable and writable by its owner only. It has no name
// (O_TMPFILE) where the file system allows it, so that a process killed before it is linked in
// leaves nothing behind; elsewhere it gets a temporary name ".qor-XXXXXX", registered for
// clean-up on terminating signals and unlinked when it goes unless linked in. Move-only.
class NewFile {
 public:
  // Throws IoError (the errno of the creation) when the directory refuses it.
  NewFile(int dir_fd, const std::string& directory) : dir_fd_(dir_fd), fd_(-1) {
    if (unnamed_files_linkable()) {
      fd_.reset(::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
      if (fd_.get() >= 0) return;
      // Not supported by the file system (or the kernel): a named file instead.
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        throw IoError(errno, directory);
      }
    }
    // A short name fits beside any name the directory holds.
    std::string temp = directory + "/.qor-XXXXXX";
    const CleanupSignalsBlocked blocked;
    fd_.reset(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd_.get() < 0) throw IoError(errno, directory);
    cleanup_ = CleanupPath(CleanupPath::Kind::kFile, temp);
    temp_name_ = base_of(temp);
  }
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() {
    if (!temp_name_.empty()) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
  }

  int fd() const { return fd_.get(); }

  // Gives the file the name `name` in the directory, in place of the entry of that name when
  // `replace` (a rename, which readers never see half done); without `replace`, an entry of that
  // name fails it with EEXIST. Throws IoError (the errno of the link or rename). The caller
  // holds the terminating signals: an unnamed file gets a temporary name first when it replaces
  // an entry, which only SIGKILL, in the moment before the rename, can leave behind.
  void link_as(const std::string& name, const std::string& path, bool replace) {
    if (temp_name_.empty()) {
      const std::string own = "/proc/self/fd/" + std::to_string(fd_.get());
      const auto link_to = [&](const std::string& to) {
        // By its /proc path, else (no /proc: a privileged process) by the descriptor itself.
        if (::linkat(AT_FDCWD, own.c_str(), dir_fd_, to.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            (errno == ENOENT && ::linkat(fd_.get(), "", dir_fd_, to.c_str(), AT_EMPTY_PATH) == 0)) {
          return true;
        }
        if (errno == EEXIST) return false;
        throw IoError(errno, path);
      };
      if (!replace) {
        if (!link_to(name)) throw IoError(EEXIST, path);
        return;
      }
      for (;;) {
        std::string temp = ".qor-" + random_name(6);
        if (link_to(temp)) {
          temp_name_ = std::move(temp);
          break;
        }
      }
    }
    if (replace) {
      if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name.c_str()) != 0) {
        throw IoError(errno, path);
      }
    } else {
      if (::linkat(dir_fd_, temp_name_.c_str(), dir_fd_, name.c_str(), 0) != 0) {
        throw IoError(errno, path);
      }
      ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
    }
    temp_name_.clear();
    cleanup_.release();
  }

 private:
  int dir_fd_;
  Fd fd_;
  std::string temp_name_;  // when the file has a temporary name
  CleanupPath cleanup_;
};

// The value of the extended attribute `name` of the open file `fd` (or, with fd < 0, of the file
// at `path`), or nothing when it has none. Throws IoError for other errors.
std::optional<std::string> attribute(int fd, const std::string& path, const std::string& name) {
  std::string value(256, '\0');
  for (;;) {
    const ssize_t n = fd >= 0 ? ::fgetxattr(fd, name.c_str(), value.data(), value.size())
                              : ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<std::size_t>(n));
      return value;
    }
    if (errno == ENODATA) return std::nullopt;
    if (errno != ERANGE) throw IoError(errno, path);
    const ssize_t size = fd >= 0 ? ::fgetxattr(fd, name.c_str(), nullptr, 0)
                                 : ::lgetxattr(path.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) throw IoError(errno, path);
    value.resize(static_cast<std::size_t>(size) + 1);
  }
}

// The names of the extended attributes of the open file `fd` (or of the file at `path`) that the
// process can see. A file system without them has none.
std::vector<std::string> attribute_names(int fd, const std::string& path) {
  std::string list(1024, '\0');
  for (;;) {
    const ssize_t n = fd >= 0 ? ::flistxattr(fd, list.data(), list.size())
                              : ::llistxattr(path.c_str(), list.data(), list.size());
    if (n >= 0) {
      list.resize(static_cast<std::size_t>(n));
      break;
    }
    if (errno == ENOTSUP) return {};
    if (errno != ERANGE) throw IoError(errno, path);
    const ssize_t size =
        fd >= 0 ? ::flistxattr(fd, nullptr, 0) : ::llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) throw IoError(errno, path);
    list.resize(static_cast<std::size_t>(size) + 1);
  }
  std::vector<std::string> names;
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t end = list.find('\0', at);
    if (end == std::string::npos) break;
    if (end > at) names.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// Gives the new file `to` the extended attributes of the file (open on `from`, or at `path` when
// from < 0), access ACLs included (the attribute system.posix_acl_access), and removes those it
// got that the file lacks (an ACL inherited from the directory's default ACL). False when one of
// them cannot be set or removed (not permitted, or not supported where the new file lives): the
// replacement would not keep them. Throws IoError when they cannot be read.
bool copy_attributes(int from, const std::string& path, int to) {
  const std::vector<std::string> wanted = attribute_names(from, path);
  for (const std::string& name : attribute_names(to, path)) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        ::fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  for (const std::string& name : wanted) {
    const std::optional<std::string> value = attribute(from, path, name);
    if (!value || attribute(to, path, name) == value) continue;
    if (::fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0) return false;
  }
  return true;
}

// Copies everything the file open on `from` holds, from its start, to the file open on `to`.
void copy_content(int from, int to, const std::string& path) {
  loff_t in = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(from, &in, to, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
      throw IoError(errno, path);
    }
    break;  // not between these files: read and write
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::pread(from, buf, sizeof buf, in);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError(errno, path);
    }
    if (n == 0) return;
    write_all(to, std::string_view(buf, static_cast<std::size_t>(n)), path);
    in += n;
  }
}

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

IoError refused(const std::string& path, int err, const std::string& what) {
  return IoError(err, path,
                 "cannot write " + py_quote(path) + ": [Errno " + std::to_string(err) + "] " +
                     std::strerror(err) + " (" + what + "); nothing was written");
}

}  // namespace

std::string backup_path(const std::string& path) {
  const std::string resolved = resolve_links(path);
  const std::size_t name_at = resolved.rfind('/') + 1;  // 0 without a slash
  return resolved.substr(0, name_at) + backup_name(resolved.substr(name_at));
}

std::optional<std::string> kept_backup(const std::string& path) {
  const std::string backup = backup_path(path);
  struct stat st;
  if (::lstat(backup.c_str(), &st) != 0) return std::nullopt;
  return backup;
}

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
  struct stat backup;
  if (::fstatat(dir_fd_, backup_name(name_).c_str(), &backup, AT_SYMLINK_NOFOLLOW) == 0) {
    ::close(dir_fd_);
    throw interrupted_before(path, backup_path(path));
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

FileBuffer ReplaceTarget::read_unchanging(std::string lost_message) {
  if (file_fd_ < 0 || method() != Method::kReplace) return read();
  return FileBuffer::read_unchanging(file_fd_, path_, std::move(lost_message));
}

ReplaceTarget::Method ReplaceTarget::method() const {
  if (!existed_) return Method::kReplace;
  if (pinned_.st_nlink > 1 || !can_give(pinned_.st_uid, pinned_.st_gid)) return Method::kInPlace;
  return Method::kReplace;
}

void ReplaceTarget::replace_with(const Produce& produce,
                                 const std::function<void()>& before_change) {
  if (existed_ && ::faccessat(dir_fd_, name_.c_str(), W_OK, 0) != 0) throw IoError(errno, path_);
  if (method() == Method::kInPlace) return write_in_place(produce, before_change);

  std::optional<NewFile> file;
  try {
    file.emplace(dir_fd_, directory_);
  } catch (const IoError& e) {
    throw refused(path_, e.error_code(),
                  "creating a file in " + py_quote(directory_) + " to replace it with");
  }
  if (existed_) {
    // The owner and group of the file, given to the new one, and its extended attributes (its
    // ACL among them); where either is refused, the file is written in place instead.
    struct stat made;
    if (::fstat(file->fd(), &made) != 0) throw IoError(errno, path_);
    if ((made.st_uid != pinned_.st_uid || made.st_gid != pinned_.st_gid) &&
        ::fchown(file->fd(), pinned_.st_uid, pinned_.st_gid) != 0) {
      if (errno != EPERM) throw IoError(errno, path_);
      file.reset();
      return write_in_place(produce, before_change);
    }
    if (!copy_attributes(file_fd_, directory_ + "/" + name_, file->fd())) {
      file.reset();
      return write_in_place(produce, before_change);
    }
  }
  const mode_t mode = existed_ ? (pinned_.st_mode & 07777) : (0666 & ~process_umask());
  EarlyWriteback out(file->fd(), path_);
  produce([&](std::string_view piece) { out.write(piece); });
  // After fchown, which clears the set-user-ID and set-group-ID bits; with an ACL, the group
  // bits are its mask, as on the file.
  if (::fchmod(file->fd(), mode) != 0) throw IoError(errno, path_);
  if (::fsync(file->fd()) != 0) throw IoError(errno, path_);
  if (before_change) before_change();
  check_unchanged(dir_fd_, name_, path_, existed_, pinned_);
  const TerminationHeld held;
  try {
    file->link_as(name_, path_, existed_);
  } catch (const IoError& e) {
    if (e.error_code() == EEXIST) throw changed_meanwhile(path_);  // a file appeared meanwhile
    throw;
  }
  sync_directory(dir_fd_, path_);
}

namespace {

// The pinned file `name` (shown as `path`) opened to be written over with `size` bytes, room for
// them taken first where the file system can; IoError when the file is no longer the pinned one
// or cannot grow that much.
Fd open_for_rewrite(int dir_fd, const std::string& name, const std::string& path,
                    const struct stat& pinned, std::size_t size) {
  Fd fd(::openat(dir_fd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    // A link or nothing where the file was a moment ago.
    if (errno == ELOOP || errno == ENOENT) throw changed_meanwhile(path);
    throw IoError(errno, path);
  }
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) throw IoError(errno, path);
  if (!same_file(opened, pinned)) throw changed_meanwhile(path);
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    throw IoError(EFBIG, path);
  }
  if (size > static_cast<std::size_t>(opened.st_size)) {
    // Room for the whole content before the first byte changes.
    if (::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
      throw IoError(errno, path);
    }
  }
  return fd;
}

// Fills `copy` with the old content of the file `name` (read through `file_fd` when that is
// open), owned as the pinned file is where that can be given, and syncs it. `copy_of` says in
// errors what the copy is for.
void fill_backup_copy(const NewFile& copy, int dir_fd, const std::string& name, int file_fd,
                      const std::string& path, const struct stat& pinned,
                      const std::string& copy_of) {
  if (can_give(pinned.st_uid, pinned.st_gid)) {
    if (::fchown(copy.fd(), pinned.st_uid, pinned.st_gid) != 0) throw IoError(errno, path);
  }
  {
    const Fd own_read(
        file_fd >= 0 ? -1 : ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const int from = file_fd >= 0 ? file_fd : own_read.get();
    if (from < 0) throw refused(path, errno, "reading " + copy_of);
    copy_content(from, copy.fd(), path);
  }
  if (::fsync(copy.fd()) != 0) throw IoError(errno, path);
}

}  // namespace

void ReplaceTarget::write_in_place(const Produce& produce,
                                   const std::function<void()>& before_change) {
  // The whole content first: nothing it throws can leave the file half written.
  std::string content;
  produce([&](std::string_view piece) {
    content.append(piece);
    interrupt::poll();
  });
  if (before_change) before_change();
  check_unchanged(dir_fd_, name_, path_, existed_, pinned_);
  Fd fd = open_for_rewrite(dir_fd_, name_, path_, pinned_, content.size());

  // A copy of the old content, on the device before the first byte of the file changes: a kill
  // or a power cut while the file is written leaves it beside the file. Readable by the file's
  // owner only.
  const std::string backup = backup_name(name_);
  const std::string backup_shown = backup_path(path_);
  const std::string copy_of =
      "a copy of its old content in " + py_quote(directory_) + ", which writing it in place needs";
  std::optional<NewFile> copy;
  try {
    copy.emplace(dir_fd_, directory_);
  } catch (const IoError& e) {
    throw refused(path_, e.error_code(), "creating " + copy_of);
  }
  fill_backup_copy(*copy, dir_fd_, name_, file_fd_, path_, pinned_, copy_of);

  const TerminationHeld held;
  try {
    copy->link_as(backup, path_, false);
  } catch (const IoError& e) {
    if (e.error_code() == EEXIST) throw interrupted_before(path_, backup_shown);
    throw;
  }
  const auto drop_backup = [&] {
    if (::unlinkat(dir_fd_, backup.c_str(), 0) != 0) throw IoError(errno, backup_shown);
    sync_directory(dir_fd_, path_);
  };
  const auto partly_written = [&](int err) {
    return IoError(err, path_,
                   "cannot write " + py_quote(path_) + ": [Errno " + std::to_string(err) + "] " +
                       std::strerror(err) + " (writing it in place: it may be partly written; " +
                       ("its old content is kept in " + py_quote(backup_shown)) + ")");
  };
  sync_directory(dir_fd_, path_);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        ::pwrite(fd.get(), content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      if (done == 0) {
        drop_backup();
        throw IoError(err, path_);
      }
      throw partly_written(err);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(content.size())) != 0) throw partly_written(errno);
  if (::fsync(fd.get()) != 0) throw partly_written(errno);
  drop_backup();
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
