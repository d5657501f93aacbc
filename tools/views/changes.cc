// The changes that the readable views show, gathered on top of the diff document: the diff
// decides every status, parent gain and loss and parameter change; the two documents add what
// the diff document leaves out (previous names, outputs, other keys, markdown and raw cells).
#include "views/changes.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "qor/conflicts.h"
#include "qor/diff.h"
#include "qor/notebook.h"
#include "views/line_diff.h"

namespace qor::diff::detail {
namespace {

using json::Value;
using notebook::ValueTree;

using notebook::canvas_of;
using notebook::member;
using notebook::source_text;
using notebook::source_text_lines;

std::string key_of(const Value& v) { return ValueTree::key(const_cast<Value*>(&v)); }

std::string text_of(const Value& v) {
  return v.is_string() ? std::string(v.as_string()) : json::write(v);
}

std::string name_of(const Value& cell) {
  const Value* name = member(canvas_of(&cell), "name");
  if (!name || name->is_null()) return std::string();
  return text_of(*name);
}

bool is_code(const Value& cell) {
  const Value* type = member(&cell, "cell_type");
  return type && type->is_string() && type->as_string() == "code";
}

// The code cells of one version by component key (a later cell takes the earlier one's place,
// as in the diff), and each component's name.
struct Version {
  std::unordered_map<std::string, const Value*> cells;

