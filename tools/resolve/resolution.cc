// Conflicts are found once, by the conflict scan, in the notebook as it was when the resolution
// started; decisions refer to them by key. The result is rebuilt from that notebook for every
// decision (so that a decision can be changed or withdrawn): block decisions first (they keep the
// cells in place), then component decisions, which replace or drop whole cells, then parameter
// decisions, then the parent records, which follow the components they named.
#include "resolve/resolution.h"

#include <algorithm>
#include <functional>
#include <set>
#include <unordered_map>

#include "qor/conflicts.h"
#include "qor/errors.h"
#include "qor/notebook.h"
#include "views/changes.h"

namespace qor::resolve {
namespace {

using json::Value;
using notebook::is_marked;
using notebook::kCurrentMark;
using notebook::kIncomingMark;
using notebook::member;
using notebook::unmarked_name;

constexpr std::string_view kBaseMarker = "|||||||";
constexpr std::string_view kSeparator = "=======";

std::string string_at(const Value* obj, std::string_view key) {
  const Value* v = member(obj, key);
  return v != nullptr && v->is_string() ? std::string(v->as_string()) : std::string();
}

std::string cid_of(const Value& cell) { return string_at(notebook::canvas_of(&cell), "id"); }
std::string name_of(const Value& cell) { return string_at(notebook::canvas_of(&cell), "name"); }

std::string label_of(std::size_t index, std::string_view name) {
  return "cell " + std::to_string(index) + (name.empty() ? "" : " (" + std::string(name) + ")");
}

// The text of a "source" value: a string, or a list's strings joined (another item stands for a
// line of its own, as the conflict scan counts it).
std::string source_of(const Value& cell) {
  const Value* source = member(&cell, "source");
  if (source == nullptr) return {};
  if (source->is_string()) return std::string(source->as_string());
  std::string text;
  if (source->is_array()) {
    for (const Value& item : source->as_array()) {
      text += item.is_string() ? item.as_string() : std::string_view("\n");
    }
  }
  return text;
}

// `text` split into lines as the conflict scan numbers them.
std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  for (const std::string_view line : notebook::text_lines(text)) lines.emplace_back(line);
  return lines;
}

// Stores `text` as the cell's source, in the form the source had (a list of lines or a string).
void set_source(Value& cell, const std::string& text) {
  const Value* old = member(&cell, "source");
  if (old != nullptr && old->is_string()) {
    cell.as_object().set("source", Value(text));
    return;
  }
  json::Array lines;
  for (const std::string& line : lines_of(text)) lines.emplace_back(line);
  cell.as_object().set("source", Value(std::move(lines)));
}

bool is_marker(std::string_view line, std::string_view run) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (!line.starts_with(run)) return false;
  return line.size() == run.size() || line[run.size()] == ' ' || line[run.size()] == '\t';
}

std::string joined(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to && i < lines.size(); ++i) text += lines[i];
  return text;
}

// The parts of the block on lines [first, last] (from 0) of `lines`.
struct BlockParts {
  std::string current, base, incoming;
  bool has_base = false;
};

BlockParts block_parts(const std::vector<std::string>& lines, std::size_t first, std::size_t last) {
  std::size_t separator = last, base = last;
  for (std::size_t i = first + 1; i < last; ++i) {
    if (is_marker(lines[i], kSeparator)) {
      separator = i;
      break;
    }
    if (base == last && is_marker(lines[i], kBaseMarker)) base = i;
  }
  BlockParts parts;
  parts.has_base = base < separator;
  parts.current = joined(lines, first + 1, parts.has_base ? base : separator);
  if (parts.has_base) parts.base = joined(lines, base + 1, separator);
  parts.incoming = joined(lines, separator + 1, last);
  return parts;
}

// The cells of `doc` by component id (the first cell with each id).
std::unordered_map<std::string, const Value*> cells_by_id(const Value* doc) {
  std::unordered_map<std::string, const Value*> ids;
  const Value* cells = doc ? notebook::cell_list(*doc) : nullptr;
  if (cells == nullptr) return ids;
  for (const Value& cell : cells->as_array()) {
    if (std::string id = cid_of(cell); !id.empty()) ids.emplace(std::move(id), &cell);
  }
  return ids;
}

const Value* find_cell(const std::optional<Value>& doc, const std::string& cid) {
  if (!doc || cid.empty()) return nullptr;
  const Value* cells = notebook::cell_list(*doc);
  if (cells == nullptr) return nullptr;
  for (const Value& cell : cells->as_array()) {
    if (cid_of(cell) == cid) return &cell;
  }
  return nullptr;
}

const Value* find_parameter(const std::optional<Value>& doc, std::string_view name) {
  const Value* list = doc ? notebook::parameter_list(*doc) : nullptr;
  if (list == nullptr) return nullptr;
  for (const Value& p : list->as_array()) {
    if (string_at(&p, "name") == name) return &p;
  }
  return nullptr;
}

void set_name(Value& cell, std::string_view name) { notebook::Cell(&cell).set_name(name); }

