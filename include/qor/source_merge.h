// The merge of one cell's source text: three versions of its lines merged by one run of
// `git merge-file`, and the runner that starts git.
#ifndef QOR_SOURCE_MERGE_H_
#define QOR_SOURCE_MERGE_H_

#include <optional>
#include <string>
#include <vector>

namespace qor::merge {

// What one run of `git merge-file` reported.
struct MergeFileStatus {
  // 0 when git merged without conflicts, else the number of conflicts it left in the merged
  // file (1 to 127).
  int conflicts = 0;
  std::string messages;  // what git printed on its standard error
};

// Runs `git merge-file`. The source merge receives one and calls it once per merge.
class GitRunner {
 public:
  virtual ~GitRunner() = default;
  // Runs `git merge-file` with `args` (the current, base and incoming paths) and returns its
  // report: conflicts are a normal result. Throws CommandError when git itself fails (exit
  // status 128 and above, or a signal), IoError when git cannot be started.
  virtual MergeFileStatus merge_file(const std::vector<std::string>& args) = 0;
};

// The runner that starts the `git` program found on PATH, in the current working directory.
class Git : public GitRunner {
 public:
  MergeFileStatus merge_file(const std::vector<std::string>& args) override;
};

// Merges three versions of a cell's source lines with one `git merge-file` run in a fresh
// private temporary directory (files "current", "base", "incoming"), removed on every path.
// Conflicts are a normal result: the returned lines then hold git's conflict block, whose labels
// (the temporary current and incoming paths) are replaced by `current_name` and
// `incoming_name` when these are given and not empty. Returned lines keep their line ends, each
// as "\n". Throws ValueError for lines holding lone surrogates (not encodable), UnicodeError
// when git's output is not UTF-8, and whatever `git` throws.
std::vector<std::string> merge_source(GitRunner& git, const std::vector<std::string>& current,
                                      const std::vector<std::string>& base,
                                      const std::vector<std::string>& incoming,
                                      const std::optional<std::string>& current_name = {},
                                      const std::optional<std::string>& incoming_name = {});

}  // namespace qor::merge

#endif  // QOR_SOURCE_MERGE_H_