  explicit Version(const Value& doc) {
    const Value* list = notebook::cell_list(doc);
    if (!list) return;
    for (const Value& cell : list->as_array()) {
      if (!cell.is_object() || !is_code(cell)) continue;
      const Value* id = member(canvas_of(&cell), "id");
      if (id) cells[key_of(*id)] = &cell;
    }
  }
  const Value* find(const std::string& key) const {
    auto it = cells.find(key);
    return it == cells.end() ? nullptr : it->second;
  }
  std::string name(const std::string& key) const {
    const Value* cell = find(key);
    return cell ? name_of(*cell) : std::string();
  }
};

// Parent links from a list of parent records; a record without a usable name takes the name of
// the component with its id in `version`. Labels are finished once ids are shortened.
struct PendingLink {
  std::string key, name, id;
};

std::vector<PendingLink> links(const Value* records, const Version& version) {
  std::vector<PendingLink> out;
  if (!records || !records->is_array()) return out;
  for (const Value& record : records->as_array()) {
    const Value* id = member(&record, "id");
    if (!id) continue;
    PendingLink link{key_of(*id), std::string(), text_of(*id)};
    const Value* name = member(&record, "name");
    if (name && name->is_string() && !name->as_string().empty()) {
      link.name = std::string(name->as_string());
    } else {
      link.name = version.name(link.key);
    }
    out.push_back(std::move(link));
  }
  return out;
}

std::vector<OutputInfo> outputs_of(const Value* cell) {
  std::vector<OutputInfo> out;
  const Value* list = cell ? member(cell, "outputs") : nullptr;
  if (!list || !list->is_array()) return out;
  for (const Value& output : list->as_array()) out.push_back(output_info(output));
  return out;
}

// Keys of `a` and `b` (objects or absent) whose values differ, except `skip`, each prefixed.
// The members of objects `a` and `b` (either may be absent or of another kind, which counts as
// empty) whose values differ, but for those named in `skip`: in `b`'s order, then those only
// `a` has, each keyed `prefix` + its name.
void differing_keys(const Value* a, const Value* b, std::initializer_list<std::string_view> skip,
                    const std::string& prefix, std::vector<KeyChange>& out) {
  auto skipped = [&](std::string_view k) {
    return std::find(skip.begin(), skip.end(), k) != skip.end();
  };
  static const Value empty = Value::object();
  if (!a || !a->is_object()) a = &empty;
  if (!b || !b->is_object()) b = &empty;
  for (const auto& m : b->as_object()) {
    if (skipped(m.name())) continue;
    const Value* before = a->find(m.name());
    if (!before || *before != m.value) {
      out.push_back(KeyChange{prefix + display(m.name()), before, &m.value});
    }
  }
  for (const auto& m : a->as_object()) {
    if (!skipped(m.name()) && !b->find(m.name())) {
      out.push_back(KeyChange{prefix + display(m.name()), &m.value, nullptr});
    }
  }
}

// The keys besides source and outputs that differ between two versions of a cell: top-level
// keys, metadata and canvas keys (the canvas keys the views show otherwise, and those the diff
// writes, left out). An execution count is no change.
std::vector<KeyChange> cell_key_changes(const Value* before, const Value* after) {
  std::vector<KeyChange> out;
  differing_keys(before, after, {"source", "outputs", "execution_count", "metadata"}, "", out);
  differing_keys(member(before, "metadata"), member(after, "metadata"), {"canvas"}, "metadata.",
                 out);
  differing_keys(
      canvas_of(before), canvas_of(after),
      {"name", "parents", "id", "diff_status", "prev_source", "added_parents", "removed_parents"},
      "", out);
  return out;
}

// The notebook's own keys that differ: its top-level keys but the cells, its metadata and its
// canvas keys but the parameters (which the views show one by one).
std::vector<KeyChange> notebook_key_changes(const Value& before, const Value& after) {
  std::vector<KeyChange> out;
  differing_keys(&before, &after, {"cells", "metadata"}, "", out);
  const Value* a = member(&before, "metadata");
  const Value* b = member(&after, "metadata");
  differing_keys(a, b, {"canvas"}, "metadata.", out);
  differing_keys(canvas_of(&before), canvas_of(&after), {"parameters", "parameter"},
                 "metadata.canvas.", out);
  return out;
}

// For each id, the length of the shortest prefix that no other id of `ids` shares.
std::vector<std::size_t> unique_prefixes(const std::vector<std::string>& ids) {
  std::vector<std::string> sorted(ids);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  auto common = [](const std::string& a, const std::string& b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
  };
  std::vector<std::size_t> out;
  for (const std::string& id : ids) {
    const auto it = std::lower_bound(sorted.begin(), sorted.end(), id);
    std::size_t need = 1;
    if (it != sorted.begin()) need = std::max(need, common(*(it - 1), id) + 1);
    if (it + 1 != sorted.end()) need = std::max(need, common(*(it + 1), id) + 1);
    out.push_back(std::min(need, id.size()));
  }
  return out;
}

bool continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::vector<std::string> shorten_ids(const std::vector<std::string>& ids) {
  constexpr std::size_t kHead = 8, kLongest = 12, kTail = 4;
  std::vector<std::string> reversed;
  for (const std::string& id : ids) reversed.emplace_back(id.rbegin(), id.rend());
  const std::vector<std::size_t> heads = unique_prefixes(ids);
  const std::vector<std::size_t> tails = unique_prefixes(reversed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string& id = ids[i];
    std::size_t head = std::max(heads[i], kHead);
    if (head <= kLongest || id.size() <= kHead + kTail + 1) {
      head = std::min(head, id.size());
      while (head < id.size() && continuation(id[head])) ++head;
      out.push_back(id.substr(0, head));
      continue;
    }
    std::size_t tail = std::max(tails[i], kTail);
    std::size_t cut = kHead;
    while (cut < id.size() && continuation(id[cut])) ++cut;
    if (cut + tail >= id.size()) {
      out.push_back(id);
      continue;
    }
    std::size_t from = id.size() - tail;
    while (from > cut && continuation(id[from])) --from;
    out.push_back(cat(std::string_view(id).substr(0, cut), "\xE2\x80\xA6",
                      std::string_view(id).substr(from)));
  }
  return out;
}

const char* change_word(Change change) {
  switch (change) {
    case Change::kAdded:
      return "added";
    case Change::kRemoved:
      return "removed";
    case Change::kModified:
      return "modified";
    case Change::kRenamed:
      return "renamed";
    case Change::kChanged:
      return "changed";
    case Change::kUnchanged:
      break;
  }
  return "unchanged";
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : ", ") + part;
  return out;
}

// How the views name a component in a list: its name, else "id " and its short id.
static std::string component_label(const Component& c) {
  return c.name.empty() ? "id " + c.short_id : c.name;
}

std::vector<std::string> Changes::moved_labels() const {
  std::vector<std::string> labels;
  for (const std::size_t i : moved) labels.push_back(component_label(components[i]));
  return labels;
}

std::string_view strip_line_end(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

OutputInfo output_info(const Value& output) {
  OutputInfo info{"output", 0};
  // The bytes of every string inside the output.
  auto size_of = [](const Value& v, auto& self) -> std::size_t {
    if (v.is_string()) return v.as_string().size();
    std::size_t total = 0;
    if (v.is_array()) {
      for (const Value& item : v.as_array()) total += self(item, self);
    } else if (v.is_object()) {
      for (const auto& m : v.as_object()) total += self(m.value, self);
    }
    return total;
  };
  // The content: everything but the output's type, stream name and metadata.
  if (output.is_object()) {
    for (const auto& m : output.as_object()) {
      if (m.name() != "output_type" && m.name() != "name" && m.name() != "metadata") {
        info.size += size_of(m.value, size_of);
      }
    }
  }
  const Value* type = member(&output, "output_type");
  if (!type || !type->is_string()) return info;
  const std::string_view t = type->as_string();
  info.kind = display(t);
  if (t == "stream") {
    if (const Value* name = member(&output, "name"); name && name->is_string()) {
      info.kind += " " + display(name->as_string());
    }
  } else if (t == "error") {
    if (const Value* name = member(&output, "ename"); name && name->is_string()) {
      info.kind += " " + display(name->as_string());
    }
  } else if (const Value* data = member(&output, "data"); data && data->is_object()) {
    std::string kinds;
    for (const auto& m : data->as_object()) {
      kinds += kinds.empty() ? " " : ", ";
      kinds += display(m.name());
    }
    info.kind += kinds;
  }
  return info;
}

std::string format_size(std::size_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  const char* units[] = {"kB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes) / 1000.0;
  std::size_t u = 0;
  while (v >= 999.95 && u + 1 < std::size(units)) v /= 1000.0, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string display_value(const Value* value, bool quote) {
  if (!value) return "(none)";
  if (!value->is_string()) return display(json::write(*value));
  if (!quote) return display(value->as_string());
  std::string out = "\"";
  for (char c : value->as_string()) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return display(out);
}

namespace {

// `value` as compact JSON (json::write's form) with every object's keys sorted, so that the
// same value reads the same whichever order its keys were written in.
void write_sorted(const Value& value, std::string& out) {
  if (value.is_array()) {
    out += '[';
    bool first = true;
    for (const Value& item : value.as_array()) {
      if (!first) out += ", ";
      first = false;
      write_sorted(item, out);
    }
    out += ']';
  } else if (value.is_object()) {
    std::vector<const json::Object::Member*> members;
    for (const auto& m : value.as_object()) members.push_back(&m);
    std::sort(members.begin(), members.end(),
              [](const auto* a, const auto* b) { return a->name() < b->name(); });
    out += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i != 0) out += ", ";
      json::write(members[i]->key, out);
      out += ": ";
      write_sorted(members[i]->value, out);
    }
    out += '}';
  } else {
    json::write(value, out);
  }
}

}  // namespace

std::string display_json(const Value& value) {
  std::string text;
  write_sorted(value, text);
  return display(text);
}

std::vector<std::string> display_json_lines(const Value& value) {
  std::string text;
  json::write_pretty(value, text);
  text += '\n';
  std::vector<std::string> lines;
  for (std::string_view line : notebook::split_lines(text)) {
    lines.push_back(display(strip_line_end(line)) + "\n");
  }
  return lines;
}

std::vector<std::string> owned_lines(std::string_view text) {
  std::vector<std::string> lines;
  for (std::string_view line : notebook::split_lines(text)) lines.emplace_back(line);
  return lines;
}

std::string Changes::summary() const {
  struct Group {
    std::string noun;
    std::size_t changed = 0, added = 0, removed = 0;
  };
  std::vector<Group> groups;
  auto group = [&](const std::string& noun) -> Group& {
    for (Group& g : groups) {
      if (g.noun == noun) return g;
    }
    groups.push_back(Group{noun});
    return groups.back();
  };
  auto count = [](Group& g, Change c) {
    if (c == Change::kAdded) {
      ++g.added;
    } else if (c == Change::kRemoved) {
      ++g.removed;
    } else if (c != Change::kUnchanged) {
      ++g.changed;
    }
  };
  group("component");
  group("parameter");
  for (const Component& c : components) count(group("component"), c.change);
  for (const ParameterChange& p : parameters) count(group("parameter"), p.change);
  for (const TextCell& t : text_cells) count(group(display(t.cell_type) + " cell"), t.change);

  std::string out;
  for (const Group& g : groups) {
    std::string part;
    for (const auto& [n, word] : {std::pair{g.changed, "changed"}, std::pair{g.added, "added"},
                                  std::pair{g.removed, "removed"}}) {
      if (n == 0) continue;
      if (part.empty()) {
        part = std::to_string(n) + " " + g.noun + (n == 1 ? "" : "s") + " " + word;
      } else {
        part += ", " + std::to_string(n) + " " + word;
      }
    }
    if (part.empty()) continue;
    if (!out.empty()) out += "; ";
    out += part;
  }
  const auto add = [&](const std::string& part) { out += (out.empty() ? "" : "; ") + part; };
  if (!moved.empty()) {
    add(std::to_string(moved.size()) + (moved.size() == 1 ? " component" : " components") +
        " moved");
  }
  if (!parameter_order.empty()) add("parameters reordered");
  if (!notebook_changes.empty()) add("notebook metadata changed");
  return out.empty() ? "no changes" : out;
}

namespace {

// A non-code cell of one version, with its position.
struct Slot {
  const Value* cell;
  std::size_t position;
  std::string key;  // its cell id or component id, or empty
  int pair = -1;    // index of the paired slot of the other version
};

std::vector<Slot> slots_of(const Value& doc) {
  std::vector<Slot> slots;
  const Value* list = notebook::cell_list(doc);
  if (!list) return slots;
  const json::Array& cells = list->as_array();
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (!cells[i].is_object() || is_code(cells[i])) continue;
    std::string key;
    if (const Value* id = member(&cells[i], "id"); id && id->is_string()) {
      key = "cell " + key_of(*id);
    } else if (const Value* cid = member(canvas_of(&cells[i]), "id")) {
      key = "component " + key_of(*cid);
    }
    slots.push_back(Slot{&cells[i], i, std::move(key)});
  }
  return slots;
}

// Pairs the non-code cells of two versions: by key first; the rest by content, and what
// differs between two kept ones in order.
void pair_slots(std::vector<Slot>& prev_slots, std::vector<Slot>& cur_slots) {
  std::unordered_map<std::string, std::size_t> by_key;
  for (std::size_t i = 0; i < prev_slots.size(); ++i) {
    if (!prev_slots[i].key.empty()) by_key.emplace(prev_slots[i].key, i);
  }
  for (std::size_t j = 0; j < cur_slots.size(); ++j) {
    auto it = cur_slots[j].key.empty() ? by_key.end() : by_key.find(cur_slots[j].key);
    if (it != by_key.end() && prev_slots[it->second].pair < 0) {
      prev_slots[it->second].pair = static_cast<int>(j);
      cur_slots[j].pair = static_cast<int>(it->second);
    }
  }
  std::vector<std::size_t> ra, rb;
  std::vector<std::string> ta, tb;
  auto content = [](const Slot& s) {
    const Value* type = member(s.cell, "cell_type");
    return (type ? text_of(*type) : std::string()) + '\0' + source_text(member(s.cell, "source"));
  };
  for (std::size_t i = 0; i < prev_slots.size(); ++i) {
    if (prev_slots[i].pair < 0) ra.push_back(i), ta.push_back(content(prev_slots[i]));
  }
  for (std::size_t j = 0; j < cur_slots.size(); ++j) {
    if (cur_slots[j].pair < 0) rb.push_back(j), tb.push_back(content(cur_slots[j]));
  }
  std::vector<std::string_view> va(ta.begin(), ta.end()), vb(tb.begin(), tb.end());
  const std::vector<LineEdit> edits = diff_lines(va, vb);
  std::vector<std::size_t> dels, inss;
  auto pair = [&](std::size_t del, std::size_t ins) {
    prev_slots[ra[del]].pair = static_cast<int>(rb[ins]);
    cur_slots[rb[ins]].pair = static_cast<int>(ra[del]);
  };
  auto flush = [&] {
    for (std::size_t k = 0; k < std::min(dels.size(), inss.size()); ++k) pair(dels[k], inss[k]);
    dels.clear();
    inss.clear();
  };
  for (const LineEdit& e : edits) {
    if (e.op == LineOp::kDelete) {
      dels.push_back(e.old_index);
    } else if (e.op == LineOp::kInsert) {
      inss.push_back(e.new_index);
    } else {
      flush();
      pair(e.old_index, e.new_index);
    }
  }
  flush();
}

TextCell text_cell(const Slot& s, Change change) {
  TextCell t;
  const Value* type = member(s.cell, "cell_type");
  t.cell_type = type ? text_of(*type) : std::string("cell");
  t.change = change;
  if (const Value* id = member(s.cell, "id"); id && id->is_string()) {
    t.label = display(id->as_string());
  } else {
    t.label = "cell " + std::to_string(s.position + 1);
  }
  return t;
}

// The parameters of `doc` by the key of their name (a later one replacing an earlier one).
std::unordered_map<std::string, const Value*> parameters_by_name(const Value& doc) {
  std::unordered_map<std::string, const Value*> out;
  if (const Value* list = notebook::parameter_list(doc)) {
    for (const Value& p : list->as_array()) {
      if (const Value* name = member(&p, "name")) out[key_of(*name)] = &p;
    }
  }
  return out;
}

// The parameter changes of the diff document `diff` of `prev` and `current`: value changes from
// it, type and other key changes from the two versions (into which the key changes point: the
// diff document does not outlive the collection); changed ones first, then added, then removed.
std::vector<ParameterChange> parameter_changes(const Value& diff, const Value& prev,
                                               const Value& current) {
  std::unordered_map<std::string, const Value*> prev_parameters = parameters_by_name(prev);
  std::unordered_map<std::string, const Value*> parameters = parameters_by_name(current);
  std::vector<ParameterChange> changed, added, removed;
  for (const Value& p : member(canvas_of(&diff), "parameter")->as_array()) {
    ParameterChange change;
    change.name = display_value(member(&p, "name"), false);
    const Value* status = member(&p, "diff_status");
    const std::string_view s = status && status->is_string() ? status->as_string() : kUnchanged;
    if (s == kAdded || s == kRemoved) {
      change.change = s == kAdded ? Change::kAdded : Change::kRemoved;
      std::string& value = s == kAdded ? change.new_value : change.old_value;
      std::string& type = s == kAdded ? change.new_type : change.old_type;
      value = display_value(member(&p, "value"), true);
      type = display_value(member(&p, "type"), false);
      (s == kAdded ? added : removed).push_back(std::move(change));
      continue;
    }
    change.new_value = display_value(member(&p, "value"), true);
    change.new_type = display_value(member(&p, "type"), false);
    if (s == kModified) {
      change.value_changed = true;
      change.old_value = display_value(member(&p, "prev_value"), true);
      change.old_type = display_value(member(&p, "prev_type"), false);
    }
    const std::string key = key_of(*member(&p, "name"));
    if (s != kModified) {
      change.old_value = change.new_value;
      change.old_type = display_value(member(prev_parameters[key], "type"), false);
    }
    change.type_changed = change.old_type != change.new_type;
    // Its other keys (the diff's annotations left out), each shown as "<name>.<key>".
    differing_keys(prev_parameters[key], parameters[key],
                   {"name", "value", "type", "diff_status", "prev_type", "prev_value"},
                   change.name + ".", change.other_changes);
    if (change.value_changed || change.type_changed || !change.other_changes.empty()) {
      changed.push_back(std::move(change));
    }
  }
  for (ParameterChange& p : added) changed.push_back(std::move(p));
  for (ParameterChange& p : removed) changed.push_back(std::move(p));
  return changed;
}

// The positions in `seq` outside one longest strictly increasing run of its first members
// (the fewest entries whose removal leaves the rest in order), in order.
std::vector<std::size_t> outside_increasing_run(
    const std::vector<std::pair<std::size_t, std::size_t>>& seq) {
  // tails[l]: the position of the smallest last value of an increasing run of length l + 1.
  std::vector<std::size_t> tails, before(seq.size(), seq.size());
  for (std::size_t i = 0; i < seq.size(); ++i) {
    const auto at =
        std::lower_bound(tails.begin(), tails.end(), seq[i].first,
                         [&](std::size_t t, std::size_t v) { return seq[t].first < v; });
    if (at != tails.begin()) before[i] = *(at - 1);
    if (at == tails.end()) {
      tails.push_back(i);
    } else {
      *at = i;
    }
  }
  std::vector<bool> in_run(seq.size(), false);
  for (std::size_t i = tails.empty() ? seq.size() : tails.back(); i < seq.size(); i = before[i]) {
    in_run[i] = true;
  }
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < seq.size(); ++i) {
    if (!in_run[i]) out.push_back(i);
  }
  return out;
}

// collect_changes() phase by phase: the diff document, the text cells, the components in
// reading order, their parents' labels, the parameters and the notebook's own keys.
class Collector {
 public:
  Collector(Value& prev, Value& current, std::string_view prev_name, std::string_view current_name)
      : prev_(prev),
        current_(current),
        prev_label_(version_label(prev_name, "previous")),
        current_label_(version_label(current_name, "current")),
        diff_(diff_documents<ValueTree>(&prev, &current, prev_name, current_name)),
        before_(prev),
        now_(current) {
    for (const Value& cell : diff_.as_object().at("cells").as_array()) {
      diff_cells_[key_of(*member(canvas_of(&cell), "id"))] = &cell;
    }
  }