// A component as text for people: its name, id, parents (by name where `names` knows them),
// header colour, outputs as kind and size, then its source.
std::string component_text(const Value& cell,
                           const std::unordered_map<std::string, std::string>& names) {
  std::string text = "name: " + name_of(cell) + "\nid: " + cid_of(cell) + "\n";
  const Value* canvas = notebook::canvas_of(&cell);
  if (const Value* parents = member(canvas, "parents"); parents && parents->is_array()) {
    std::string list;
    for (const Value& record : parents->as_array()) {
      const std::string id = string_at(&record, "id");
      const auto it = names.find(id);
      list +=
          (list.empty() ? "" : ", ") + (it != names.end() && !it->second.empty() ? it->second : id);
    }
    if (!list.empty()) text += "parents: " + list + "\n";
  }
  if (const Value* colour = member(canvas, "headerColor")) {
    text += "header colour: " + diff::detail::display_json(*colour) + "\n";
  }
  if (const Value* outputs = member(&cell, "outputs"); outputs && outputs->is_array()) {
    const json::Array& list = outputs->as_array();
    if (!list.empty()) {
      text += "outputs: " + std::to_string(list.size()) + " (";
      for (std::size_t i = 0; i < list.size(); ++i) {
        const diff::detail::OutputInfo info = diff::detail::output_info(list[i]);
        text += (i ? ", " : "") + info.kind + " " + diff::detail::format_size(info.size);
      }
      text += ")\n";
    }
  }
  return text + "\n" + source_of(cell);
}

std::string parameter_text(const Value& p) {
  std::string text = "name: " + std::string(unmarked_name(string_at(&p, "name"))) + "\n";
  const Value* type = member(&p, "type");
  const Value* value = member(&p, "value");
  text += "type: " + diff::detail::display_value(type, false) + "\n";
  text += "value: " + diff::detail::display_value(value, false) + "\n";
  return text;
}

std::unordered_map<std::string, std::string> names_by_id(const Value* doc) {
  std::unordered_map<std::string, std::string> names;
  for (const auto& [id, cell] : cells_by_id(doc)) {
    names.emplace(id, std::string(unmarked_name(name_of(*cell))));
  }
  return names;
}

}  // namespace

const char* kind_name(ConflictKind kind) {
  switch (kind) {
    case ConflictKind::kBlock:
      return "conflict block";
    case ConflictKind::kComponent:
      return "component";
    case ConflictKind::kParameter:
      return "parameter";
    case ConflictKind::kParent:
      break;
  }
  return "dangling parent";
}

const char* take_name(Take take) {
  switch (take) {
    case Take::kCurrent:
      return "current";
    case Take::kIncoming:
      return "incoming";
    case Take::kBoth:
      return "both";
    case Take::kEdit:
      break;
  }
  return "edit";
}

std::optional<Take> take_from_name(std::string_view name) {
  for (Take t : {Take::kCurrent, Take::kIncoming, Take::kBoth, Take::kEdit}) {
    if (name == take_name(t)) return t;
  }
  return std::nullopt;
}

