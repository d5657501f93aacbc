// The textconv text of one notebook: a fixed line layout that a line-based diff reads well.
// Every source line becomes one text line under its cell's heading, so git's line diff, blame
// and stat count notebook lines. Output contents are summarised by kind, size and a 48-bit hash
// of their structure (object member order does not count), which a large notebook's reading
// dominates: the hash takes eight bytes per step.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "qor/notebook.h"
#include "views/changes.h"
#include "views/views.h"

namespace qor::diff {
namespace {

using json::Value;

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ULL;
  h ^= h >> 33;
  return h;
}

std::uint64_t load64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

std::uint64_t hash_bytes(std::string_view s, std::uint64_t h) {
  const char* p = s.data();
  std::size_t n = s.size();
  h ^= n * kMul;
  // Two independent lanes keep the multiplier busy.
  std::uint64_t h2 = h ^ 0x5851F42D4C957F2DULL;
  while (n >= 16) {
    h = (h ^ load64(p)) * kMul;
    h2 = (h2 ^ load64(p + 8)) * kMul;
    h ^= h >> 29;
    h2 ^= h2 >> 31;
    p += 16;
    n -= 16;
  }
  std::uint64_t tail = 0;
  for (std::size_t i = 0; i < n; ++i)
    tail |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * (i % 8));
  return mix(h ^ mix(h2) ^ tail * kMul);
}

// A hash consistent with structural equality for the values outputs hold.
std::uint64_t hash_value(const Value& v) {
  switch (v.type()) {
    case json::Type::kNull:
      return mix(1);
    case json::Type::kBool:
    case json::Type::kInt:
    case json::Type::kBigInt:
    case json::Type::kReal: {
      const json::NumberKey key = json::number_key(v);
      if (key.kind == json::NumberKey::kDigits) return hash_bytes(key.digits, 4);
      if (key.kind == json::NumberKey::kInteger) return mix(3 + key.word * kMul);
      return mix(5 ^ key.word);
    }
    case json::Type::kString:
      return hash_bytes(v.as_string(), 6);
    case json::Type::kArray: {
      std::uint64_t h = 7;
      for (const Value& item : v.as_array()) h = mix(h * kMul + hash_value(item));
      return h;
    }
    case json::Type::kObject: {
      std::uint64_t sum = 8;
      for (const auto& m : v.as_object()) {
        sum += mix(hash_bytes(m.name(), 9) ^ (hash_value(m.value) * kMul));
      }
      return mix(sum);
    }
  }
  return 0;
}

using notebook::canvas_of;
using notebook::member;

void put_display(std::string& out, const Value* v) {
  if (!v) return;
  if (v->is_string()) {
    detail::append_display(v->as_string(), out);
  } else {
    detail::append_display(json::write(*v), out);
  }
}

// One line per member of `obj` (an object; anything else has none) but those in `skip`, in
// key order: "  <prefix><key>: <value>", the value as compact JSON with its keys sorted; a value
// longer than a line follows on lines of its own in its indented form, so that a change within
// it changes only the lines it touches.
void key_lines(std::string& out, const Value* obj, std::string_view prefix,
               std::initializer_list<std::string_view> skip) {
  if (!obj || !obj->is_object()) return;
  std::vector<const json::Object::Member*> members;
  for (const auto& m : obj->as_object()) {
    if (std::find(skip.begin(), skip.end(), m.name()) == skip.end()) members.push_back(&m);
  }
  std::sort(members.begin(), members.end(),
            [](const json::Object::Member* a, const json::Object::Member* b) {
              return a->name() < b->name();
            });
  constexpr std::size_t kOneLine = 160;
  for (const json::Object::Member* m : members) {
    out += "  ";
    out += prefix;
    detail::append_display(m->name(), out);
    out += ':';
    const std::string compact = detail::display_json(m->value);
    if (compact.size() <= kOneLine) {
      out += ' ';
      out += compact;
      out += '\n';
      continue;
    }
    out += '\n';
    for (const std::string& line : detail::display_json_lines(m->value)) {
      out += "    ";
      out += line;
    }
  }
}