  Changes collect() {
    collect_text_cells();
    walk(current_, false);
    walk(prev_, true);
    label_parents();
    find_moved();
    find_repeated_ids(prev_, prev_label_);
    find_repeated_ids(current_, current_label_);
    changes_.parameters = parameter_changes(diff_, prev_, current_);
    find_parameter_order();
    changes_.notebook_changes = notebook_key_changes(prev_, current_);
    return std::move(changes_);
  }

 private:
  // The changed markdown and raw cells, added ones and kept ones in the current version's
  // order, then removed ones.
  void collect_text_cells() {
    std::vector<Slot> prev_slots = slots_of(prev_), cur_slots = slots_of(current_);
    pair_slots(prev_slots, cur_slots);
    for (const Slot& s : cur_slots) {
      if (s.pair < 0) {
        TextCell t = text_cell(s, Change::kAdded);
        t.source = source_text_lines(member(s.cell, "source"));
        add_text_cell(text_at_current_, s, std::move(t));
        continue;
      }
      const Slot& p = prev_slots[static_cast<std::size_t>(s.pair)];
      TextCell t = text_cell(s, Change::kModified);
      t.source = source_text_lines(member(s.cell, "source"));
      t.prev_source = source_text_lines(member(p.cell, "source"));
      const Value* a = member(p.cell, "cell_type");
      const Value* b = member(s.cell, "cell_type");
      t.other_changes = cell_key_changes(p.cell, s.cell);
      if (t.source == t.prev_source && ((!a && !b) || (a && b && *a == *b)) &&
          t.other_changes.empty()) {
        continue;
      }
      add_text_cell(text_at_current_, s, std::move(t));
    }
    for (const Slot& s : prev_slots) {
      if (s.pair >= 0) continue;
      TextCell t = text_cell(s, Change::kRemoved);
      t.prev_source = source_text_lines(member(s.cell, "source"));
      add_text_cell(text_at_prev_, s, std::move(t));
    }
  }