namespace {

// What a component decision does to the cells of its conflict.
struct Plan {
  struct Kept {
    std::size_t cell;
    std::optional<Value> content;  // nullopt: the cell itself, its name unmarked
  };
  std::vector<Kept> kept;                      // in notebook order
  std::vector<std::size_t> dropped;            // cells removed
  std::map<std::string, std::string> repoint;  // component id -> the id its records now name
  std::vector<std::string> removed_ids;        // ids whose records go
};

Value unmarked_copy(const Value& cell) {
  Value copy = cell;
  const std::string name = name_of(copy);
  if (is_marked(name)) set_name(copy, unmarked_name(name));
  return copy;
}

// The plan of `take` (current, incoming or both) for a component conflict, on `doc` (the
// notebook the resolution started from) and the versions in `stages`.
Plan plan_components(const detail::ConflictDetail& d, Take take, const Value& doc,
                     const Stages& stages) {
  const json::Array& cells = doc.find("cells")->as_array();
  Plan plan;
  const auto& m = d.members;
  std::vector<std::pair<std::string, std::string>> dropped;  // id, unmarked name
  for (std::size_t i = 0; i < m.size(); ++i) {
    const auto& member = m[i];
    const Value& cell = cells[member.cell];
    const bool partner = i + 1 < m.size() && m[i + 1].copy;
    if (take == Take::kBoth) {
      plan.kept.push_back({member.cell, std::nullopt});
    } else if (member.copy) {
      // The copy's version went into its partner's place (incoming) or is left (current); either
      // way records that named the copy name the component it is a version of.
      plan.dropped.push_back(member.cell);
      plan.repoint[member.cid] = m[i - 1].cid;
    } else if (partner && take == Take::kIncoming) {
      // The incoming version, in the place and under the ids of the cell it was copied from.
      Value content = unmarked_copy(cells[m[i + 1].cell]);
      notebook::Cell view(&content);
      view.set_component_id(member.cid);
      if (const Value* id = cell.find("id"); id != nullptr && id->is_string()) {
        view.set_cell_id(id->as_string());
      }
      plan.kept.push_back({member.cell, std::move(content)});
    } else if (partner || member.current == (take == Take::kCurrent)) {
      plan.kept.push_back({member.cell, std::nullopt});
    } else {
      // The other side's version of this component, where that side has it.
      const std::optional<Value>& side = take == Take::kCurrent ? stages.current : stages.incoming;
      if (const Value* version = find_cell(side, member.cid)) {
        plan.kept.push_back({member.cell, unmarked_copy(*version)});
      } else {
        plan.dropped.push_back(member.cell);
        dropped.emplace_back(member.cid, member.name);
      }
    }
  }
  // A dropped component's records name the component kept under its name, if one is.
  for (const auto& [id, name] : dropped) {
    const Plan::Kept* same = nullptr;
    std::size_t count = 0;
    for (const Plan::Kept& k : plan.kept) {
      if (unmarked_name(name_of(k.content ? *k.content : cells[k.cell])) == name) {
        same = &k;
        ++count;
      }
    }
    const std::string kept_id =
        same ? cid_of(same->content ? *same->content : cells[same->cell]) : std::string();
    if (count == 1 && kept_id != id) {
      plan.repoint[id] = kept_id;
    } else if (count == 0) {
      plan.removed_ids.push_back(id);
    }
  }
  return plan;
}

// A conflict found in the working notebook, with what deciding it needs.
struct Found {
  Conflict conflict;
  detail::ConflictDetail info;
  int order = 0;  // within a cell: blocks, then components, then parents
};

// The steps that find a working notebook's conflicts, over what they share: its cells, the
// versions of the merge and the components of each by id.
class Scan {
 public:
  Scan(const Value& working, const Stages& stages)
      : working_(working),
        stages_(stages),
        cells_(working.find("cells")->as_array()),
        found_(notebook::find_conflicts(working)),
        stages_known_(stages.base && stages.current && stages.incoming),
        base_ids_(cells_by_id(stages.base ? &*stages.base : nullptr)),
        current_ids_(cells_by_id(stages.current ? &*stages.current : nullptr)),
        incoming_ids_(cells_by_id(stages.incoming ? &*stages.incoming : nullptr)),
        names_(names_by_id(&working)),
        base_names_(names_by_id(stages.base ? &*stages.base : nullptr)) {}

  // Every conflict, numbered in the order shown: those of cells by cell, then parameters.
  std::vector<Found> conflicts() const {
    std::vector<Found> list = blocks();
    for (Found& f : components()) list.push_back(std::move(f));
    for (Found& f : dangling_parents()) list.push_back(std::move(f));
    std::stable_sort(list.begin(), list.end(), [](const Found& a, const Found& b) {
      return a.conflict.cell != b.conflict.cell ? a.conflict.cell < b.conflict.cell
                                                : a.order < b.order;
    });
    for (Found& f : parameters()) list.push_back(std::move(f));
    for (std::size_t i = 0; i < list.size(); ++i) list[i].conflict.key = std::to_string(i + 1);
    return list;
  }

  // What the merge settled by itself that deserves a look.
  std::vector<ReviewItem> review() const;

 private:
  using Ids = std::unordered_map<std::string, const Value*>;

  bool known(const std::string& id) const {
    return base_ids_.contains(id) || current_ids_.contains(id) || incoming_ids_.contains(id);
  }
  std::vector<Found> blocks() const;
  std::vector<Found> components() const;
  void describe_component(Found& g) const;
  std::vector<Found> dangling_parents() const;
  std::vector<Found> parameters() const;

