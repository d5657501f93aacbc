// The merge engine's cell pieces: the merge sides, MergeCell (a cell view that knows its side
// and marks its name when it is one of two conflicting copies), and the cell difference that
// tells whether a side changed a cell.
#ifndef QOR_MERGE_CELL_H_
#define QOR_MERGE_CELL_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "qor/errors.h"
#include "qor/notebook.h"
#include "qor/structdiff.h"

namespace qor::merge {

// The three versions of a notebook in a three-way merge.
enum class Side { kBase, kCurrent, kIncoming };

inline constexpr std::string_view kBaseName = "base";
inline constexpr std::string_view kCurrentName = "current";
inline constexpr std::string_view kIncomingName = "incoming";

using notebook::kCurrentMark;
using notebook::kIncomingMark;

// The side called `name` ("base", "current" or "incoming"); AssertionError for any other text.
Side side_from_name(std::string_view name);
std::string_view side_name(Side side);

// The name prefix of `side`: kCurrentMark or kIncomingMark; empty for the base.
std::string_view mark_of(Side side);

// A cell taking part in a merge, with the side it comes from.
template <class Tree>
class BasicMergeCell : public notebook::BasicCell<Tree> {
 public:
  using Ref = typename Tree::Ref;

  // A view over `data` from side `side`; `place`, when given, names the cell in errors.
  BasicMergeCell(Ref data, Side side, std::optional<notebook::CellPlace> place = std::nullopt)
      : notebook::BasicCell<Tree>(data, place), side_(side) {}

  Side file_type() const { return side_; }

  // Prefixes a non-empty name with the side's mark ("<<< " for the current side, ">>> " for the
  // incoming side) unless it already starts with that mark. Unnamed cells and base cells are
  // left unchanged, so marking is idempotent per side.
  void add_conflict_mark() {
    const std::string name = this->name();
    const std::string_view mark = mark_of(side_);
    if (name.empty() || mark.empty() || name.starts_with(mark)) return;
    this->set_name(std::string(mark) + name);
  }

 private:
  Side side_;
};

using MergeCell = BasicMergeCell<notebook::ValueTree>;

// Removes "name" from every record of the parent list `parents` (records that are not objects
// are left alone), so that parent names never count as a change.
template <class Tree>
void strip_names(const typename Tree::Ref& parents) {
  const std::size_t n = Tree::size(parents);
  for (std::size_t i = 0; i < n; ++i) {
    const typename Tree::Ref record = Tree::item(parents, i);
    if (Tree::is_object(record)) Tree::erase(record, "name");
  }
}

// strip_names over the parent records held inside `cell`'s object.
template <class Tree>
void strip_parent_names(const notebook::BasicCell<Tree>& cell) {
  const typename Tree::Ref parents = cell.parents();
  if (parents) strip_names<Tree>(parents);
}

// The cell difference of two cell objects, older first: their structural difference without a
// top-level "execution_count" entry. Sends its printed form to the debug log.
structdiff::Delta cell_difference(const json::Value& older, const json::Value& newer);

// Compares one cell in two versions (`older` is the base's): removes the parent names of both
// cells (`older`'s first), then returns their cell difference. An empty result means unchanged.
structdiff::Delta cell_changed(const MergeCell& older, const MergeCell& newer);

// cell_changed(older, newer) with its "outputs" entry erased. The outputs are not compared
// unless debug logging shows the whole difference.
structdiff::Delta cell_changed_leaving_outputs(const MergeCell& older, const MergeCell& newer);

// Whether cell_changed(older, newer) is non-empty once its "outputs" entry is erased (kept with
// `with_outputs`), as the merge asks of most cells. Removes the parent names alike; the
// difference itself is built (and logged) only when debug logging is on, else the first
// difference found settles the answer.
bool cell_changed_beyond_outputs(const MergeCell& older, const MergeCell& newer,
                                 bool with_outputs = false);

}  // namespace qor::merge

#endif  // QOR_MERGE_CELL_H_