  void add_text_cell(std::unordered_map<std::size_t, std::size_t>& at, const Slot& s, TextCell t) {
    at[s.position] = changes_.text_cells.size();
    changes_.text_cells.push_back(std::move(t));
  }

  // Components and text cells of `doc` in reading order; of the previous version, only the
  // components removed since.
  void walk(const Value& doc, bool removed_only) {
    const Value* list = notebook::cell_list(doc);
    if (!list) return;
    const auto& texts = removed_only ? text_at_prev_ : text_at_current_;
    const json::Array& cells = list->as_array();
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const Value& cell = cells[i];
      if (!is_code(cell)) {
        if (auto it = texts.find(i); it != texts.end()) {
          changes_.order.push_back({false, it->second});
        }
        continue;
      }
      const Value* id = member(canvas_of(&cell), "id");
      if (!id) continue;
      const std::string key = key_of(*id);
      if (component_index_.count(key) || (removed_only && now_.find(key))) continue;
      add_component(key, *id);
      const std::size_t index = changes_.components.size() - 1;
      if (changes_.components[index].change != Change::kUnchanged) {
        changes_.order.push_back({true, index});
      }
    }
  }

  void add_component(const std::string& key, const Value& id) {
    const Value& d = *diff_cells_.at(key);
    const Value* canvas = canvas_of(&d);
    Component c;
    c.key = key;
    c.id = display(text_of(id));
    const Value* status = member(canvas, "diff_status");
    c.status = status && status->is_string() ? std::string(status->as_string()) : "unchanged";
    const Value* prev_cell = before_.find(key);
    const Value* cur_cell = now_.find(key);
    c.name = display(cur_cell ? name_of(*cur_cell) : name_of(*prev_cell));
    c.prev_name = prev_cell ? display(name_of(*prev_cell)) : c.name;
    pending_.push_back(links(member(canvas, "parents"), now_));
    pending_.push_back(links(member(canvas, "added_parents"), now_));
    pending_.push_back(links(member(canvas, "removed_parents"), before_));
    const bool parents_changed =
        !pending_[pending_.size() - 2].empty() || !pending_[pending_.size() - 1].empty();
    classify(c, prev_cell, cur_cell, parents_changed);
    // Sources and outputs are taken only where the views show them: on changed components.
    // An unchanged one's source is read only for its conflict blocks, and not at all when it is
    // still held as text without a run of '<' (see notebook::find_conflicts).
    const Value* shown = cur_cell ? member(&d, "source") : member(canvas, "prev_source");
    if (c.change != Change::kUnchanged) {
      c.prev_source = source_text_lines(member(canvas, "prev_source"));
      if (cur_cell) c.source = source_text_lines(shown);
      c.outputs = outputs_of(cur_cell);
      c.prev_outputs = outputs_of(prev_cell);
    }
    c.conflict = notebook::is_marked(c.name) || has_conflict_block(c, cur_cell, shown);
    component_index_.emplace(key, changes_.components.size());
    changes_.components.push_back(std::move(c));
  }

