// Whole-file reading, the replacement of a file that an operation read, and files in memory
// (private to the core).
#ifndef QOR_PLATFORM_FILE_H_
#define QOR_PLATFORM_FILE_H_

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fd.h"

namespace qor::platform {

class MappingGuard;

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
  // Reads the whole file open on `fd` (from its start), named `path` in errors. Throws IoError.
  static FileBuffer read(int fd, const std::string& path);
  // The whole file at `path`, for a file that nobody changes while the buffer lives (a merge
  // driver's temporary versions): a large regular file is mapped read-only, sharing the
  // system's cache of it instead of copying it, when the program guards mappings
  // (program::guard_mapped_inputs(), which prints `lost_message` should the file shrink under
  // the mapping); otherwise read(path). Throws IoError.
  static FileBuffer read_unchanging(const std::string& path, std::string lost_message);
  // read_unchanging() of the file open on `fd` (from its start), named `path` in errors.
  static FileBuffer read_unchanging(int fd, const std::string& path, std::string lost_message);

  FileBuffer(FileBuffer&& other) noexcept;
  FileBuffer& operator=(FileBuffer&&) = delete;
  ~FileBuffer();

  std::string_view view() const { return {data_, size_}; }

 private:
  FileBuffer() = default;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // length of the mapping (size_ or more), 0 when `text_` has them
  std::string text_;
  std::unique_ptr<MappingGuard> guard_;  // for a mapping of the file itself
};

// A file that lives in memory only (Linux memfd), for handing a text to a child process by
// descriptor: no inode is made on a disk, and nothing is left to remove once it is closed.
// Move-only.
class MemoryFile {
 public:
  // Whether memory files can be made here and a child can open a descriptor it was given by
  // path (passed_fd_path() in platform/process.h needs /proc). Decided once per process.
  static bool available();
  // A memory file holding `content`, named `name` in errors. Throws IoError.
  MemoryFile(std::string_view content, const std::string& name);

  int fd() const { return fd_.get(); }
  // The whole content as it is now (a child may have rewritten it). Throws IoError.
  std::string read() const;

 private:
  Fd fd_;
  std::string name_;
};

// Receives a function that appends bytes to the new content of a file, and calls it with the
// content piece by piece.
using Produce = std::function<void(const std::function<void(std::string_view)>&)>;

// The path of the copy of the old content that an in-place write of the file at `path` keeps
// beside it until the new content is on the device: "<name>.qor-backup" in the directory of the
// file its links lead to (a name too long for that is cut short and given a hash of the whole
// name).
std::string backup_path(const std::string& path);

// backup_path(path) when that copy is there (an in-place write of the file was interrupted: the
// file may hold neither version), else nothing.
std::optional<std::string> kept_backup(const std::string& path);

// A file that an operation reads first and replaces at the end, pinned when the operation
// starts: its symbolic links are resolved once, its directory is held open and the file's
// identity (device and inode), owner, group and permission bits are recorded. The file read and
// the file replaced are that file, whatever happens to the path meanwhile. Move-only.
//
// No interruption leaves the file neither the old nor the new one. The terminating signals are
// held off (platform/signals.h) from the first change of the file until it is on the device;
// against SIGKILL and power loss, the file is either replaced by a rename, or, written in place,
// a synced copy of its old content stays beside it (backup_path()) until the new content is
// synced. While such a copy is there, the file is not replaced.
class ReplaceTarget {
 public:
  // How replace_with() writes the new content.
  enum class Method {
    // A new file beside the file (without a name until it is complete, where the file system
    // allows), then a rename over it and a sync of the directory: the file is never seen half
    // written. Taken when the replacement can keep everything the file's inode carries for the
    // user (owner, group, permission bits, extended attributes and ACLs, its being the one file
    // its names lead to).
    kReplace,
    // The content complete in memory first, a synced copy of the old content beside the file,
    // then the new content written over the file itself: taken for a file with several hard
    // links (every link then sees the result, as when an editor saves it), and a file whose
    // owner, group or extended attributes the process could not give a new file.
    kInPlace,
  };

  // Pins the file at `path` (created by replace_with() when it does not exist yet). Throws
  // IoError when `path` leads to a directory, a loop of links, or a directory that cannot be
  // opened, and when the copy of an interrupted in-place write is beside the file (the message
  // names it).
  explicit ReplaceTarget(const std::string& path);
  ReplaceTarget(ReplaceTarget&& other) noexcept;
  ReplaceTarget& operator=(ReplaceTarget&&) = delete;
  ~ReplaceTarget();

  // The whole pinned file. Throws IoError (also when it did not exist).
  FileBuffer read();
  // read(), but mapped read-only (FileBuffer::read_unchanging()) when the file is to be
  // replaced by a new one (Method::kReplace): a file written in place is always copied. The
  // caller must not read the bytes once replace_with() has changed the file (see its
  // `before_change`).
  FileBuffer read_unchanging(std::string lost_message);

  // The method replace_with() takes, as things stand.
  Method method() const;

  // Replaces the pinned file by the content that `produce` gives, keeping its permission bits
  // (a new file gets 0666 less the umask), its extended attributes and ACLs and, for a process
  // that may (root), its owner and group. Refuses, as opening for writing would, a file the
  // process may not write, and a file whose directory refuses new files (both methods need
  // one). Before the new content takes the file's place, checks that the path still leads to
  // the pinned file (and its directory entry is that file, not a link): when not, nothing is
  // written and IoError says so. On any failure the file is left as it was (with the in-place
  // method, only an error of the device while writing can leave it partly written; the message
  // says so and names the copy of the old content, which then stays), nothing else is left
  // beside it, and IoError is thrown; an exception from `produce` fails the replacement
  // likewise. `before_change`, when given, is called once the content is produced, before the
  // file or its name changes (to let other readers of the old bytes finish).
  void replace_with(const Produce& produce, const std::function<void()>& before_change = {});

 private:
  void write_in_place(const Produce& produce, const std::function<void()>& before_change);

  std::string path_;       // as given, for messages
  std::string directory_;  // of the resolved path
  std::string name_;       // of the file in its directory
  int dir_fd_ = -1;
  int file_fd_ = -1;       // open for reading; -1 when the file is not a readable regular file
  bool existed_ = false;   // whether there was a file when pinned
  struct stat pinned_ {};  // the file when pinned, valid when existed_
};

// Replaces the file at `path` with the content `produce` gives: ReplaceTarget(path) and its
// replace_with(). Throws IoError.
void replace_file_with(const std::string& path, const Produce& produce);

// replace_file_with() for a content held whole in memory (small files: configuration, hooks).
void replace_file(const std::string& path, std::string_view content);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_FILE_H_
