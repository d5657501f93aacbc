// An open file descriptor held for a scope (private to the core).
#ifndef QOR_PLATFORM_FD_H_
#define QOR_PLATFORM_FD_H_

#include <unistd.h>

#include <utility>

namespace qor::platform {

// Closes the descriptor it holds (if any, -1 is none) when it goes, so that every error path
// closes it. Move-only.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, reporting the error a deferred write may surface at close.
  int close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace qor::platform

#endif  // QOR_PLATFORM_FD_H_