  // Whether the source shown for `c` (`shown`, its current one when `cur_cell`, else its
  // previous one) holds a conflict block.
  static bool has_conflict_block(const Component& c, const Value* cur_cell, const Value* shown) {
    if (c.change != Change::kUnchanged) {
      const std::vector<std::string>& lines = cur_cell ? c.source : c.prev_source;
      return notebook::has_conflict_block({lines.begin(), lines.end()});
    }
    if (shown != nullptr && shown->text_lacks({"<<<<"})) return false;
    const std::vector<std::string> lines = source_text_lines(shown);
    return notebook::has_conflict_block({lines.begin(), lines.end()});
  }

  // What happened to component `c` as a reader names it, and which of its outputs changed.
  static void classify(Component& c, const Value* prev_cell, const Value* cur_cell,
                       bool parents_changed) {
    if (c.status == kAdded) {
      c.change = Change::kAdded;
      return;
    }
    if (c.status == kRemoved) {
      c.change = Change::kRemoved;
      return;
    }
    const Value* a = member(prev_cell, "outputs");
    const Value* b = member(cur_cell, "outputs");
    const std::size_t na = a && a->is_array() ? a->as_array().size() : 0;
    const std::size_t nb = b && b->is_array() ? b->as_array().size() : 0;
    for (std::size_t i = 0; i < std::min(na, nb); ++i) {
      c.output_same.push_back(a->as_array()[i] == b->as_array()[i]);
      if (!c.output_same.back()) c.outputs_changed = true;
    }
    if (na != nb) c.outputs_changed = true;
    c.other_changes = cell_key_changes(prev_cell, cur_cell);
    if (c.status == kModified) {
      c.change = Change::kModified;
    } else if (c.renamed()) {
      c.change = Change::kRenamed;
    } else if (parents_changed || c.outputs_changed || !c.other_changes.empty()) {
      c.change = Change::kChanged;
    }
  }

