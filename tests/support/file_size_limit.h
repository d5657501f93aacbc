// A file-size limit for the test process, so that writes fail with EFBIG whoever runs the tests.
#ifndef QOR_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_
#define QOR_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_

#include <sys/resource.h>

#include <csignal>

namespace qor::testing {

// Limits the size of the files the process writes to `bytes`, with SIGXFSZ ignored (a write
// beyond the limit then fails with EFBIG), while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : old_handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  void (*old_handler_)(int);
  struct rlimit saved_ {};
};

}  // namespace qor::testing

#endif  // QOR_TESTS_SUPPORT_FILE_SIZE_LIMIT_H_
