// Tests of the platform layer: the pinned replacement of a file (which file is written, how, and
// what a change of the path meanwhile does), temporary directories, memory files handed to a
// child process, and the clean-up that a terminating signal runs in a real child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/temp_dir.h"
#include "qor/errors.h"
#include "qor/interrupt.h"
#include "qor/program.h"
#include "support/expect.h"
#include "support/file_size_limit.h"

namespace qor::platform {
namespace {

using Method = ReplaceTarget::Method;

Produce text(const std::string& content) {
  return [content](const std::function<void(std::string_view)>& emit) { emit(content); };
}

ino_t inode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

TEST(ReplaceTarget, ReplacesASingleFileAndWritesAHardLinkedOneInPlace) {
  TempDir dir;
  const std::string single = dir.write("single", "old single");
  const std::string linked = dir.write("linked", "old linked");
  ASSERT_EQ(::link(linked.c_str(), dir.file("other name").c_str()), 0);
  const ino_t single_inode = inode_of(single), linked_inode = inode_of(linked);

  ReplaceTarget a(single);
  EXPECT_EQ(a.method(), Method::kReplace);
  a.replace_with(text("new single"));
  EXPECT_NE(inode_of(single), single_inode);

  ReplaceTarget b(linked);
  EXPECT_EQ(b.method(), Method::kInPlace);
  b.replace_with(text("new"));  // shorter than before: the rest is cut
  EXPECT_EQ(inode_of(linked), linked_inode);
  EXPECT_EQ(dir.read("linked"), "new");
  EXPECT_EQ(dir.read("other name"), "new");
  ReplaceTarget(linked).replace_with(text(std::string(100000, 'x')));  // longer
  EXPECT_EQ(dir.read("other name"), std::string(100000, 'x'));

  EXPECT_EQ(dir.read("single"), "new single");
  EXPECT_EQ(dir.listing(), "linked other name single");
}

// `before_change` runs once the content is produced and before the file changes, whichever
// way the file is written; what it throws leaves the file as it was.
TEST(ReplaceTarget, BeforeChangeRunsBetweenProducingAndChangingTheFile) {
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "in place" : "replaced");
    TempDir dir;
    const std::string path = dir.write("nb", "old");
    if (linked) {
      ASSERT_EQ(::link(path.c_str(), dir.file("link").c_str()), 0);
    }
    std::string seen;
    const Produce produce = [&](const std::function<void(std::string_view)>& emit) {
      seen += "produced ";
      emit("new");
    };
    ReplaceTarget(path).replace_with(produce, [&] { seen += "before:" + dir.read("nb"); });
    EXPECT_EQ(seen, "produced before:old");
    EXPECT_EQ(dir.read("nb"), "new");
    EXPECT_THROW(ReplaceTarget(path).replace_with(text("newer"),
                                                  [] { throw ValueError("the readers failed"); }),
                 ValueError);
    EXPECT_EQ(dir.read("nb"), "new");
    EXPECT_EQ(dir.listing(), linked ? "link nb" : "nb");
  }
}

TEST(ReplaceTarget, CreatesAFileThatDidNotExist) {
  TempDir dir;
  ReplaceTarget target(dir.file("new"));
  EXPECT_EQ(target.method(), Method::kReplace);
  EXPECT_THROW_MSG(target.read(), IoError,
                   "[Errno 2] No such file or directory: '" + dir.file("new") + "'");
  target.replace_with(text("made"));
  EXPECT_EQ(dir.read("new"), "made");
}

TEST(ReplaceTarget, ReadsThePinnedFileWhateverThePathLeadsToMeanwhile) {
  TempDir dir;
  const std::string path = dir.write("nb", "pinned");
  ReplaceTarget target(path);
  dir.write("other", "other");
  ASSERT_EQ(::rename(dir.file("other").c_str(), path.c_str()), 0);
  EXPECT_EQ(target.read().view(), "pinned");
}

