// Tests of the queue that runs a notebook merge's source merges side by side: results arrive in
// the order the merges were asked for, and a failure is the one sequential runs would give.
#include "merge/source_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "merge/source_merge.h"
#include "qor/errors.h"
#include "support/expect.h"

namespace qor::merge::detail {
namespace {

using Lines = std::vector<std::string>;

// The same place for the three versions of a source.
SourcePlaces places(const std::string& where) { return {where, where, where}; }

// Three versions of a source whose both sides changed different lines of a ten-line text.
struct Versions {
  Lines current, base, incoming, expected;
};

Versions versions(int n) {
  Versions v;
  for (int i = 0; i < 10; ++i) v.base.push_back("line " + std::to_string(i) + "\n");
  v.current = v.incoming = v.expected = v.base;
  v.current[1] = v.expected[1] = "current " + std::to_string(n) + "\n";
  v.incoming[8] = v.expected[8] = "incoming " + std::to_string(n) + "\n";
  return v;
}

const Lines kUnwritable = {"\xED\xA0\x80\n"};  // a lone surrogate cannot be written out

TEST(SourceQueue, AppliesResultsInTheOrderAsked) {
  SourceQueue queue(nullptr);
  std::vector<int> order;
  std::vector<Lines> results(12);
  for (int n = 0; n < 12; ++n) {
    Versions v = versions(n);
    queue.add(v.current, v.base, v.incoming, "nb-current", "nb-incoming", places("cell"),
              [&, n](Lines lines) {
                order.push_back(n);
                results[n] = std::move(lines);
              });
  }
  queue.finish();
  ASSERT_EQ(order.size(), 12u);
  for (int n = 0; n < 12; ++n) {
    EXPECT_EQ(order[n], n);
    EXPECT_EQ(results[n], versions(n).expected) << n;
  }
}

TEST(SourceQueue, ReportsTheFirstFailureInOrder) {
  SourceQueue queue(nullptr);
  std::vector<int> applied;
  const Versions v = versions(0);
  queue.add(v.current, v.base, v.incoming, "", "", places("cell"),
            [&](Lines) { applied.push_back(0); });
  queue.add(kUnwritable, v.base, v.incoming, "", "", places("nb (current version): cell 1"),
            [&](Lines) { applied.push_back(1); });
  queue.add(v.current, kUnwritable, v.incoming, "", "", places("cell"),
            [&](Lines) { applied.push_back(2); });
  EXPECT_THROW_MSG(queue.finish(), ValueError,
                   "nb (current version): cell 1: merging the source: 'utf-8' codec can't encode "
                   "character '\\ud800': surrogates not allowed");
  EXPECT_EQ(applied, std::vector<int>{0});
}

// Lines that cannot be written for git are reported with the place of their own version, whether
// the result is known without git or git would run.
TEST(SourceQueue, AnUnwritableVersionIsNamedByItsOwnPlace) {
  const Versions v = versions(0);
  const SourcePlaces where{"nb (current version): cell 1", "nb (base version): cell 1",
                           "nb (incoming version): cell 1"};
  struct Case {
    const char* name;
    Lines current, base, incoming;
    const std::string* place;
  } cases[] = {
      {"incoming, both sides changed", v.current, v.base, kUnwritable, &where.incoming},
      {"incoming, current unchanged", v.base, v.base, kUnwritable, &where.incoming},
      {"base", v.current, kUnwritable, v.incoming, &where.base},
      {"current and incoming", kUnwritable, v.base, kUnwritable, &where.current},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SourceQueue queue(nullptr);
    queue.add(c.current, c.base, c.incoming, "", "", where, [](Lines) {});
    EXPECT_THROW_MSG(queue.finish(), ValueError,
                     *c.place +
                         ": merging the source: 'utf-8' codec can't encode character '\\ud800': "
                         "surrogates not allowed");
  }
}

// Merges whose result is known without git (one side left the text alone) keep their place
// among those that run git, their errors included.
TEST(SourceQueue, KnownResultsKeepTheirPlace) {
  SourceQueue queue(nullptr);
  std::vector<Lines> applied;
  const auto keep = [&](Lines lines) { applied.push_back(std::move(lines)); };
  const Versions v = versions(0);
  queue.add(v.current, v.base, v.incoming, "", "", places("cell 0"), keep);
  queue.add(v.base, v.base, {"new\r\n"}, "", "", places("cell 1"), keep);
  queue.add(kUnwritable, kUnwritable, {"new\n"}, "", "", places("cell 2"), keep);
  queue.add(v.current, v.base, v.incoming, "", "", places("cell 3"), keep);
  EXPECT_THROW_MSG(queue.finish(), ValueError,
                   "cell 2: merging the source: 'utf-8' codec can't encode character '\\ud800': "
                   "surrogates not allowed");
  EXPECT_EQ(applied, (std::vector<Lines>{v.expected, {"new\n"}}));
}

TEST(SourceQueue, AnEarlierFailureComesBeforeALaterError) {
  SourceQueue queue(nullptr);
  const Versions v = versions(0);
  queue.add(kUnwritable, v.base, v.incoming, "", "", places("cell"), [](Lines) {});
  EXPECT_THROW(queue.fail(std::make_exception_ptr(KeyError("source"))), ValueError);

  SourceQueue fine(nullptr);
  fine.add(v.current, v.base, v.incoming, "", "", places("cell"), [](Lines) {});
  EXPECT_THROW(fine.fail(std::make_exception_ptr(KeyError("source"))), KeyError);
}

// A runner of the caller's own runs at once, in the calling thread.
class RecordingGit : public GitRunner {
 public:
  MergeFileStatus merge_file(const std::vector<std::string>& args) override {
    calls.push_back(args);
    return {};
  }
  std::vector<std::vector<std::string>> calls;
};

TEST(SourceQueue, RunsACallersRunnerAtOnce) {
  RecordingGit git;
  SourceQueue queue(&git);
  bool applied = false;
  const Versions v = versions(0);
  queue.add(v.current, v.base, v.incoming, "", "", places("cell"), [&](Lines lines) {
    applied = true;
    EXPECT_EQ(lines, v.current);  // the runner did not touch the current file
  });
  EXPECT_TRUE(applied);
  EXPECT_EQ(git.calls.size(), 1u);
  queue.finish();
}

// A surrogate (0xED, then a byte from 0xA0 on) is found wherever it lies; 0xED starting any other
// character, or too near the end to start a whole one, is fine.
TEST(CheckWritable, FindsASurrogateAnywhere) {
  const std::string surrogate = "\xED\xA0\x80", other = "\xED\x9F\xBF";  // U+D800, U+D7FF
  const std::string filler(40, 'a');
  struct Case {
    std::string text;
    bool refused;
  } cases[] = {
      {"", false},
      {surrogate, true},
      {filler + surrogate, true},
      {surrogate + filler, true},
      {filler + other + filler + surrogate + filler, true},
      {filler + other + filler, false},
      {filler + "\xED\xA0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    if (c.refused) {
      EXPECT_THROW_MSG(check_writable(c.text), ValueError,
                       "'utf-8' codec can't encode character '\\ud800': surrogates not allowed");
    } else {
      EXPECT_NO_THROW(check_writable(c.text));
    }
  }
}

}  // namespace
}  // namespace qor::merge::detail
