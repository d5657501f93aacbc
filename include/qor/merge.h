// The three-way merge of pipeline notebooks: three versions of a notebook merged component by
// component, their canvas parameters merged by name, and the merged notebook written over the
// current version's file. The cell pieces are in merge_cell.h, the source merge in
// source_merge.h.
#ifndef QOR_MERGE_H_
#define QOR_MERGE_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qor/conflicts.h"
#include "qor/json.h"
#include "qor/merge_cell.h"
#include "qor/notebook.h"
#include "qor/source_merge.h"

namespace qor::merge {

// What merge_files does when a version is not a notebook it can merge component by component
// (not JSON, no cell list, a cell without a component id, no canvas parameter list, or any
// other key the merge needs missing or malformed).
enum class Fallback {
  kNone,  // fails with the error that names the version, the cell and the key
  kText,  // merges the file as git merges text files (merge_text_files)
};

// The form of a text merge's conflict blocks: the labels after the markers, and the markers'
// length. Empty labels are made from the file path: "<path>-base", "<path>-current",
// "<path>-incoming".
struct TextMergeOptions {
  std::string base_label, current_label, incoming_label;
  int marker_size = 7;
};

struct MergeOptions {
  // Makes the component id and the cell id of each conflict copy; random version-4 UUIDs when
  // empty.
  std::function<std::string()> new_id;
  // Runs git for the source merges; the real `git` when null. Must outlive the merge.
  GitRunner* git = nullptr;
  // The notebook's name in error messages (its path in the repository); empty: each version is
  // named by the path of the file it was read from.
  std::string notebook_name;
  // The written form of the merged notebook file (merge_files).
  notebook::Layout layout = notebook::Layout::kDefault;
  // Whether merge_files frees the three documents before it returns. A process that exits
  // right after the merge may leave them to the system, which takes the memory back at once
  // (they stay reachable, so leak checkers do not report them).
  bool free_documents = true;
  // Versions that are not pipeline notebooks: an error, or the file merged as text.
  Fallback fallback = Fallback::kNone;
  TextMergeOptions text = {};
};

// What merge_files reports besides the file it wrote.
struct MergeResult {
  // The unresolved conflicts of the merged notebook as written: those the merge made and any
  // that the merged versions already held.
  notebook::Conflicts conflicts;
  // What the merge decided that no conflict mark shows, worth a look but not counted as
  // conflicts, one sentence each: a cell without a name (a markdown cell, an unnamed component)
  // kept against one side's deletion ("component 'm2' (markdown cell): deleted here, changed on
  // the incoming side"); a parent record dropped because the incoming side deleted the parent
  // ("component 'eval' lost its parent 'train', which the incoming side deleted"); the part of
  // an incoming change that a cell changed on both sides does not take; a conflict copy left
  // without marks; an incoming change of the notebook's own keys, which keep the current
  // version's values.
  std::vector<std::string> notes;
  // Set when the file was merged as text (Fallback::kText): why the notebook merge could not
  // take it, a sentence that names the notebook ("analysis/old.ipynb: cell 3 has no component
  // id"). `conflicts` is then empty.
  std::optional<std::string> text_merge_reason;
  // After a text merge: the conflict blocks left in the file. Versions git takes for binary
  // leave the current version as it was, and count as one conflict.
  std::size_t text_conflicts = 0;
  bool binary = false;
};

// Reads the three notebook files (current, base, incoming), merges them and replaces the file at
// `current_file_path` by the merged notebook in `options.layout`, atomically, then returns the
// conflicts left in it. Errors name each version as "<notebook> (<version> version)", the
// notebook being `options.notebook_name` or, when that is empty, the path of the version's
// file. With Fallback::kText, a version the notebook merge cannot take (a KeyError, TypeError,
// ValueError or AssertionError before anything is written) makes it merge the files as text
// instead (merge_text_files), and the result says why. On any failure no file is changed.
MergeResult merge_files(const std::string& base_file_path, const std::string& current_file_path,
                        const std::string& incoming_file_path, const std::string& file_path,
                        const MergeOptions& options = {});

// Merges the three files as git's own text merge does (`git merge-file`, with the histogram
// diff that git's merges use where git offers it, and the repository's merge.conflictStyle)
// and replaces the file at `current_file_path` by the result, atomically; `file_path` makes the
// labels `options` leaves empty. Versions that git takes for binary (a NUL byte in the first
// 8,000 bytes, or more than 1023 MiB) are not merged: the current file stays as it is and the
// result counts one conflict, as git's own merge does. Fills `text_conflicts` and `binary` of
// the result, with `reason` as its text_merge_reason. Throws IoError naming the version, and
// CommandError when git fails.
MergeResult merge_text_files(const std::string& base_file_path,
                             const std::string& current_file_path,
                             const std::string& incoming_file_path, const std::string& file_path,
                             const TextMergeOptions& options, std::string reason);

}  // namespace qor::merge

#endif  // QOR_MERGE_H_
