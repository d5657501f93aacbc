// The changes between two versions of a notebook as the readable views present them (private to
// the diff views): every component with its diff status from the diff document and what else
// changed about it (name, parents, outputs, other keys), the changed canvas parameters, the
// changed markdown and raw cells, and the order in which a reader meets them.
#ifndef QOR_VIEWS_CHANGES_H_
#define QOR_VIEWS_CHANGES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qor/json.h"
#include "qor/printable.h"

namespace qor::diff::detail {

// What happened to a component or cell, as a reader names it. A kept component whose source is
// the same is kRenamed when its name changed, else kChanged when its parents, outputs or other
// keys changed, else kUnchanged.
enum class Change : std::uint8_t { kUnchanged, kAdded, kRemoved, kModified, kRenamed, kChanged };

// Ids made short but still telling each apart: the shortest prefix of at least 8 characters
// that no other id shares; where that would exceed 12 characters, the first 8, an ellipsis and
// the shortest suffix of at least 4 that no other id shares. Same order as `ids`.
std::vector<std::string> shorten_ids(const std::vector<std::string>& ids);

// "unchanged", "added", "removed", "modified", "renamed", "changed".
const char* change_word(Change change);

// A parent link of a component: the parent's key (as notebook::ValueTree::key gives it) and the
// text that names it (its name, else its id).
struct ParentLink {
  std::string key;
  std::string label;
};

// One output of a cell: its kind ("stream stdout", "display_data image/png, text/plain",
// "error ValueError") and the bytes of text of its content (all but its type, stream name and
// metadata).
struct OutputInfo {
  std::string kind;
  std::size_t size;
};

// A key of a cell or of the notebook whose value changed: its path ("headerColor",
// "metadata.tags", "metadata.kernelspec", "nbformat_minor") and its two values, null for a key
// added or removed. The values are those of the two documents given to collect_changes(),
// which must outlive this.
struct KeyChange {
  std::string key;
  const json::Value* before = nullptr;
  const json::Value* after = nullptr;
};

struct Component {
  std::string key;       // the component id as notebook::ValueTree::key gives it
  std::string id;        // the id as text
  std::string short_id;  // the shortest prefix (at least 8 characters) that tells it apart
  std::string name;
  std::string prev_name;  // equal to `name` unless it was renamed
  std::string status;     // the diff document's status
  Change change = Change::kUnchanged;
  bool conflict = false;  // a conflict mark on the name ("<<< ", ">>> ") or a conflict block
                          // in the source
  // Lines with their line ends, taken only when the component is not unchanged.
  std::vector<std::string> source, prev_source;
  std::vector<ParentLink> parents, gained, lost;  // parents kept, gained and lost
  std::vector<OutputInfo> outputs, prev_outputs;  // summarised only when changed
  std::vector<bool> output_same;  // per position below both counts: whether the output is equal
  bool outputs_changed = false;
  std::vector<KeyChange> other_changes;  // other keys that changed ("headerColor", ...)
  bool renamed() const { return name != prev_name; }
};

struct ParameterChange {
  Change change = Change::kModified;  // kModified (value, type or other keys), kAdded or kRemoved
  std::string name;
  std::string old_value, new_value;  // as displayed ("\"0.5\"", "null")
  std::string old_type, new_type;
  bool value_changed = false, type_changed = false;
  std::vector<KeyChange> other_changes;  // keys besides name, value and type ("unit")
};

// A markdown, raw or other non-code cell that was added, removed or changed.
struct TextCell {
  std::string cell_type;
  Change change = Change::kModified;
  std::string label;  // its cell id when it has one, else its position ("cell 3")
  std::vector<std::string> source, prev_source;
  std::vector<KeyChange> other_changes;  // keys besides its source and type ("metadata.tags")
};

// One entry of the reading order: a component or a text cell.
struct Entry {
  bool component;
  std::size_t index;
};

struct Changes {
  // Every component: those of the current version in its order, then the removed ones in the
  // previous version's order.
  std::vector<Component> components;
  std::vector<ParameterChange> parameters;  // changed, then added, then removed
  std::vector<TextCell> text_cells;
  // The notebook's own keys that changed: its format ("nbformat_minor"), its metadata
  // ("metadata.kernelspec") and canvas keys other than the parameters ("metadata.canvas.x").
  std::vector<KeyChange> notebook_changes;
  // The components and text cells that are not unchanged: those of the current version in its
  // order, then the removed ones in the previous version's order.
  std::vector<Entry> order;
  // The components both versions hold whose place among them changed: the fewest that account
  // for the new order, as indexes into `components`, in the current version's order.
  std::vector<std::size_t> moved;
  // Those components as the views list them: each by its name, else "id " and its short id.
  std::vector<std::string> moved_labels() const;
  // Component ids that more than one code cell of a version carries, where only the last cell
  // takes part: "id2: cells 1, 2 of nb.ipynb (current version)".
  std::vector<std::string> repeated_ids;
  // The names of the parameters both versions hold, in each version's order, when that order
  // changed (empty otherwise).
  std::vector<std::string> parameter_order, prev_parameter_order;

  // "3 components changed, 1 added, 1 removed; 2 components moved; 2 parameters changed;
  // parameters reordered; notebook metadata changed", or "no changes".
  std::string summary() const;
};

// Collects the changes from `prev` to `current` on top of the diff document of the two (which
// writes its annotations into the parameter objects of both documents). Throws what the diff
// throws for malformed documents.
Changes collect_changes(json::Value& prev, json::Value& current, std::string_view prev_name,
                        std::string_view current_name);

// `text` made safe to show (qor/printable.h): control and format characters become escapes
// ("\x1b", "\u202e"), invalid UTF-8 becomes U+FFFD.
inline void append_display(std::string_view text, std::string& out) { append_printable(text, out); }
inline std::string display(std::string_view text) { return printable(text); }

// A line without its line end ("\n" or "\r\n").
std::string_view strip_line_end(std::string_view line);

// A line of a source diff without its "\n": a "\r" before it stays (display() shows it as
// "\x0d"), so that a line whose only change is its line end shows how it changed.
inline std::string_view diff_line_text(std::string_view line) {
  return line.ends_with('\n') ? line.substr(0, line.size() - 1) : line;
}

// The kind of one output object (see OutputInfo) and the bytes of text it holds.
OutputInfo output_info(const json::Value& output);

// `parts` joined by ", ".
std::string join(const std::vector<std::string>& parts);

// The concatenation of `parts` (strings, string views, C strings).
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

// "512 B", "1.2 kB", "45.3 MB".
std::string format_size(std::size_t bytes);

// `value` as one line of compact JSON, made safe to show (display()).
std::string display_json(const json::Value& value);

// `value` as the lines of its indented JSON form (one blank per level, keys sorted), each made
// safe to show and ended by "\n": long values read and diff best this way.
std::vector<std::string> display_json_lines(const json::Value& value);

// The lines of `text`, each with its line end (notebook::split_lines()), as strings.
std::vector<std::string> owned_lines(std::string_view text);

// A parameter value or type for display: strings quoted (when `quote`), null as null, other
// values as their JSON text.
std::string display_value(const json::Value* value, bool quote);

}  // namespace qor::diff::detail

#endif  // QOR_VIEWS_CHANGES_H_