TEST(ReplaceTarget, APathThatNoLongerLeadsToThePinnedFileIsLeftAlone) {
  const std::string message_end =
      ": the path no longer leads to the file that was read (it was replaced or moved "
      "meanwhile); nothing was written";
  struct Case {
    const char* name;
    bool linked;      // a hard-linked file (written in place) rather than a single one
    bool to_symlink;  // the file swapped for a link to a victim, else for another file
  } cases[] = {
      {"single file swapped for another", false, false},
      {"single file swapped for a link", false, true},
      {"hard-linked file swapped for another", true, false},
      {"hard-linked file swapped for a link", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.write("nb", "read");
    if (c.linked) {
      ASSERT_EQ(::link(path.c_str(), dir.file("link").c_str()), 0);
    }
    dir.write("victim", "precious");
    ReplaceTarget target(path);
    ASSERT_EQ(::rename(path.c_str(), dir.file("moved").c_str()), 0);
    if (c.to_symlink) {
      ASSERT_EQ(::symlink("victim", path.c_str()), 0);
    } else {
      dir.write("nb", "someone else's");
    }
    EXPECT_THROW_MSG(target.replace_with(text("merged")), IoError,
                     "cannot write " + py_quote(path) + message_end);
    EXPECT_EQ(dir.read("victim"), "precious");
    EXPECT_EQ(dir.read("moved"), "read");
    EXPECT_EQ(dir.read("nb"), c.to_symlink ? "precious" : "someone else's");
    EXPECT_EQ(dir.listing().find(".qor-"), std::string::npos) << dir.listing();
  }
  // A file that appears where there was none is not overwritten either.
  TempDir dir;
  ReplaceTarget target(dir.file("nb"));
  dir.write("nb", "appeared");
  EXPECT_THROW(target.replace_with(text("merged")), IoError);
  EXPECT_EQ(dir.read("nb"), "appeared");
}

TEST(ReplaceTarget, AnInPlaceWriteBeyondTheFileSizeLimitChangesNothing) {
  TempDir dir;
  const std::string path = dir.write("nb", "old");
  ASSERT_EQ(::link(path.c_str(), dir.file("link").c_str()), 0);
  {
    const testing::FileSizeLimit limit(1024);
    EXPECT_THROW_MSG(ReplaceTarget(path).replace_with(text(std::string(4096, 'x'))), IoError,
                     "[Errno 27] File too large: '" + path + "'");
  }
  EXPECT_EQ(dir.read("nb"), "old");
}

TEST(ReplaceTarget, AnInterruptionLeavesTheFileAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.write("nb", "old");
  interrupt::set_check([] { throw interrupt::Interrupted(); });
  EXPECT_THROW(ReplaceTarget(path).replace_with([](const auto& emit) {
    for (int i = 0; i < 20; ++i) {
      emit("piece ");
      std::this_thread::sleep_for(interrupt::kPollInterval);
    }
  }),
               interrupt::Interrupted);
  interrupt::set_check(nullptr);
  EXPECT_EQ(dir.read("nb"), "old");
  EXPECT_EQ(dir.listing(), "nb");
}

// The new file has no name while it is written (where the file system allows), so that nothing
// could be left beside the file; once replaced, nothing but the file is there.
TEST(ReplaceTarget, TheNewFileIsUnnamedWhileItIsWritten) {
  TempDir dir;
  const std::string path = dir.write("nb", "old");
  std::string seen;
  ReplaceTarget(path).replace_with([&](const std::function<void(std::string_view)>& emit) {
    emit("new ");
    seen = dir.listing();
    emit("content");
  });
  EXPECT_EQ(seen, "nb");
  EXPECT_EQ(dir.read("nb"), "new content");
  EXPECT_EQ(dir.listing(), "nb");
}

// The extended attributes of the file go to its replacement, and those the new file got from
// the directory (none here) do not stay; a file written in place keeps its own.
TEST(ReplaceTarget, ExtendedAttributesAreKept) {
  TempDir dir;
  const std::string path = dir.write("nb", "old");
  if (::setxattr(path.c_str(), "user.origin", "lab\0x", 5, 0) != 0) {
    GTEST_SKIP() << "no user attributes on this file system";
  }
  ASSERT_EQ(::setxattr(path.c_str(), "user.empty", "", 0, 0), 0);
  const ino_t before = inode_of(path);
  ReplaceTarget(path).replace_with(text("new"));
  EXPECT_NE(inode_of(path), before);
  char value[16];
  EXPECT_EQ(::getxattr(path.c_str(), "user.origin", value, sizeof value), 5);
  EXPECT_EQ(std::string(value, 5), std::string("lab\0x", 5));
  EXPECT_EQ(::getxattr(path.c_str(), "user.empty", value, sizeof value), 0);
  EXPECT_EQ(dir.read("nb"), "new");
}

TEST(ReplaceTarget, ACopyLeftByAnInterruptedWriteKeepsTheFileAsItIs) {
  TempDir dir;
  const std::string path = dir.write("nb", "half written");
  dir.write("nb.qor-backup", "old");
  EXPECT_EQ(kept_backup(path), dir.file("nb.qor-backup"));
  EXPECT_EQ(kept_backup(dir.file("nb.qor-backup")), std::nullopt);
  EXPECT_THROW_MSG(ReplaceTarget{path}, IoError,
                   "cannot write " + py_quote(path) +
                       ": an earlier write of it in place was interrupted, and its old content is "
                       "kept in " +
                       py_quote(dir.file("nb.qor-backup")) +
                       ": the file may hold neither version; put that copy back or remove it; "
                       "nothing was written");
  EXPECT_EQ(dir.read("nb"), "half written");
  EXPECT_EQ(dir.read("nb.qor-backup"), "old");
}

TEST(ReplaceTarget, TheCopyOfAFileWithALongNameHasANameThatFits) {
  TempDir dir;
  const std::string a(250, 'a'), b = std::string(249, 'a') + "b";
  const std::string backup_a = backup_path(dir.file(a)), backup_b = backup_path(dir.file(b));
  EXPECT_NE(backup_a, backup_b);
  for (const std::string& backup : {backup_a, backup_b}) {
    const std::string name = backup.substr(dir.path().size() + 1);
    EXPECT_LE(name.size(), 255u) << name;
    EXPECT_TRUE(name.ends_with(".qor-backup")) << name;
  }
  EXPECT_EQ(backup_path(dir.file("nb")), dir.file("nb.qor-backup"));
  ASSERT_EQ(::symlink(dir.file(a).c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(backup_path(dir.file("link")), backup_a);  // beside the file the link leads to
}

TEST(TempDir, IsAbsoluteWhateverTmpdirSays) {
  TempDir scratch;
  char* saved_env = std::getenv("TMPDIR");
  const std::string saved = saved_env != nullptr ? saved_env : "";
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(scratch.path().c_str()), 0);
  ASSERT_EQ(::mkdir("-x", 0700), 0);
  ::setenv("TMPDIR", "-x", 1);
  std::string made;
  {
    TempDir dir("probe");
    made = dir.path();
    EXPECT_EQ(made.rfind(scratch.path() + "/-x/probe-", 0), 0u) << made;
  }
  EXPECT_EQ(::access(made.c_str(), F_OK), -1);
  // A name of the same form, where nothing is made.
  const std::string unmade = unmade_temp_path("probe");
  EXPECT_EQ(unmade.rfind(scratch.path() + "/-x/probe-", 0), 0u) << unmade;
  EXPECT_EQ(unmade.size(), made.size());
  EXPECT_NE(unmade, unmade_temp_path("probe"));
  EXPECT_EQ(::access(unmade.c_str(), F_OK), -1);
  if (saved_env != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  ASSERT_EQ(::chdir(cwd), 0);
}

// The environment variable `name` set to `value` (unset for null) for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) saved_ = old;
    had_ = old != nullptr;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (had_) {
      ::setenv(name_, saved_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

TEST(TempDir, TriesThePlacesPythonsTempfileTriesInItsOrder) {
  TempDir scratch;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  {
    const ScopedEnv tmpdir("TMPDIR", "relative"), temp("TEMP", "/nonexistent"), tmp("TMP", "");
    EXPECT_EQ(temp_locations(),
              (std::vector<std::string>{std::string(cwd) + "/relative", "/nonexistent", "/tmp",
                                        "/var/tmp", "/usr/tmp", cwd}));
  }
  const std::string file = scratch.write("a file", "");
  const std::string made_in = scratch.file("made in");
  ASSERT_EQ(::mkdir(made_in.c_str(), 0700), 0);
  {
    const TempDir dir("probe", {"/nonexistent", file, made_in});
    EXPECT_EQ(dir.path().rfind(made_in + "/probe-", 0), 0u) << dir.path();
  }
  EXPECT_THROW_MSG(
      TempDir("probe", {"/nonexistent", file}), IoError,
      "[Errno 2] No usable temporary directory found in ['/nonexistent', '" + file + "']");
}

// The open descriptor `fd` also under the number `at` for a scope; what sat there is set aside
// and put back.
class DescriptorAt {
 public:
  DescriptorAt(int fd, int at) : at_(at), saved_(::fcntl(at, F_DUPFD_CLOEXEC, 100)) {
    EXPECT_EQ(::dup2(fd, at), at);
  }
  DescriptorAt(const DescriptorAt&) = delete;
  DescriptorAt& operator=(const DescriptorAt&) = delete;
  ~DescriptorAt() {
    if (saved_ < 0) {
      ::close(at_);
    } else {
      ::dup2(saved_, at_);
      ::close(saved_);
    }
  }

 private:
  int at_;
  int saved_;
};

// A child reads and rewrites the memory files handed to it, each under the number it was
// handed for, also where the caller holds them on those very numbers the other way round.
// A large file read after another one's buffer was freed is read into that buffer's memory, and
// holds its own bytes only (none of the longer file read before).
TEST(FileBuffer, AFreedBufferIsReusedForTheNextFile) {
  TempDir dir;
  const std::string longer(3 << 20, 'a'), shorter((3 << 20) - 100, 'b');
  const std::string first = dir.write("first", longer), second = dir.write("second", shorter);
  const char* freed = nullptr;
  {
    const FileBuffer bytes = FileBuffer::read(first);
    EXPECT_EQ(bytes.view(), longer);
    freed = bytes.view().data();
  }
  const FileBuffer bytes = FileBuffer::read(second);
  EXPECT_EQ(bytes.view().data(), freed);
  EXPECT_EQ(bytes.view(), shorter);
}

TEST(MemoryFile, AChildReadsAndRewritesTheFilesItIsHanded) {
  if (!MemoryFile::available()) GTEST_SKIP() << "no memory files on this system";
  const MemoryFile first("one", "first"), second("two", "second");
  // Copies, away from 3 and 4 where the files themselves may sit, put on 4 and 3.
  const int first_copy = ::fcntl(first.fd(), F_DUPFD_CLOEXEC, 10);
  const int second_copy = ::fcntl(second.fd(), F_DUPFD_CLOEXEC, 10);
  {
    const DescriptorAt first_at(first_copy, 4), second_at(second_copy, 3);
    const ProcessResult result =
        run_process({"sh", "-c", "cat \"$0\" \"$1\" >&2; printf new > \"$0\"", passed_fd_path(0),
                     passed_fd_path(1)},
                    {4, 3});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.stderr_text, "onetwo");
    // The caller's descriptors are as they were.
    EXPECT_EQ(read_file("/proc/self/fd/4"), "new");
    EXPECT_EQ(read_file("/proc/self/fd/3"), "two");
  }
  ::close(first_copy);
  ::close(second_copy);
  EXPECT_EQ(first.read(), "new");
  EXPECT_EQ(second.read(), "two");
}

TEST(ProcessOutput, AChildReadsItsInputWhileItsOutputIsRead) {
  // More than a pipe holds either way, so that writing and reading must go on together.
  std::string input;
  for (int i = 0; input.size() < (std::size_t{1} << 20); ++i) input += std::to_string(i) + "\n";
  const ProcessOutput copied = run_process_output({"cat"}, input);
  EXPECT_EQ(copied.exit_status, 0);
  EXPECT_EQ(copied.stdout_text, input);
  const ProcessOutput none = run_process_output({"wc", "-c"}, std::string_view());
  EXPECT_EQ(none.stdout_text, "0\n");
  // A child that stops reading early ends the input without failing the run.
  const ProcessOutput head = run_process_output({"head", "-n", "2"}, input);
  EXPECT_EQ(head.exit_status, 0);
  EXPECT_EQ(head.stdout_text, "0\n1\n");
}

// $BROWSER as other programs read it: the first of a list separated by colons; "%s" where the
// target goes, else the target last; the target always an argument, never shell text.
TEST(Browser, TheCommandIsTheFirstOfBrowserWithTheTargetAsItsArgument) {
  const char* saved = std::getenv("BROWSER");
  const std::string target = "/tmp/a page; rm -rf x.html";
  const struct {
    const char* browser;
    std::string echoed;
  } cases[] = {
      {"echo", target},
      {"echo --new-window", "--new-window " + target},
      {"echo [%s] %s", "[" + target + "] " + target},
      {"echo one:echo two", "one " + target},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.browser);
    ::setenv("BROWSER", c.browser, 1);
    const std::vector<std::string> argv = browser_command(target);
    EXPECT_EQ(run_process_output(argv, std::string_view()).stdout_text, c.echoed + "\n");
  }
  ::unsetenv("BROWSER");
  EXPECT_EQ(browser_command(target), (std::vector<std::string>{"xdg-open", target}));
  if (saved != nullptr) ::setenv("BROWSER", saved, 1);
}

// Runs `body` in a child process with the programs' signal handlers installed; returns its
// wait status.
template <class Body>
int in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    program::install_signal_cleanup();
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

// A scratch directory of its own (a TempDir would be registered for clean-up as well).
class Scratch {
 public:
  Scratch() {
    std::string templ = std::filesystem::temp_directory_path().string() + "/qor-signal-XXXXXX";
    EXPECT_NE(::mkdtemp(templ.data()), nullptr);
    path_ = templ;
  }
  ~Scratch() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string listing() const {
    std::string out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      out += (out.empty() ? "" : " ") + e.path().filename().string();
    }
    return out;
  }

 private:
  std::string path_;
};

TEST(SignalCleanup, ATerminatingSignalRemovesTheRegisteredPathsAndEndsByIt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    Scratch scratch;
    const std::string dir = scratch.file("work"), file = scratch.file("temp"),
                      kept = scratch.file("kept");
    const int status = in_child([&] {
      ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
      write_file(dir + "/current", "x");
      write_file(dir + "/base", "y");
      write_file(file, "z");
      write_file(kept, "not registered");
      const CleanupPath d(CleanupPath::Kind::kDirectory, dir);
      const CleanupPath f(CleanupPath::Kind::kFile, file);
      CleanupPath released(CleanupPath::Kind::kFile, kept);
      released.release();
      ::raise(sig);
      ::_exit(3);  // not reached
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(scratch.listing(), "kept");
  }
}

// A terminating signal during a hold waits for its end, whichever thread it reaches; then it
// acts as it would have (the clean-up, the end by that signal).
TEST(SignalCleanup, AHeldSignalActsWhenTheHoldEnds) {
  for (const bool other_thread : {false, true}) {
    SCOPED_TRACE(other_thread ? "received by another thread" : "received by the holding thread");
    Scratch scratch;
    const std::string temp = scratch.file("temp"), marker = scratch.file("written");
    const int status = in_child([&] {
      write_file(temp, "registered");
      const CleanupPath registered(CleanupPath::Kind::kFile, temp);
      // A thread that does not block the signals, for the kernel to deliver them to.
      std::thread idle;
      if (other_thread) idle = std::thread([] { ::pause(); });
      {
        const TerminationHeld held;
        ::kill(::getpid(), SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        write_file(marker, "the write went on");
      }
      ::_exit(3);  // not reached
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(scratch.listing(), "written");
  }
}

// A file mapped for reading that shrinks under the reader ends the process with the file's
// error and status 1, after the clean-up and after a held write has finished. A process that
// does not guard mappings, and a pinned file that would be written in place, read a copy, which
// the shrinking does not touch.
TEST(MappedInputs, AFileThatShrinksWhileItIsReadEndsTheProcessWithItsError) {
  struct Case {
    const char* name;
    bool guarded, held, pinned_with_a_link, lost;
  };
  for (const Case& c : {Case{"guarded", true, false, false, true},
                        Case{"guarded, a write held", true, true, false, true},
                        Case{"not guarded", false, false, false, false},
                        Case{"pinned, written in place", true, false, true, false}}) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    const std::string input = scratch.file("input"), temp = scratch.file("temp"),
                      errors = scratch.file("errors"), marker = scratch.file("written");
    write_file(input, std::string(3 << 20, 'x'));
    std::optional<ReplaceTarget> pinned;
    if (c.pinned_with_a_link) {
      ASSERT_EQ(::link(input.c_str(), scratch.file("link").c_str()), 0);
      pinned.emplace(input);
    }
    const int status = in_child([&] {
      if (c.guarded) program::guard_mapped_inputs("prog: error: ");
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(err, STDERR_FILENO);
      write_file(temp, "registered");
      const CleanupPath registered(CleanupPath::Kind::kFile, temp);
      const FileBuffer bytes = pinned ? pinned->read_unchanging("input: lost")
                                      : FileBuffer::read_unchanging(input, "input: lost");
      if (bytes.view().size() != (3u << 20)) ::_exit(4);
      if (::truncate(input.c_str(), 4096) != 0) ::_exit(5);
      std::thread writer;
      if (c.held) {
        writer = std::thread([&] {
          const TerminationHeld hold;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          write_file(marker, "the write went on");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      const volatile char last = bytes.view().back();
      if (last != 'x') ::_exit(6);
      if (writer.joinable()) writer.join();
      ::_exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), c.lost ? 1 : 0);
    EXPECT_EQ(read_file(errors), c.lost ? "prog: error: input: lost\n" : "");
    EXPECT_EQ(scratch.listing().find("temp") == std::string::npos, c.lost) << scratch.listing();
    EXPECT_EQ(scratch.listing().find("written") != std::string::npos, c.held);
  }
}

// A SIGBUS that no mapped input explains keeps its default action.
TEST(MappedInputs, AnyOtherBusErrorKeepsItsDefaultAction) {
  const int status = in_child([] {
    program::guard_mapped_inputs("prog: error: ");
    ::raise(SIGBUS);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGBUS);
}

TEST(SignalCleanup, ProgramsIgnoreSigpipeAndSigxfsz) {
  const int status = in_child([] {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(2);
    ::close(fds[0]);
    if (::write(fds[1], "x", 1) != -1 || errno != EPIPE) ::_exit(4);
    ::raise(SIGXFSZ);
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace qor::platform
