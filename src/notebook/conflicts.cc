// The conflict scan: one pass over the cells (sources line by line, names, parent records)
// and one over the canvas parameters. Markers are recognised as git writes them with its
// default marker size: seven '<', '|', '=' or '>' followed by a blank or the end of the line, so
// that longer runs of these characters in ordinary text are not taken for markers; a block
// needs all of its markers in order.
#include "qor/conflicts.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_set>

#include "keyed_hash.h"
#include "qor/errors.h"
#include "qor/notebook.h"

namespace qor::notebook {
namespace {

constexpr std::string_view kOpening = "<<<<<<<";
constexpr std::string_view kSeparator = "=======";
constexpr std::string_view kClosing = ">>>>>>>";
// The label suffixes of the two sides of a notebook merge's conflict blocks.
constexpr std::string_view kCurrentSuffix = "-current";
constexpr std::string_view kIncomingSuffix = "-incoming";

// `line` without its line end.
std::string_view without_line_end(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// Whether `line` is a conflict marker line: `run`, then a blank or the end of the line.
bool is_marker(std::string_view line, std::string_view run) {
  line = without_line_end(line);
  if (!line.starts_with(run)) return false;
  const std::size_t n = run.size();
  return line.size() == n || line[n] == ' ' || line[n] == '\t';
}

// The label of a marker line: what follows the run and its blank.
std::string_view label_of(std::string_view line) {
  line = without_line_end(line);
  return line.size() > kOpening.size() ? line.substr(kOpening.size() + 1) : std::string_view();
}

// Whether an opening and a closing line carry the labels of one notebook merge:
// "<name>-current" and "<name>-incoming".
bool merge_labels(std::string_view opening, std::string_view closing) {
  const std::string_view a = label_of(opening);
  const std::string_view b = label_of(closing);
  return a.ends_with(kCurrentSuffix) && b.ends_with(kIncomingSuffix) &&
         a.substr(0, a.size() - kCurrentSuffix.size()) ==
             b.substr(0, b.size() - kIncomingSuffix.size());
}

// Reads of a document that never change it, so that another thread may read the document
// meanwhile (a merge writes it while its conflicts are counted): a value held as text is looked
// into through a copy, read instead of it and kept while the scan runs.
class Reading {
 public:
  // `v` when it is read already (or null), else a copy of it that may be read.
  const json::Value* open(const json::Value* v) {
    if (v == nullptr || !v->is_raw()) return v;
    return &held_.emplace_back(*v);
  }

  // Member `key` of `obj` when `obj` is there and is an object, else null.
  const json::Value* member(const json::Value* obj, std::string_view key) {
    obj = open(obj);
    return obj != nullptr ? obj->find(key) : nullptr;
  }

  // "metadata" -> "canvas" of a cell or of the notebook, opened.
  const json::Value* canvas_of(const json::Value* v) {
    return open(member(member(v, "metadata"), "canvas"));
  }

  // The string at `obj`[key], when `obj` is an object and the value a string.
  std::optional<std::string_view> string_member(const json::Value* obj, std::string_view key) {
    const json::Value* v = member(obj, key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return v->as_string();
  }

 private:
  std::deque<json::Value> held_;  // a deque keeps their addresses
};

// The blocks among `lines`: (first, last) line indexes, from 0. With `labelled`, only blocks
// whose markers carry a notebook merge's labels.
std::vector<std::pair<std::size_t, std::size_t>> blocks_in(
    const std::vector<std::string_view>& lines, bool labelled) {
  std::vector<std::pair<std::size_t, std::size_t>> blocks;
  enum { kOutside, kOpened, kSeparated } state = kOutside;
  std::size_t open = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (is_marker(line, kOpening)) {
      // An opening line inside a block starts the block again there.
      state = kOpened;
      open = i;
    } else if (state == kOpened && is_marker(line, kSeparator)) {
      state = kSeparated;
    } else if (state == kOpened && is_marker(line, kClosing)) {
      state = kOutside;  // a closing line without a separator closes nothing
    } else if (state == kSeparated && is_marker(line, kClosing)) {
      if (!labelled || merge_labels(lines[open], line)) blocks.emplace_back(open, i);
      state = kOutside;
    }
  }
  return blocks;
}

// Whether a cell of type `cell_type` may hold git's markers as text (markdown and raw cells
// teach and quote), so that only a merge's own blocks count there.
bool holds_prose(std::string_view cell_type) {
  return cell_type == "markdown" || cell_type == "raw";
}

// The conflict blocks of `source` (a list of strings or one string; other kinds have none).
void scan_source(const json::Value* source, bool prose, ConflictBlock proto,
                 std::vector<ConflictBlock>& out) {
  if (source == nullptr) return;
  std::string joined;
  std::string_view text;
  if (source->is_string()) {
    text = source->as_string();
  } else if (source->is_array()) {
    // A block needs an opening line: a source whose items each end a line and hold no opening
    // run is settled without joining its lines.
    const json::Array& items = source->as_array();
    const bool lines_apart = std::all_of(items.begin(), items.end(), [&](const json::Value& item) {
      if (!item.is_string()) return true;
      const std::string_view line = item.as_string();
      return line.find(kOpening) == std::string_view::npos &&
             (&item == &items.back() || line.ends_with('\n') || line.ends_with('\r'));
    });
    if (lines_apart) return;
    for (const json::Value& item : items) {
      // An item of another kind stands for a line of its own.
      joined += item.is_string() ? item.as_string() : std::string_view("\n");
    }
    text = joined;
  } else {
    return;
  }
  for (const auto& [first, last] : blocks_in(text_lines(text), prose)) {
    proto.first_line = first + 1;
    proto.last_line = last + 1;
    out.push_back(proto);
  }
}

// Appends `name` to `out` unless `out` holds it already.
void add_distinct(std::vector<std::string>& out, std::string_view name) {
  if (std::find(out.begin(), out.end(), name) == out.end()) out.emplace_back(name);
}

void append_kind(std::string& text, std::size_t count, const char* singular, const char* plural,
                 const std::vector<std::string>& names) {
  if (count == 0) return;
  constexpr std::size_t kShown = 5;
  if (!text.empty()) text += ", ";
  text += std::to_string(count) + " " + (count == 1 ? singular : plural) + " (";
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i) {
    if (i != 0) text += ", ";
    text += names[i];
  }
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  text += ")";
}

// The conflicts among marked names, each named by its first unmarked name, in order. Names
// that are equal once unmarked are one conflict; so is a ">>> " cell right after a "<<< " cell
// (a conflict copy placed after the current cell, also when the incoming side renamed it).
std::vector<std::string> conflict_names(const std::vector<MarkedName>& marked, bool cells) {
  std::vector<std::string> names;
  const MarkedName* previous = nullptr;
  for (const MarkedName& m : marked) {
    const std::string_view unmarked = unmarked_name(m.name);
    const bool copy_of_previous = cells && previous != nullptr && previous->index + 1 == m.index &&
                                  previous->name.starts_with(kCurrentMark) &&
                                  m.name.starts_with(kIncomingMark);
    previous = &m;
    if (!copy_of_previous)
      add_distinct(names, unmarked.empty() ? std::string_view(m.name) : unmarked);
  }
  return names;
}

}  // namespace

std::vector<std::string_view> text_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    lines.push_back(text.substr(start, i + 1 - start));
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool is_marked(std::string_view name) {
  return name.starts_with(kCurrentMark) || name.starts_with(kIncomingMark);
}

bool has_conflict_block(const std::vector<std::string_view>& lines, std::string_view cell_type) {
  std::string text;
  for (const std::string_view line : lines) text += line;
  return !blocks_in(text_lines(text), holds_prose(cell_type)).empty();
}

bool has_text_conflict_block(std::string_view text) {
  return !blocks_in(text_lines(text), false).empty();
}

std::string_view unmarked_name(std::string_view name) {
  while (is_marked(name)) name.remove_prefix(kCurrentMark.size());
  return name;
}

std::string cell_label(std::size_t index, std::string_view name) {
  return name.empty() ? "cell " + std::to_string(index) : std::string(name);
}

std::size_t Conflicts::count() const {
  return blocks.size() + conflict_names(components, true).size() +
         conflict_names(parameters, false).size() + dangling_parents.size();
}

Conflicts find_conflicts(const json::Value& doc) {
  if (!doc.is_object()) {
    throw TypeError(std::string("a notebook must be a dict, not ") + doc.type_name());
  }
  const json::Value* cells = doc.find("cells");
  if (cells == nullptr) throw KeyError("cells", "not a notebook: missing key 'cells'");
  if (!cells->is_array()) {
    throw TypeError(std::string("'cells' must be a list, not ") + cells->type_name());
  }
  Conflicts found;
  // The document is only read, never changed: values held as text are read through copies.
  Reading r;
  const json::Array& list = r.open(cells)->as_array();
  // The component ids of the notebook, which parent records must name. The ids come from the
  // input: a keyed hash keeps ids built to share a bucket apart.
  std::unordered_set<std::string_view, qor::detail::KeyedStringHash> ids;
  ids.reserve(list.size());
  for (const json::Value& cell : list) {
    if (auto id = r.string_member(r.canvas_of(&cell), "id")) ids.insert(*id);
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json::Value* cell = r.open(&list[i]);
    if (!cell->is_object()) continue;
    const json::Value* canvas = r.canvas_of(cell);
    const std::string_view name = r.string_member(canvas, "name").value_or("");
    const std::string_view component_id = r.string_member(canvas, "id").value_or("");
    const json::Value* source = cell->find("source");
    // A source still held as text need not be read when no part of an opening run occurs in
    // it: a run split between two list items leaves four '<' in one of them.
    if (source != nullptr && !source->text_lacks({kOpening.substr(0, 4)})) {
      ConflictBlock proto;
      proto.cell = i;
      proto.name = std::string(name);
      proto.component_id = std::string(component_id);
      scan_source(r.open(source), holds_prose(r.string_member(cell, "cell_type").value_or("")),
                  proto, found.blocks);
    }
    if (is_marked(name)) {
      found.components.push_back({i, std::string(name), std::string(component_id)});
    }
    const json::Value* parents = r.open(r.member(canvas, "parents"));
    if (parents == nullptr || !parents->is_array()) continue;
    for (const json::Value& record : parents->as_array()) {
      const std::optional<std::string_view> parent = r.string_member(&record, "id");
      if (parent && !ids.contains(*parent)) {
        found.dangling_parents.push_back(
            {i, std::string(name), std::string(component_id), std::string(*parent)});
      }
    }
  }
  const json::Value* parameters = r.open(r.member(r.canvas_of(&doc), "parameters"));
  if (parameters != nullptr && parameters->is_array()) {
    const json::Array& params = parameters->as_array();
    for (std::size_t i = 0; i < params.size(); ++i) {
      const std::optional<std::string_view> name = r.string_member(&params[i], "name");
      if (name && is_marked(*name)) found.parameters.push_back({i, std::string(*name), ""});
    }
  }
  return found;
}

std::string conflict_summary(const Conflicts& conflicts) {
  std::vector<std::string> block_names;
  for (const ConflictBlock& b : conflicts.blocks) {
    add_distinct(block_names, cell_label(b.cell, b.name));
  }
  const std::vector<std::string> components = conflict_names(conflicts.components, true);
  const std::vector<std::string> parameters = conflict_names(conflicts.parameters, false);
  std::string text;
  append_kind(text, conflicts.blocks.size(), "conflict block", "conflict blocks", block_names);
  append_kind(text, components.size(), "component in conflict", "components in conflict",
              components);
  append_kind(text, parameters.size(), "parameter in conflict", "parameters in conflict",
              parameters);
  std::vector<std::string> children;
  for (const DanglingParent& d : conflicts.dangling_parents) {
    add_distinct(children, cell_label(d.cell, d.name));
  }
  append_kind(text, conflicts.dangling_parents.size(), "dangling parent", "dangling parents",
              children);
  return text;
}

}  // namespace qor::notebook
