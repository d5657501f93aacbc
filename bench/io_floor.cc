// The durable I/O floor a merge is measured against: a program that reads the three notebook
// files whole, writes the current file's bytes to a temporary file beside the output, syncs it,
// renames it over the output and syncs the directory. No parsing at all: the least that any merge
// which must read its inputs and replace a file durably can cost. Benchmark only.
//
//   io_floor BASE CURRENT INCOMING OUTPUT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// The whole file at `path`, or false.
bool read_whole(const char* path, std::string& out) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return ::close(fd) == 0;
}

bool write_whole(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: io_floor BASE CURRENT INCOMING OUTPUT\n");
    return 2;
  }
  std::string files[3];
  const char* paths[3] = {argv[2], argv[1], argv[3]};  // current first, as the merge reads
  for (int i = 0; i < 3; ++i) {
    if (!read_whole(paths[i], files[i])) {
      std::fprintf(stderr, "io_floor: cannot read %s\n", paths[i]);
      return 1;
    }
  }
  const std::string output = argv[4];
  const std::string temp = output + ".floor-tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  if (!write_whole(fd, files[0]) || ::fsync(fd) != 0 || ::close(fd) != 0) return 1;
  if (std::rename(temp.c_str(), output.c_str()) != 0) return 1;
  const std::size_t slash = output.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : output.substr(0, slash + 1);
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0 || ::fsync(dir_fd) != 0 || ::close(dir_fd) != 0) return 1;
  return 0;
}