  // The short ids of the components, and the labels of their parents: a parent's name, else
  // the short id of its component, else its id.
  void label_parents() {
    std::vector<std::string> ids;
    for (const Component& c : changes_.components) ids.push_back(c.id);
    const std::vector<std::string> short_ids = shorten_ids(ids);
    for (std::size_t i = 0; i < ids.size(); ++i) changes_.components[i].short_id = short_ids[i];
    for (std::size_t i = 0; i < changes_.components.size(); ++i) {
      Component& c = changes_.components[i];
      std::vector<ParentLink>* lists[] = {&c.parents, &c.gained, &c.lost};
      for (std::size_t k = 0; k < 3; ++k) {
        for (const PendingLink& p : pending_[3 * i + k]) {
          std::string label;
          if (!p.name.empty()) {
            label = display(p.name);
          } else if (auto it = component_index_.find(p.key); it != component_index_.end()) {
            label = "id " + changes_.components[it->second].short_id;
          } else {
            label = "id " + display(p.id);
          }
          lists[k]->push_back(ParentLink{p.key, std::move(label)});
        }
      }
    }
  }

  // The components both versions hold that changed place: those outside a longest run, in the
  // current version's order, of components whose previous places increase.
  void find_moved() {
    std::unordered_map<std::string, std::size_t> prev_place;
    for (const std::string& key : component_keys(prev_)) prev_place.emplace(key, prev_place.size());
    std::vector<std::pair<std::size_t, std::size_t>> kept;  // previous place, component index
    for (const std::string& key : component_keys(current_)) {
      const auto place = prev_place.find(key);
      const auto index = component_index_.find(key);
      if (place == prev_place.end() || index == component_index_.end()) continue;
      const Change change = changes_.components[index->second].change;
      if (change != Change::kAdded && change != Change::kRemoved) {
        kept.emplace_back(place->second, index->second);
      }
    }
    for (const std::size_t k : outside_increasing_run(kept)) {
      changes_.moved.push_back(kept[k].second);
    }
  }

