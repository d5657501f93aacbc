// Timing and memory probes of the core for bench/run.py, which prints them next to CPython's
// figures measured in the same run. Each mode prints one number.
//
//   qor_bench read FILE RUNS        best seconds of parsing the file's bytes
//   qor_bench write FILE RUNS       best seconds of writing the parsed document, streamed in
//                                   pieces as notebook files are written
//   qor_bench peak FILE             bytes of peak memory added by reading the notebook file
//   qor_bench celldiff OLD NEW RUNS best seconds of the cell difference of two cell files
//   qor_bench run SECONDS PROGRAM ARGS...
//                                   runs the program (looked up on PATH, output to /dev/null)
//                                   and prints its wall seconds, its peak RSS in bytes and its
//                                   exit status (or "timeout" when it ran longer than SECONDS:
//                                   then it is killed). Started from this small process, its
//                                   peak RSS is its own and not inherited from a large parent.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge_cell.h"
#include "qor/notebook.h"

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

template <class F>
double best_seconds(int runs, F&& f) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double>(t1 - t0).count());
  }
  return *std::min_element(times.begin(), times.end());
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long status_bytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size())) * 1024;
  }
  return -1;
}

// The "run" mode: see the file comment. The wait blocks, so that the time is exact; a watchdog
// thread kills a program that runs longer than `timeout`.
int run_program(double timeout, char** argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "qor_bench: cannot start %s\n", argv[0]);
    return 1;
  }
  std::mutex mutex;
  std::condition_variable done_signal;
  bool done = false, killed = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done_signal.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return done; })) {
      killed = true;
      kill(pid, SIGKILL);
    }
  });
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  done_signal.notify_one();
  watchdog.join();
  if (killed) {
    std::printf("timeout\n");
    return 0;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss * 1024L, code);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: qor_bench read|write|writelazy|peak|celldiff|run ...\n");
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "run" && argc > 3) return run_program(std::stod(argv[2]), argv + 3);
  try {
    if (mode == "read") {
      const std::string text = slurp(argv[2]);
      std::printf("%.6f\n", best_seconds(std::stoi(argv[3]), [&] { qor::json::parse(text); }));
    } else if (mode == "write" || mode == "writelazy") {
      // writelazy: a notebook read as the merge reads it, most of it held as text.
      const qor::json::Value doc = mode == "write" ? qor::json::parse(slurp(argv[2]))
                                                   : qor::notebook::read_notebook(argv[2]);
      std::size_t bytes = 0;
      std::printf("%.6f\n", best_seconds(std::stoi(argv[3]), [&] {
                    qor::json::write(doc, [&](std::string_view piece) { bytes += piece.size(); });
                  }));
      if (bytes == 0) return 1;
    } else if (mode == "peak") {
      const long before = status_bytes("VmRSS");
      const qor::json::Value doc = qor::notebook::read_notebook(argv[2]);
      std::printf("%ld\n", status_bytes("VmHWM") - before);
    } else if (mode == "celldiff") {
      const qor::json::Value older = qor::json::parse(slurp(argv[2]));
      const qor::json::Value newer = qor::json::parse(slurp(argv[3]));
      std::printf("%.9f\n", best_seconds(std::stoi(argv[4]),
                                         [&] { qor::merge::cell_difference(older, newer); }));
    } else {
      std::fprintf(stderr, "qor_bench: unknown mode %s\n", mode.c_str());
      return 2;
    }
  } catch (const qor::Error& e) {
    std::fprintf(stderr, "qor_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