  const Value& working_;
  const Stages& stages_;
  const json::Array& cells_;
  const notebook::Conflicts found_;
  const bool stages_known_;
  const Ids base_ids_, current_ids_, incoming_ids_;
  const std::unordered_map<std::string, std::string> names_, base_names_;
};

std::vector<Found> Scan::blocks() const {
  std::vector<Found> list;
  for (const notebook::ConflictBlock& b : found_.blocks) {
    Found f;
    Conflict& c = f.conflict;
    c.kind = ConflictKind::kBlock;
    c.cell = b.cell;
    c.name = std::string(unmarked_name(b.name));
    c.label = label_of(b.cell, b.name) + ": conflict block, " +
              (b.first_line == b.last_line ? "source line " + std::to_string(b.first_line)
                                           : "source lines " + std::to_string(b.first_line) + "-" +
                                                 std::to_string(b.last_line));
    if (!b.component_id.empty()) c.component_ids.push_back(b.component_id);
    f.info.first = b.first_line - 1;
    f.info.last = b.last_line - 1;
    const BlockParts parts =
        block_parts(lines_of(source_of(cells_[b.cell])), f.info.first, f.info.last);
    c.current = parts.current;
    c.incoming = parts.incoming;
    if (parts.has_base) {
      c.base = parts.base;
    } else if (const Value* base = find_cell(stages_.base, b.component_id)) {
      c.base = "(the whole source of the base version)\n" + source_of(*base);
    }
    c.can_both = true;
    c.can_edit = true;
    c.edit_start = parts.current;
    list.push_back(std::move(f));
  }

  return list;
}

// Marked components grouped as the conflict scan counts them: names equal once unmarked, and
// a ">>> " cell right after a "<<< " cell, where that is a conflict copy (when the versions are
// known: a cell whose id none of them has; a component the incoming side changed and the
// current side deleted may come right after a marked cell too).
std::vector<Found> Scan::components() const {
  std::vector<Found> groups;
  const notebook::MarkedName* previous = nullptr;
  for (const notebook::MarkedName& mark : found_.components) {
    detail::ConflictDetail::Member m{mark.index, mark.component_id,
                                     std::string(unmarked_name(mark.name)),
                                     mark.name.starts_with(kCurrentMark), false};
    const bool after_current = previous != nullptr && previous->index + 1 == mark.index &&
                               previous->name.starts_with(kCurrentMark) &&
                               mark.name.starts_with(kIncomingMark);
    m.copy = after_current && (!stages_known_ || !known(m.cid));
    Found* group = nullptr;
    if (m.copy) {
      group = &groups.back();
    } else {
      for (Found& g : groups) {
        if (g.info.members.front().name == m.name) group = &g;
      }
    }
    previous = &mark;
    if (group == nullptr) {
      groups.emplace_back();
      group = &groups.back();
      group->order = 1;
      group->conflict.kind = ConflictKind::kComponent;
      group->conflict.cell = m.cell;
      group->conflict.name = m.name;
    }
    group->info.members.push_back(m);
    group->conflict.component_ids.push_back(m.cid);
  }
  for (Found& g : groups) describe_component(g);
  return groups;
}

// The texts and choices of a component conflict.
void Scan::describe_component(Found& g) const {
  Conflict& c = g.conflict;
  const auto& m = g.info.members;
  bool copy = false;
  std::set<std::string> distinct;
  for (const auto& member : m) {
    copy = copy || member.copy;
    distinct.insert(member.name);
  }
  c.what = copy            ? "two versions of one component"
           : m.size() == 1 ? (m[0].current ? "changed here, deleted on the incoming side"
                                           : "deleted here, changed on the incoming side")
                           : "names collide";
  std::string cells_text;
  for (const auto& member : m) {
    cells_text += (cells_text.empty() ? "" : ", ") + std::to_string(member.cell);
  }
  c.label = (m.size() == 1 ? "cell " : "cells ") + cells_text +
            (c.name.empty() ? "" : " (" + c.name + ")") + ": component in conflict (" + c.what +
            ")";
  c.can_both = m.size() >= 2 && distinct.size() == m.size();
  c.can_edit = true;
  // A side's version of the components, as text; and whether it is possible: a side that
  // itself holds two of them under one name would leave the names colliding.
  const auto side_text = [&](Take take, bool& possible) -> std::optional<std::string> {
    const Plan plan = plan_components(g.info, take, working_, stages_);
    if (plan.kept.empty()) return std::nullopt;
    std::string text;
    std::set<std::string> names;
    for (const Plan::Kept& k : plan.kept) {
      const Value content = k.content ? *k.content : unmarked_copy(cells_[k.cell]);
      text += (text.empty() ? "" : "\n\n") + component_text(content, names_);
      const std::string name = name_of(content);
      if (!name.empty() && !names.insert(name).second) possible = false;
    }
    return text;
  };
  c.current = side_text(Take::kCurrent, c.can_current);
  c.incoming = side_text(Take::kIncoming, c.can_incoming);
  std::string base;
  std::set<std::string> seen;
  for (const auto& member : m) {
    const std::string id = member.copy ? std::string() : member.cid;
    if (const Value* cell = find_cell(stages_.base, id); cell && seen.insert(id).second) {
      base += (base.empty() ? "" : "\n\n") + component_text(*cell, base_names_);
    }
  }
  if (!base.empty()) c.base = base;
  const Plan start = plan_components(g.info, Take::kCurrent, working_, stages_);
  const Plan& edit =
      start.kept.empty() ? plan_components(g.info, Take::kIncoming, working_, stages_) : start;
  c.edit_start = edit.kept.empty()           ? std::string()
                 : edit.kept.front().content ? source_of(*edit.kept.front().content)
                                             : source_of(cells_[edit.kept.front().cell]);
}

std::vector<Found> Scan::dangling_parents() const {
  std::vector<Found> list;
  for (const notebook::DanglingParent& d : found_.dangling_parents) {
    Found f;
    f.order = 2;
    Conflict& c = f.conflict;
    c.kind = ConflictKind::kParent;
    c.cell = d.cell;
    c.name = std::string(unmarked_name(d.name));
    c.label = label_of(d.cell, d.name) + ": parent " + d.parent_id + " names no component";
    if (!d.component_id.empty()) c.component_ids.push_back(d.component_id);
    c.current = "parent record {\"id\": " + json::write(Value(d.parent_id)) + "}";
    c.incoming = c.current;
    f.info.parent_id = d.parent_id;
    list.push_back(std::move(f));
  }
  return list;
}

// Parameters, grouped by unmarked name, in the order of the list.
std::vector<Found> Scan::parameters() const {
  const Value* params = notebook::parameter_list(working_);
  std::vector<Found> parameter_groups;
  for (const notebook::MarkedName& mark : found_.parameters) {
    const std::string name(unmarked_name(mark.name));
    Found* group = nullptr;
    for (Found& g : parameter_groups) {
      if (g.conflict.name == name) group = &g;
    }
    if (group == nullptr) {
      parameter_groups.emplace_back();
      group = &parameter_groups.back();
      group->conflict.kind = ConflictKind::kParameter;
      group->conflict.cell = mark.index;
      group->conflict.name = name;
      group->conflict.label = "parameter " + name + ": parameter in conflict";
      group->conflict.can_edit = true;
      if (const Value* base = find_parameter(stages_.base, name)) {
        group->conflict.base = parameter_text(*base);
      }
    }
    const bool current = mark.name.starts_with(kCurrentMark);
    group->info.parameters.emplace_back(mark.index, current);
    const Value& p = params->as_array()[mark.index];
    (current ? group->conflict.current : group->conflict.incoming) = parameter_text(p);
    if (current || group->conflict.edit_start.empty()) {
      const Value* value = member(&p, "value");
      group->conflict.edit_start =
          value && value->is_string() ? std::string(value->as_string()) : std::string();
    }
  }
  return parameter_groups;
}

std::vector<ReviewItem> Scan::review() const {
  std::vector<ReviewItem> review;
  if (!stages_known_) return review;
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const std::string cid = cid_of(cells_[i]);
    const std::string name = name_of(cells_[i]);
    const std::string label = label_of(i, name);
    const auto cur = current_ids_.find(cid);
    const auto inc = incoming_ids_.find(cid);
    const auto base = base_ids_.find(cid);
    if (cur != current_ids_.end() && inc != incoming_ids_.end() && base != base_ids_.end()) {
      const Value* here = member(notebook::canvas_of(&cells_[i]), "headerColor");
      const Value* mine = member(notebook::canvas_of(&*cur->second), "headerColor");
      const Value* theirs = member(notebook::canvas_of(&*inc->second), "headerColor");
      const Value* old = member(notebook::canvas_of(&*base->second), "headerColor");
      const auto same = [](const Value* a, const Value* b) {
        return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
      };
      if (!same(theirs, old) && !same(theirs, here) && same(here, mine)) {
        review.push_back({i, cid,
                          label + ": the incoming header colour " +
                              (theirs ? diff::detail::display_json(*theirs) : "(none)") +
                              " was not taken; it stays " +
                              (here ? diff::detail::display_json(*here) : "(none)")});
      }
    }
    if (name.empty() && base != base_ids_.end()) {
      if (inc == incoming_ids_.end() && cur != current_ids_.end()) {
        review.push_back({i, cid, label + ": kept although the incoming side deleted it"});
      } else if (cur == current_ids_.end() && inc != incoming_ids_.end()) {
        review.push_back({i, cid, label + ": kept although the current side deleted it"});
      }
    }
    if (!cid.empty() && !known(cid) && !is_marked(name) && i > 0 &&
        incoming_ids_.contains(cid_of(cells_[i - 1]))) {
      review.push_back({i, cid,
                        label + ": the incoming version of the cell before it, kept beside it "
                                "under a new component id"});
    }
  }
  return review;
}

}  // namespace

