// The ways one cell's source can be merged, and the choice among them (private to src/merge):
// its result known without git, git reading the versions from memory files, git reading them
// from files, or a runner of the caller's own. The source queue schedules what is chosen here.
#ifndef QOR_MERGE_SOURCE_MERGE_H_
#define QOR_MERGE_SOURCE_MERGE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qor/source_merge.h"

namespace qor::merge::detail {

using Lines = std::vector<std::string>;

// Largest file git merges as text (its MAX_XDIFF_SIZE): git takes a larger one for binary.
inline constexpr std::size_t kGitTextLimit = std::size_t{1023} << 20;

// Runs `git merge-file` with `args`, handing it the open descriptors `passed` as
// platform::run_process() does, and returns its report (conflicts are a normal result).
// Throws CommandError when git failed (exit status 128 and above, or a signal), IoError when it
// cannot be started.
MergeFileStatus git_merge_file(const std::vector<std::string>& args,
                               const std::vector<int>& passed);

// Throws the ValueError merge_source() throws for `text` when it cannot be written for git (it
// holds a lone surrogate).
void check_writable(std::string_view text);

// How one source merge of a notebook merge is done.
enum class SourceWay {
  kKnown,   // its result is known without git (merged_without_git())
  kMemory,  // the real git reads the versions from memory files (merge_source_in_memory())
  kFiles,   // the real git, or the caller's runner, reads them from files (merge_source_in())
};

struct SourcePlan {
  SourceWay way = SourceWay::kFiles;
  std::optional<Lines> merged;  // with kKnown
};

// The way the three versions merge: through `runner` when the caller gives one (always on
// files), else with the real git as cheaply as gives git's result: known without git when
// merged_without_git() knows it, else in memory where mergeable_in_memory(), else on files.
// Throws the ValueError of merge_source() for lines that cannot be written for git.
SourcePlan plan_source_merge(GitRunner* runner, const Lines& current, const Lines& base,
                             const Lines& incoming);

// Runs the merge `plan` chose (not kKnown), its files (or, in memory, their labels) at `stem`
// followed by "current", "base" and "incoming"; through `runner` when not null, else the real
// git. Throws what merge_source() throws.
Lines run_source_merge(const SourcePlan& plan, GitRunner* runner, const std::string& stem,
                       const Lines& current, const Lines& base, const Lines& incoming,
                       const std::optional<std::string>& current_name,
                       const std::optional<std::string>& incoming_name);

// merge_source() with its three files at `stem` followed by "current", "base" and "incoming",
// in a private directory of the caller's, which removes them with itself.
Lines merge_source_in(const std::string& stem, GitRunner& git, const Lines& current,
                      const Lines& base, const Lines& incoming,
                      const std::optional<std::string>& current_name,
                      const std::optional<std::string>& incoming_name);

// Whether merge_source_in_memory() can take the three versions: the system offers memory files,
// and git takes every version for text (no NUL byte, not above its size limit), so that git
// reports nothing about the files themselves.
bool mergeable_in_memory(const Lines& current, const Lines& base, const Lines& incoming);

// merge_source() with the real git, its three files in memory (platform::MemoryFile) instead of
// in a directory: git reads and rewrites them through the descriptors it is handed, and labels
// them, with its -L option, `stem` followed by "current", "base" and "incoming", the paths the
// files would have had in a directory that is never made. The result is the one the files in
// that directory would have given. Nothing is made on a disk, and nothing is left to remove.
Lines merge_source_in_memory(const std::string& stem, const Lines& current, const Lines& base,
                             const Lines& incoming, const std::optional<std::string>& current_name,
                             const std::optional<std::string>& incoming_name);

// merge_source()'s result with the real git when it is known without running git. When one
// side's text is the base's, git takes the other side's text whole; when both sides made the
// same change, git takes the current side's text (each change of one side meets the same change
// of the other, which git does not count as a conflict). When the sides changed parts of the
// text that lie apart, with base lines between them that git's diff cannot move either change
// over, git merges the two changes without conflict, and its text is built here the way git
// builds it. Nothing when the changes may meet (git then decides whether they conflict), or
// when git would refuse a text as binary (a NUL byte) or as too large: only git itself reports
// those. A text without conflict blocks has no labels to replace (the temporary paths, named for
// each merge, cannot occur in the versions). Throws the ValueError of merge_source() for lines
// that cannot be written for git.
std::optional<Lines> merged_without_git(const Lines& current, const Lines& base,
                                        const Lines& incoming);

}  // namespace qor::merge::detail

#endif  // QOR_MERGE_SOURCE_MERGE_H_
