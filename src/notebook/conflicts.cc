// The conflict scan: one pass over the cells (sources line by line, names) and one over the
// canvas parameters. Markers are recognised as git writes them with its default marker size:
// seven '<' or '>' followed by a blank or the end of the line, so that longer runs of angle
// brackets in ordinary text are not taken for markers.
#include "qor/conflicts.h"

#include <algorithm>
#include <optional>

#include "qor/errors.h"
#include "qor/notebook.h"

namespace qor::notebook {
namespace {

constexpr std::string_view kOpening = "<<<<<<<";
constexpr std::string_view kClosing = ">>>>>>>";

// Whether `line` is a conflict marker line: `run` (kOpening or kClosing), then a blank or the
// end of the line.
bool is_marker(std::string_view line, std::string_view run) {
  if (!line.starts_with(run)) return false;
  const std::size_t n = run.size();
  return line.size() == n || line[n] == ' ' || line[n] == '\n' || line[n] == '\r';
}

// The string at `obj`[key], when `obj` is an object and the value a string.
std::optional<std::string_view> string_member(const json::Value* obj, std::string_view key) {
  if (obj == nullptr) return std::nullopt;
  const json::Value* v = obj->find(key);
  if (v == nullptr || !v->is_string()) return std::nullopt;
  return v->as_string();
}

// The lines of a source stored as a list of strings or as one string; other kinds have none.
std::vector<std::string_view> lines_of(const json::Value* source) {
  std::vector<std::string_view> lines;
  if (source == nullptr) return lines;
  if (source->is_string()) return split_lines(source->as_string());
  if (!source->is_array()) return lines;
  for (const json::Value& line : source->as_array()) {
    lines.push_back(line.is_string() ? line.as_string() : std::string_view());
  }
  return lines;
}

void scan_source(const std::vector<std::string_view>& lines, ConflictBlock proto,
                 std::vector<ConflictBlock>& out) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t open = kNone;  // index of the opening line of the block being read
  const auto add = [&](std::size_t first, std::size_t last) {
    proto.first_line = first + 1;
    proto.last_line = last + 1;
    out.push_back(proto);
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_marker(lines[i], kOpening)) {
      // A second opening line before a closing one starts a block of its own.
      if (open != kNone) add(open, i - 1);
      open = i;
    } else if (is_marker(lines[i], kClosing)) {
      add(open != kNone ? open : i, i);
      open = kNone;
    }
  }
  if (open != kNone) add(open, lines.size() - 1);
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

bool is_marked(std::string_view name) {
  return name.starts_with(kCurrentMark) || name.starts_with(kIncomingMark);
}

bool has_conflict_block(const std::vector<std::string_view>& lines) {
  std::vector<ConflictBlock> blocks;
  scan_source(lines, ConflictBlock(), blocks);
  return !blocks.empty();
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
         conflict_names(parameters, false).size();
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
  const json::Array& list = cells->as_array();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json::Value& cell = list[i];
    if (!cell.is_object()) continue;
    const json::Value* metadata = cell.find("metadata");
    const json::Value* canvas = metadata != nullptr ? metadata->find("canvas") : nullptr;
    ConflictBlock proto;
    proto.cell = i;
    proto.name = std::string(string_member(canvas, "name").value_or(""));
    proto.component_id = std::string(string_member(canvas, "id").value_or(""));
    const json::Value* source = cell.find("source");
    // A source still held as text need not be read when no marker run occurs in it.
    if (source == nullptr || !source->text_lacks({kOpening, kClosing})) {
      scan_source(lines_of(source), proto, found.blocks);
    }
    if (is_marked(proto.name)) found.components.push_back({i, proto.name, proto.component_id});
  }
  const json::Value* metadata = doc.find("metadata");
  const json::Value* canvas = metadata != nullptr ? metadata->find("canvas") : nullptr;
  const json::Value* parameters = canvas != nullptr ? canvas->find("parameters") : nullptr;
  if (parameters != nullptr && parameters->is_array()) {
    const json::Array& params = parameters->as_array();
    for (std::size_t i = 0; i < params.size(); ++i) {
      const std::optional<std::string_view> name = string_member(&params[i], "name");
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
  return text;
}

}  // namespace qor::notebook