Resolution::Resolution(json::Value working, Stages stages, std::string path)
    : path_(std::move(path)), working_(std::move(working)), stages_(std::move(stages)) {
  const Scan scan(working_, stages_);
  for (Found& f : scan.conflicts()) {
    conflicts_.push_back(std::move(f.conflict));
    details_.push_back(std::move(f.info));
  }
  review_ = scan.review();
  rebuild();
}

std::vector<std::string> Resolution::select(const std::vector<std::string>& components,
                                            const std::vector<std::string>& parameters) const {
  std::vector<std::string> keys;
  std::vector<bool> used_c(components.size()), used_p(parameters.size());
  for (std::size_t k = 0; k < conflicts_.size(); ++k) {
    const Conflict& c = conflicts_[k];
    bool chosen = components.empty() && parameters.empty();
    // A component conflict answers to its name, the names of its other members (the incoming
    // name of a component renamed on one side, as qorgit check shows it) and their ids.
    const auto& members = details_[k].members;
    for (std::size_t i = 0; i < components.size(); ++i) {
      if (c.kind == ConflictKind::kParameter) continue;
      const std::string& s = components[i];
      if (c.name == s ||
          std::find(c.component_ids.begin(), c.component_ids.end(), s) != c.component_ids.end() ||
          std::any_of(members.begin(), members.end(), [&](const auto& m) { return m.name == s; })) {
        chosen = used_c[i] = true;
      }
    }
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (c.kind == ConflictKind::kParameter && c.name == parameters[i]) {
        chosen = used_p[i] = true;
      }
    }
    if (chosen) keys.push_back(c.key);
  }
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (!used_c[i]) throw ValueError(path_ + ": no conflict of a component " + components[i]);
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (!used_p[i]) throw ValueError(path_ + ": no conflict of a parameter " + parameters[i]);
  }
  return keys;
}