  // The component ids that several code cells of `doc` carry, with those cells' positions.
  void find_repeated_ids(const Value& doc, const std::string& version) {
    const Value* list = notebook::cell_list(doc);
    if (!list) return;
    std::vector<std::pair<std::string, std::vector<std::size_t>>> seen;  // key, positions
    std::unordered_map<std::string, std::size_t> at;
    const json::Array& cells = list->as_array();
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const Value* id = is_code(cells[i]) ? member(canvas_of(&cells[i]), "id") : nullptr;
      if (!id) continue;
      const auto [it, added] = at.emplace(key_of(*id), seen.size());
      if (added) seen.emplace_back(display(text_of(*id)), std::vector<std::size_t>());
      seen[it->second].second.push_back(i);
    }
    for (const auto& [id, positions] : seen) {
      if (positions.size() < 2) continue;
      std::vector<std::string> numbers;
      for (const std::size_t i : positions) numbers.push_back(std::to_string(i));
      changes_.repeated_ids.push_back(id + ": cells " + join(numbers) + " of " + version);
    }
  }

  // The names of the parameters both versions hold, in each one's order, where that differs.
  void find_parameter_order() {
    std::vector<std::string> prev_names = parameter_names(prev_), names = parameter_names(current_);
    const std::unordered_set<std::string> in_prev(prev_names.begin(), prev_names.end());
    const std::unordered_set<std::string> in_current(names.begin(), names.end());
    std::erase_if(prev_names, [&](const std::string& n) { return !in_current.contains(n); });
    std::erase_if(names, [&](const std::string& n) { return !in_prev.contains(n); });
    if (names == prev_names) return;
    for (const std::string& n : names) changes_.parameter_order.push_back(display(n));
    for (const std::string& n : prev_names) changes_.prev_parameter_order.push_back(display(n));
  }

  // The component keys of `doc`'s code cells, each once, at its first place.
  static std::vector<std::string> component_keys(const Value& doc) {
    std::vector<std::string> keys;
    std::unordered_set<std::string> seen;
    if (const Value* list = notebook::cell_list(doc)) {
      for (const Value& cell : list->as_array()) {
        const Value* id = is_code(cell) ? member(canvas_of(&cell), "id") : nullptr;
        if (id && seen.insert(key_of(*id)).second) keys.push_back(key_of(*id));
      }
    }
    return keys;
  }

  // The parameter names of `doc`, each once, at its first place.
  static std::vector<std::string> parameter_names(const Value& doc) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (const Value* list = notebook::parameter_list(doc)) {
      for (const Value& p : list->as_array()) {
        const Value* name = member(&p, "name");
        if (!name || !name->is_string()) continue;
        std::string text(name->as_string());
        if (seen.insert(text).second) names.push_back(std::move(text));
      }
    }
    return names;
  }

  // "the previous version", or the name the caller gave it.
  static std::string version_label(std::string_view name, const char* role) {
    return name.empty() ? std::string("the ") + role + " version" : display(name);
  }

  Value& prev_;
  Value& current_;
  const std::string prev_label_, current_label_;
  Value diff_;
  const Version before_, now_;
  Changes changes_;
  // The diff document's cells by component key.
  std::unordered_map<std::string, const Value*> diff_cells_;
  std::vector<std::vector<PendingLink>> pending_;  // parents, gained, lost per component
  std::unordered_map<std::string, std::size_t> component_index_;
  // Text cells by position in the current and in the previous version.
  std::unordered_map<std::size_t, std::size_t> text_at_current_, text_at_prev_;
};

}  // namespace

Changes collect_changes(Value& prev, Value& current, std::string_view prev_name,
                        std::string_view current_name) {
  return Collector(prev, current, prev_name, current_name).collect();
}

}  // namespace qor::diff::detail
