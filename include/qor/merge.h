// The merge engine's cell pieces: the merge sides, MergeCell (a cell view that knows its side
// and marks its name when it is one of two conflicting copies), and the cell difference that
// tells whether a side changed a cell.
#ifndef QOR_MERGE_H_
#define QOR_MERGE_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qor/errors.h"
#include "qor/notebook.h"
#include "qor/structdiff.h"

namespace qor::merge {

// The three versions of a notebook in a three-way merge.
enum class Side { kBase, kCurrent, kIncoming };

inline constexpr std::string_view kBaseName = "base";
inline constexpr std::string_view kCurrentName = "current";
inline constexpr std::string_view kIncomingName = "incoming";

// The name prefixes of the two copies a conflict leaves: four characters each.
inline constexpr std::string_view kCurrentMark = "<<< ";
inline constexpr std::string_view kIncomingMark = ">>> ";

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

  BasicMergeCell(Ref data, Side side) : notebook::BasicCell<Tree>(data), side_(side) {}

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

// ---------------------------------------------------------------------------------------------
// Source-text merge

// Runs `git merge-file`. The source merge receives one and calls it once per merge.
class GitRunner {
 public:
  virtual ~GitRunner() = default;
  // Runs `git merge-file` with `args` (the current, base and incoming paths). Returns when git
  // exits with 0. Throws GitCommandError for exit statuses 1 to 127 (git's count of conflicts),
  // CommandError when git itself fails (128 and above, or a signal), IoError when git cannot be
  // started.
  virtual void merge_file(const std::vector<std::string>& args) = 0;
};

// The runner that starts the `git` program found on PATH, in the current working directory.
class Git : public GitRunner {
 public:
  void merge_file(const std::vector<std::string>& args) override;
};

// Merges three versions of a cell's source lines with one `git merge-file` run in a fresh
// private temporary directory (files "current", "base", "incoming"), removed on every path.
// Conflicts are a normal result: the returned lines then hold git's conflict block, whose labels
// (the temporary current and incoming paths) are replaced by `current_name` and
// `incoming_name` when these are given and not empty. Returned lines keep their line ends, each
// as "\n". Throws ValueError for lines holding lone surrogates (not encodable), UnicodeError
// when git's output is not UTF-8, and whatever `git` throws except GitCommandError.
std::vector<std::string> merge_source(GitRunner& git, const std::vector<std::string>& current,
                                      const std::vector<std::string>& base,
                                      const std::vector<std::string>& incoming,
                                      const std::optional<std::string>& current_name = {},
                                      const std::optional<std::string>& incoming_name = {});

// ---------------------------------------------------------------------------------------------
// Three-way notebook merge

// A random version-4 UUID in canonical form: 36 lower-case characters, groups of 8-4-4-4-12.
std::string uuid4();

struct MergeOptions {
  // Makes the component id and the cell id of each conflict copy; uuid4 when empty.
  std::function<std::string()> new_id;
  // Runs git for the source merges; the real `git` when null.
  GitRunner* git = nullptr;
  // Whether merge_files frees the three documents before it returns. A process that exits
  // right after the merge may leave them to the system, which takes the memory back at once
  // (they stay reachable, so leak checkers do not report them).
  bool free_documents = true;
};

// The three documents of a merge and the names that label them in error messages.
struct MergeInput {
  json::Value& current;
  json::Value& base;
  json::Value& incoming;
  std::string current_name = "current";
  std::string base_name = "base";
  std::string incoming_name = "incoming";
};

// Merges the canvas parameter lists of the three documents ("metadata" -> "canvas" ->
// "parameters") by "name" and returns the merged list. Parameters that stay in conflict come
// last, renamed "<<< name" (the current side's) and ">>> name" (the incoming side's). Marks the
// parameter objects of `current` and `incoming` in place. Throws KeyError naming the document
// and key when a list or a name is missing.
json::Array merge_parameters(const MergeInput& docs);

// Merges `docs` component by component into `docs.current`, which then holds the merged
// notebook: its "cells" and canvas "parameters" replaced, every other key kept. Conflict
// copies get ids from `options.new_id`; source merges run through `options.git` and label their
// conflict blocks `file_path` + "-current" / "-incoming". Also changes `docs.base` and
// `docs.incoming` (parent names removed, marks on shared objects). Throws KeyError or TypeError
// naming the document and the cell for missing or malformed keys.
void merge_documents(const MergeInput& docs, const std::string& file_path,
                     const MergeOptions& options = {});

// Reads the three notebook files (current, base, incoming), merges them and replaces the file at
// `current_file_path` by the merged notebook, atomically. On any failure no file is changed.
void merge_files(const std::string& base_file_path, const std::string& current_file_path,
                 const std::string& incoming_file_path, const std::string& file_path,
                 const MergeOptions& options = {});

}  // namespace qor::merge

#endif  // QOR_MERGE_H_