void Resolution::decide(const std::string& key, const std::optional<Decision>& decision) {
  const auto it = std::find_if(conflicts_.begin(), conflicts_.end(),
                               [&](const Conflict& c) { return c.key == key; });
  if (it == conflicts_.end()) throw ValueError(path_ + ": no conflict " + key);
  if (!decision) {
    decisions_.erase(key);
    rebuild();
    return;
  }
  const Conflict& c = *it;
  const std::string refused = path_ + ": " + c.label + ": cannot take ";
  if (decision->take == Take::kBoth && !c.can_both) {
    std::string why;
    if (c.kind == ConflictKind::kComponent) {
      why = c.component_ids.size() < 2 ? ": there is one component, kept on one side only"
                                       : ": the two components would have the same name";
    }
    throw ValueError(refused + "both" + why);
  }
  for (const Take side : {Take::kCurrent, Take::kIncoming}) {
    if (decision->take == side && !(side == Take::kCurrent ? c.can_current : c.can_incoming)) {
      throw ValueError(refused + take_name(side) + ": the " + take_name(side) +
                       " side holds two of these components under the name " + py_quote(c.name) +
                       "; take the other side or edit, or rename one");
    }
  }
  if (decision->take == Take::kEdit && !c.can_edit) throw ValueError(refused + "an edit");
  decisions_[key] = *decision;
  rebuild();
}

std::optional<std::string> Resolution::result_text(const std::string& key) const {
  const auto it = result_texts_.find(key);
  if (it == result_texts_.end()) return std::nullopt;
  return it->second;
}

namespace {

// Where `parameter` goes back into `list`: after the nearest parameter before it in the list of
// `side` (else of `base`) that `list` holds, else before the nearest after it, else at the end.
std::size_t parameter_place(const json::Array& list, const Value& parameter,
                            const std::optional<Value>& side, const std::optional<Value>& base) {
  const std::string name = string_at(&parameter, "name");
  // The names around it in its side's list (else the base's), nearest first.
  std::vector<std::string> order;
  for (const std::optional<Value>* source : {&side, &base}) {
    const Value* ref = *source ? notebook::parameter_list(**source) : nullptr;
    if (ref == nullptr || find_parameter(*source, name) == nullptr) continue;
    for (const Value& p : ref->as_array()) order.push_back(string_at(&p, "name"));
    break;
  }
  const auto at = std::find(order.begin(), order.end(), name);
  const auto index_of = [&](const std::string& n) -> std::optional<std::size_t> {
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (string_at(&list[k], "name") == n) return k;
    }
    return std::nullopt;
  };
  std::size_t place = list.size();
  bool found = false;
  if (at != order.end()) {
    for (auto it = at; it != order.begin() && !found;) {
      --it;
      if (auto k = index_of(*it)) {
        place = *k + 1;
        found = true;
      }
    }
    for (auto it = at + 1; it != order.end() && !found; ++it) {
      if (auto k = index_of(*it)) {
        place = *k;
        found = true;
      }
    }
  }
  return place;
}

}  // namespace

struct Resolution::CellEdits {
  std::vector<std::optional<Value>> replaced;  // by cell: its new content
  std::vector<bool> dropped;                   // by cell
  std::map<std::string, std::string> repoint;  // component id -> the id its records now name
  std::set<std::string> removed;               // ids whose records go
};

void Resolution::rebuild() {
  Value doc = working_;
  json::Array& cells = doc.as_object().at("cells").as_array();
  result_texts_.clear();
  decide_blocks(cells);
  CellEdits edits{std::vector<std::optional<Value>>(cells.size()),
                  std::vector<bool>(cells.size(), false),
                  {},
                  {}};
  decide_components(cells, edits);
  decide_parents(cells, edits);
  doc.as_object().set("cells", Value(edited_cells(cells, edits)));
  decide_parameters(doc);
  result_ = std::move(doc);
}

// Blocks, from the last of each cell upwards, so that line numbers hold.
void Resolution::decide_blocks(json::Array& cells) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < conflicts_.size(); ++i) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return details_[a].first > details_[b].first;
  });
  for (std::size_t i : order) {
    const Conflict& c = conflicts_[i];
    const auto d = decisions_.find(c.key);
    if (c.kind != ConflictKind::kBlock || d == decisions_.end()) continue;
    std::vector<std::string> lines = lines_of(source_of(cells[c.cell]));
    const detail::ConflictDetail& info = details_[i];
    const BlockParts parts = block_parts(lines, info.first, info.last);
    std::string text;
    switch (d->second.take) {
      case Take::kCurrent:
        text = parts.current;
        break;
      case Take::kIncoming:
        text = parts.incoming;
        break;
      case Take::kBoth:
        text = parts.current + parts.incoming;
        break;
      case Take::kEdit:
        text = d->second.text;
        // Lines after the block start on a line of their own.
        if (!text.empty() && text.back() != '\n' && text.back() != '\r' &&
            info.last + 1 < lines.size()) {
          text += '\n';
        }
        break;
    }
    result_texts_[c.key] = text;
    std::string source =
        joined(lines, 0, info.first) + text + joined(lines, info.last + 1, lines.size());
    set_source(cells[c.cell], source);
  }
}

