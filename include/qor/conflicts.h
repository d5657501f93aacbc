// The unresolved conflicts a merge can leave in a notebook: conflict blocks in cell sources,
// and cells and canvas parameters whose names carry the conflict marks "<<< " or ">>> ". One
// scan serves both the merge's closing summary and `qorgit check`.
#ifndef QOR_CONFLICTS_H_
#define QOR_CONFLICTS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qor/json.h"

namespace qor::notebook {

// A conflict block in a cell's source: a complete marker sequence as git writes one, an
// opening line ("<<<<<<<" followed by a blank or the line end), then a separator line
// ("======="), then a closing line (">>>>>>>" followed by a blank or the line end), a base line
// ("|||||||") allowed between opening and separator. The lines are those of the source's text,
// ended by "\n", "\r\n" or a lone "\r", whether the source is one string, a list of lines or a
// list whose items hold several lines. In markdown and raw cells, which may show git's markers
// as text, only blocks that carry a merge's labels count: an opening line labelled
// "<name>-current" and a closing line labelled "<name>-incoming", as a notebook merge writes
// them. In other cells every complete block counts.
struct ConflictBlock {
  std::size_t cell = 0;        // index of the cell in "cells", from 0
  std::string name;            // the cell's name ("metadata" -> "canvas" -> "name"), or ""
  std::string component_id;    // the cell's component id, or "" when it has none
  std::size_t first_line = 0;  // line of the source that opens the block, from 1
  std::size_t last_line = 0;   // line that closes it (or the last line), from 1
};

// A cell or a canvas parameter whose name starts with "<<< " or ">>> ".
struct MarkedName {
  std::size_t index = 0;     // index in "cells" or in the canvas "parameters", from 0
  std::string name;          // the name as stored, marks included
  std::string component_id;  // a cell's component id ("" for parameters or when absent)
};

// A parent record whose "id" names no component of the notebook (a broken link of the
// pipeline: the parent was deleted, or replaced by a copy with a fresh component id).
struct DanglingParent {
  std::size_t cell = 0;      // index of the child cell in "cells", from 0
  std::string name;          // the child's name, or ""
  std::string component_id;  // the child's component id, or ""
  std::string parent_id;     // the id the record names
};

// Everything unresolved in one notebook, each list in document order.
struct Conflicts {
  std::vector<ConflictBlock> blocks;
  std::vector<MarkedName> components;
  std::vector<MarkedName> parameters;
  std::vector<DanglingParent> dangling_parents;

  bool empty() const {
    return blocks.empty() && components.empty() && parameters.empty() && dangling_parents.empty();
  }
  // The number of blocks, plus components and parameters in conflict, plus dangling parent
  // records: marked names that are equal once unmarked count once ("<<< plot" and ">>> plot"),
  // and so does a ">>> " cell right after a "<<< " cell (a conflict copy after its current
  // cell, renamed or not).
  std::size_t count() const;
};

// Lists the unresolved conflicts of the notebook document `doc`. Throws TypeError when `doc` is
// not an object holding a "cells" list; every other part is read where it has the expected
// kind and skipped otherwise (a cell without a source has no blocks, a parameter list that is
// absent has no marked parameters, a parent record without a string "id" dangles from
// nothing). Never changes `doc`, not even by reading a value held as text in place (such values
// are read through copies): other threads may read `doc` meanwhile.
Conflicts find_conflicts(const json::Value& doc);

// `text` split into lines as the scan numbers them, each with its line end: "\n", "\r\n" or a
// lone "\r".
std::vector<std::string_view> text_lines(std::string_view text);

// Whether `name` starts with a conflict mark ("<<< " or ">>> ").
bool is_marked(std::string_view name);

// Whether the source lines `lines` (each with its line end) of a cell of type `cell_type` hold a
// conflict block, as find_conflicts() finds blocks.
bool has_conflict_block(const std::vector<std::string_view>& lines,
                        std::string_view cell_type = "code");

// For a file that is not JSON: whether its text holds a conflict block (as a code cell's source
// would), which is what git's own text merge leaves in a notebook it could not merge.
bool has_text_conflict_block(std::string_view text);

// What to tell someone about such a file.
inline constexpr std::string_view kTextConflictNote =
    "git's conflict markers are in the file's text (git merged it as text): resolve them in an "
    "editor or with git mergetool";

// `name` without the conflict marks it starts with: "<<< >>> plot" gives "plot".
std::string_view unmarked_name(std::string_view name);

// How a cell is named in reports: its name, else "cell N" (N counted from 0).
std::string cell_label(std::size_t index, std::string_view name);

// One line for people, e.g. "1 conflict block (train), 2 components in conflict (plot, fit),
// 1 parameter in conflict (learning_rate), 1 dangling parent (plot)": each kind that occurs,
// counted as count() counts it, with the names of the blocks' cells, the unmarked names of the
// components and parameters and the names of the cells whose parents dangle, in document
// order, at most five followed by "and N more". Empty when `conflicts` is empty.
std::string conflict_summary(const Conflicts& conflicts);

}  // namespace qor::notebook

#endif  // QOR_CONFLICTS_H_
