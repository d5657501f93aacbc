// Line differences for display: a shortest edit script between two lists of lines and its
// grouping into unified-diff hunks (private to the diff views).
#ifndef QOR_VIEWS_LINE_DIFF_H_
#define QOR_VIEWS_LINE_DIFF_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qor::diff::detail {

enum class LineOp : std::uint8_t { kEqual, kDelete, kInsert };

// One line of an edit script: an old line kept as new line `new_index`, an old line deleted, or
// a new line inserted. `old_index` is the old line's index, or for an insertion the number of
// old lines before it; `new_index` likewise on the new side.
struct LineEdit {
  LineOp op;
  std::size_t old_index;
  std::size_t new_index;
};

// The edit script from `before` to `after`: every line of both, in order, deletions before
// insertions between two kept lines. The kept lines form a longest common subsequence (lines
// compare as exact strings) unless the inputs are so large and so different that the search
// stops early, in which case the rest of the differing middle is deleted and inserted whole.
std::vector<LineEdit> diff_lines(const std::vector<std::string_view>& before,
                                 const std::vector<std::string_view>& after);

// diff_lines() for the lines of two texts (each line with its "\n", the last one possibly
// without): where both texts end alike (both with "\n" or both without), a last line without its
// "\n" compares as though it had one, so that a line appended to a text saved without a final
// newline (as Jupyter saves sources) does not show the line before it as changed. Where they end
// differently, lines compare as they are, so that the change of the final newline shows.
std::vector<LineEdit> diff_text_lines(const std::vector<std::string_view>& before,
                                      const std::vector<std::string_view>& after);

// Whether the line of edit `e` (from `before` to `after`, as diff_text_lines() compared them)
// needs git's "\ No newline at end of file" after it: a removed or added last line without its
// "\n", where the two texts end differently.
bool needs_no_newline_mark(const std::vector<std::string_view>& before,
                           const std::vector<std::string_view>& after, const LineEdit& e);

// One hunk of a unified diff: edits [first, last) of the script, and the old and new line
// ranges they cover (starts counted from 0).
struct Hunk {
  std::size_t first, last;
  std::size_t old_start, old_count;
  std::size_t new_start, new_count;
};

// Groups the changes of `edits` into hunks with up to `context` kept lines around each change;
// changes separated by at most 2 * `context` kept lines share a hunk. No changes, no hunks.
std::vector<Hunk> unified_hunks(const std::vector<LineEdit>& edits, std::size_t context = 3);

// The "@@ -1,3 +1,4 @@" line of a hunk, ranges written as difflib and diff -u write them.
std::string hunk_header(const Hunk& hunk);

}  // namespace qor::diff::detail

#endif  // QOR_VIEWS_LINE_DIFF_H_