// Components: each cell kept (possibly replaced) or dropped; parent records follow.
void Resolution::decide_components(const json::Array& cells, CellEdits& edits) {
  const auto names = names_by_id(&working_);
  for (std::size_t i = 0; i < conflicts_.size(); ++i) {
    const Conflict& c = conflicts_[i];
    const auto d = decisions_.find(c.key);
    if (c.kind != ConflictKind::kComponent || d == decisions_.end()) continue;
    Take take = d->second.take;
    Plan plan;
    if (take == Take::kEdit) {
      plan = plan_components(details_[i], Take::kCurrent, working_, stages_);
      if (plan.kept.empty())
        plan = plan_components(details_[i], Take::kIncoming, working_, stages_);
    } else {
      plan = plan_components(details_[i], take, working_, stages_);
    }
    std::string text;
    for (Plan::Kept& k : plan.kept) {
      // A cell kept as it is keeps the block decisions taken in it.
      Value content = k.content ? std::move(*k.content) : unmarked_copy(cells[k.cell]);
      if (take == Take::kEdit && &k == &plan.kept.front()) set_source(content, d->second.text);
      text += (text.empty() ? "" : "\n\n") + component_text(content, names);
      edits.replaced[k.cell] = std::move(content);
    }
    result_texts_[c.key] = text.empty() ? "(removed)" : text;
    for (std::size_t cell : plan.dropped) edits.dropped[cell] = true;
    edits.repoint.insert(plan.repoint.begin(), plan.repoint.end());
    edits.removed.insert(plan.removed_ids.begin(), plan.removed_ids.end());
  }
}

// Dangling parent records: dropped, as a merge drops records of removed components.
void Resolution::decide_parents(json::Array& cells, CellEdits& edits) {
  for (std::size_t i = 0; i < conflicts_.size(); ++i) {
    const Conflict& c = conflicts_[i];
    if (c.kind != ConflictKind::kParent || !decisions_.contains(c.key)) continue;
    Value& cell = edits.replaced[c.cell] ? *edits.replaced[c.cell] : cells[c.cell];
    Value* parents = member(notebook::canvas_of(&cell), "parents");
    if (parents != nullptr && parents->is_array()) {
      json::Array& list = parents->as_array();
      std::erase_if(list,
                    [&](const Value& r) { return string_at(&r, "id") == details_[i].parent_id; });
    }
    result_texts_[c.key] = "(the parent record is removed)";
  }
}

// The cells as the edits leave them, parent records following the components they named.
json::Array Resolution::edited_cells(json::Array& cells, CellEdits& edits) {
  json::Array out;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (edits.dropped[i] && !edits.replaced[i]) continue;
    out.push_back(edits.replaced[i] ? std::move(*edits.replaced[i]) : std::move(cells[i]));
  }
  if (!edits.repoint.empty() || !edits.removed.empty()) {
    for (Value& cell : out) {
      Value* parents = member(notebook::canvas_of(&cell), "parents");
      if (parents == nullptr || !parents->is_array()) continue;
      const std::string self = cid_of(cell);
      json::Array kept;
      std::set<std::string> seen;
      for (Value& record : parents->as_array()) {
        std::string id = string_at(&record, "id");
        if (edits.removed.contains(id)) continue;
        if (auto it = edits.repoint.find(id); it != edits.repoint.end()) {
          id = it->second;
          if (id == self) continue;
          record.as_object().set("id", Value(id));
        }
        if (!id.empty() && !seen.insert(id).second) continue;
        kept.push_back(std::move(record));
      }
      *parents = Value(std::move(kept));
    }
  }
  return out;
}

// Parameters: the decided ones leave their marked places and the kept one goes back to its
// place in the list of the side it comes from.
void Resolution::decide_parameters(Value& doc) {
  Value* params_value = member(notebook::canvas_of(&doc), "parameters");
  if (params_value != nullptr && params_value->is_array()) {
    const json::Array& before = params_value->as_array();
    std::vector<bool> leave(before.size(), false);
    struct Back {
      Value parameter;
      const std::optional<Value>* side;
    };
    std::vector<Back> back;
    for (std::size_t i = 0; i < conflicts_.size(); ++i) {
      const Conflict& c = conflicts_[i];
      const auto d = decisions_.find(c.key);
      if (c.kind != ConflictKind::kParameter || d == decisions_.end()) continue;
      const Take take = d->second.take;
      // An edit starts from the current side's parameter, else the incoming side's.
      std::optional<std::pair<std::size_t, bool>> keep;
      for (const auto& [index, current] : details_[i].parameters) {
        leave[index] = true;
        const bool wanted = take == Take::kEdit || current == (take == Take::kCurrent);
        if (wanted && (!keep || (take == Take::kEdit && current && !keep->second))) {
          keep.emplace(index, current);
        }
      }
      if (!keep) {
        result_texts_[c.key] = "(removed)";
        continue;
      }
      Value p = before[keep->first];
      p.as_object().set("name", Value(c.name));
      if (take == Take::kEdit) p.as_object().set("value", Value(d->second.text));
      result_texts_[c.key] = parameter_text(p);
      back.push_back({std::move(p), keep->second ? &stages_.current : &stages_.incoming});
    }
    json::Array list;
    for (std::size_t i = 0; i < before.size(); ++i) {
      if (!leave[i]) list.push_back(before[i]);
    }
    for (Back& b : back) {
      const std::size_t place = parameter_place(list, b.parameter, *b.side, stages_.base);
      list.insert(list.begin() + static_cast<std::ptrdiff_t>(place), std::move(b.parameter));
    }
    *params_value = Value(std::move(list));
  }
}