void source_lines(std::string& out, const Value* source) {
  notebook::for_each_line(notebook::source_text(source), [&](std::string_view line) {
    const std::string_view text = detail::strip_line_end(line);
    out += text.empty() ? "  |" : "  | ";
    detail::append_display(text, out);
    out += '\n';
  });
}

// The notebook's own keys: its format, its metadata and its canvas keys but the parameters.
void notebook_lines(std::string& out, const Value& notebook) {
  std::string keys;
  const Value* metadata = member(&notebook, "metadata");
  key_lines(keys, &notebook, "", {"cells", "metadata"});
  key_lines(keys, metadata, "metadata.", {"canvas"});
  key_lines(keys, canvas_of(&notebook), "metadata.canvas.", {"parameters"});
  if (!keys.empty()) out += "notebook\n" + keys + "\n";
}

// One line per canvas parameter, and its keys beyond name, value and type.
void parameter_lines(std::string& out, const Value& notebook) {
  const Value* parameters = notebook::parameter_list(notebook);
  if (!parameters || parameters->as_array().empty()) return;
  out += "parameters\n";
  for (const Value& p : parameters->as_array()) {
    out += "  ";
    if (!p.is_object()) {
      put_display(out, &p);
    } else {
      out += detail::display_value(member(&p, "name"), false);
      out += " = ";
      out += detail::display_value(member(&p, "value"), true);
      out += " (";
      out += detail::display_value(member(&p, "type"), false);
      out += ")";
    }
    out += '\n';
    std::string extra;
    key_lines(extra, &p, "", {"name", "value", "type"});
    for (std::string_view line : notebook::split_lines(extra)) {
      out += "  ";
      out += line;
    }
  }
}

// Component names by id, for parent records that carry only an id; the ids are views of the
// notebook's strings, which outlive the map.
using Names = std::unordered_map<std::string_view, const Value*>;

Names component_names(const Value& cells) {
  Names names;
  names.reserve(cells.as_array().size());
  for (const Value& cell : cells.as_array()) {
    const Value* canvas = canvas_of(&cell);
    const Value* id = member(canvas, "id");
    const Value* name = member(canvas, "name");
    if (id && id->is_string() && name && name->is_string()) {
      names[id->as_string()] = name;
    }
  }
  return names;
}

// The cell's heading: its type, its name (always for a component) and its id.
void cell_heading(std::string& out, const Value& cell) {
  const Value* type = member(&cell, "cell_type");
  const Value* canvas = canvas_of(&cell);
  if (type && type->is_string()) {
    detail::append_display(type->as_string(), out);
  } else {
    out += "cell";
  }
  const bool code = type && type->is_string() && type->as_string() == "code";
  if (const Value* name = member(canvas, "name"); code || name) {
    out += "  ";
    if (name && name->is_string() && !name->as_string().empty()) {
      detail::append_display(name->as_string(), out);
    } else {
      out += "(unnamed)";
    }
  }
  if (const Value* id = member(canvas, "id")) {
    out += "  id ";
    put_display(out, id);
  } else if (const Value* cell_id = member(&cell, "id")) {
    out += "  cell ";
    put_display(out, cell_id);
  }
  out += '\n';
}

// "  parents: name (id), ...", each parent named as its component is now named.
void parent_line(std::string& out, const Value* canvas, const Names& names) {
  const Value* parents = member(canvas, "parents");
  if (!parents || !parents->is_array() || parents->as_array().empty()) return;
  out += "  parents: ";
  bool first = true;
  for (const Value& record : parents->as_array()) {
    if (!first) out += ", ";
    first = false;
    // The parent's name as its component carries it: stored names go stale when a parent
    // is renamed, and a merge stores ids only.
    const Value* pid = member(&record, "id");
    const Value* pname = member(&record, "name");
    if (pid && pid->is_string()) {
      auto it = names.find(pid->as_string());
      if (it != names.end()) pname = it->second;
    }
    if (pname && pname->is_string()) {
      detail::append_display(pname->as_string(), out);
      out += " (";
      put_display(out, pid);
      out += ")";
    } else if (pid) {
      put_display(out, pid);
    } else {
      put_display(out, &record);
    }
  }
  out += '\n';
}