std::vector<std::string> Resolution::problems() const {
  std::vector<std::string> out;
  for (const Conflict& c : conflicts_) {
    if (!decisions_.contains(c.key)) out.push_back(c.label + ": no decision yet");
  }
  if (!out.empty()) return out;
  return check_notebook(result_);
}

std::vector<std::string> check_notebook(const json::Value& doc) {
  std::vector<std::string> out;
  if (!doc.is_object()) return {"the notebook is not a JSON object"};
  const Value* cells = doc.find("cells");
  if (cells == nullptr || !cells->is_array()) return {"the notebook has no list of cells"};
  if (const Value* metadata = doc.find("metadata"); metadata == nullptr || !metadata->is_object()) {
    out.push_back("the notebook has no metadata object");
  }
  const json::Array& list = cells->as_array();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Value& cell = list[i];
    const std::string where = label_of(i, name_of(cell));
    if (!cell.is_object()) {
      out.push_back("cell " + std::to_string(i) + ": not an object");
      continue;
    }
    const Value* type = cell.find("cell_type");
    const Value* source = cell.find("source");
    const Value* metadata = cell.find("metadata");
    if (type == nullptr || !type->is_string()) out.push_back(where + ": no cell_type");
    bool lines = source != nullptr && (source->is_string() || source->is_array());
    if (lines && source->is_array()) {
      for (const Value& item : source->as_array()) lines = lines && item.is_string();
    }
    if (!lines) out.push_back(where + ": the source is not text");
    if (metadata == nullptr || !metadata->is_object())
      out.push_back(where + ": no metadata object");
    if (type != nullptr && type->is_string() && type->as_string() == "code" &&
        (!cell.find("outputs") || !cell.find("outputs")->is_array() ||
         !cell.find("execution_count"))) {
      out.push_back(where + ": a code cell needs outputs and an execution count");
    }
  }
  const notebook::Conflicts found = notebook::find_conflicts(doc);
  for (const auto& b : found.blocks) {
    out.push_back(label_of(b.cell, b.name) + ": conflict block left, source lines " +
                  std::to_string(b.first_line) + "-" + std::to_string(b.last_line));
  }
  for (const auto& m : found.components) {
    out.push_back(label_of(m.index, m.name) + ": marked name left");
  }
  for (const auto& m : found.parameters) {
    out.push_back("parameter " + std::to_string(m.index) + " (" + m.name + "): marked name left");
  }
  for (const auto& d : found.dangling_parents) {
    out.push_back(label_of(d.cell, d.name) + ": parent " + d.parent_id + " names no component");
  }
  // Unique ids, and no cycle among parents.
  std::unordered_map<std::string, std::size_t> ids, cell_ids;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string id = cid_of(list[i]);
    if (!id.empty() && !ids.emplace(id, i).second) {
      out.push_back(label_of(i, name_of(list[i])) + ": component id " + id + " is also " +
                    label_of(ids[id], name_of(list[ids[id]])) + "'s");
    }
    const std::string cell_id = string_at(&list[i], "id");
    if (!cell_id.empty() && !cell_ids.emplace(cell_id, i).second) {
      out.push_back(label_of(i, name_of(list[i])) + ": cell id " + cell_id + " is also " +
                    label_of(cell_ids[cell_id], name_of(list[cell_ids[cell_id]])) + "'s");
    }
  }
  std::vector<std::vector<std::size_t>> parents(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Value* records = member(notebook::canvas_of(&list[i]), "parents");
    if (records == nullptr || !records->is_array()) continue;
    for (const Value& r : records->as_array()) {
      if (auto it = ids.find(string_at(&r, "id")); it != ids.end())
        parents[i].push_back(it->second);
    }
  }
  enum : char { kNew, kOpen, kDone };
  std::vector<char> state(list.size(), kNew);
  std::vector<std::size_t> path;
  std::function<bool(std::size_t)> visit = [&](std::size_t i) {
    state[i] = kOpen;
    path.push_back(i);
    for (std::size_t p : parents[i]) {
      if (state[p] == kOpen) {
        std::string text = "a cycle among parents: ";
        const auto from = std::find(path.begin(), path.end(), p);
        for (auto it = from; it != path.end(); ++it)
          text += label_of(*it, name_of(list[*it])) + " -> ";
        out.push_back(text + label_of(p, name_of(list[p])));
        return true;
      }
      if (state[p] == kNew && visit(p)) return true;
    }
    path.pop_back();
    state[i] = kDone;
    return false;
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (state[i] == kNew && visit(i)) break;
  }
  return out;
}

}  // namespace qor::resolve