// One line per output: its kind, its size and a short hash of its content.
void output_lines(std::string& out, const Value& cell) {
  const Value* outputs = member(&cell, "outputs");
  if (!outputs || !outputs->is_array()) return;
  // Outputs held as text are read into a copy, dropped once summarised: they are not kept read,
  // and the next one reuses the memory.
  const Value held = outputs->is_raw() ? *outputs : Value();
  for (const Value& output : (outputs->is_raw() ? held : *outputs).as_array()) {
    const detail::OutputInfo info = detail::output_info(output);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%012llx",
                  static_cast<unsigned long long>(hash_value(output) >> 16));
    out += "  output ";
    out += info.kind;
    out += "  ";
    out += detail::format_size(info.size);
    out += "  #";
    out += hash;
    out += '\n';
  }
}

void cell_lines(std::string& out, const Value& cell, const Names& names) {
  out += '\n';
  if (!cell.is_object()) {
    out += "(not a cell) ";
    put_display(out, &cell);
    out += '\n';
    return;
  }
  cell_heading(out, cell);
  const Value* canvas = canvas_of(&cell);
  // Every other key, so that no change of the cell goes unseen; an execution count is a run's,
  // not a change.
  key_lines(out, &cell, "",
            {"cell_type", "source", "outputs", "metadata", "execution_count",
             member(canvas, "id") ? std::string_view() : std::string_view("id")});
  key_lines(out, member(&cell, "metadata"), "metadata.", {"canvas"});
  key_lines(out, canvas, "", {"id", "name", "parents"});
  parent_line(out, canvas, names);
  source_lines(out, member(&cell, "source"));
  output_lines(out, cell);
}

}  // namespace

void textconv(const json::Value& notebook, std::string& out,
              const std::function<void(std::string&)>& hand_over) {
  // What the lines cannot show is not read as a notebook; the caller shows its text instead.
  if (!notebook.is_object()) {
    throw TypeError(std::string("a notebook must be a dict, not ") + notebook.type_name());
  }
  const struct {
    const Value* value;
    const char* rule;
    bool list;
  } shapes[] = {{member(&notebook, "cells"), "'cells' must be a list", true},
                {member(&notebook, "metadata"), "'metadata' must be a dict", false},
                {canvas_of(&notebook), "'metadata.canvas' must be a dict", false},
                {member(canvas_of(&notebook), "parameters"),
                 "'metadata.canvas.parameters' must be a list", true}};
  for (const auto& shape : shapes) {
    if (shape.value != nullptr &&
        (shape.list ? !shape.value->is_array() : !shape.value->is_object())) {
      throw TypeError(std::string(shape.rule) + ", not " + shape.value->type_name());
    }
  }
  notebook_lines(out, notebook);
  parameter_lines(out, notebook);
  const Value* cells = notebook::cell_list(notebook);
  if (!cells) return;
  const Names names = component_names(*cells);
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (const Value& cell : cells->as_array()) {
    cell_lines(out, cell, names);
    if (hand_over && out.size() >= kPiece) hand_over(out);
  }
}

void textconv_unreadable(std::string_view bytes, std::string_view problem, std::string& out) {
  if (bytes.empty()) return;
  out += "(not a notebook: ";
  detail::append_display(problem, out);
  out += ")\n";
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find('\n'), bytes.size());
    detail::append_display(bytes.substr(0, end), out);
    out += '\n';
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
  }
}

}  // namespace qor::diff
