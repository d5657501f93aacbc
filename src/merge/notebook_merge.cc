// The three-way notebook merge, component by component.
//
// Four tables map component ids to cells: current, base and incoming over their documents'
// cells, and the merged table, which starts over the very same cell objects as the current one
// (a change made through one is seen through the other). Ids are visited in fixed orders:
// current deletions in base order, incoming additions in incoming order, kept cells in current
// order. The name-to-id map that decides name collisions is kept up to date entry by entry
// instead of being rebuilt from all merged cells for every kept cell.
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <future>
#include <memory>
#include <random>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "merge/documents.h"
#include "merge/ordered_map.h"
#include "merge/source_queue.h"
#include "qor/errors.h"
#include "qor/merge.h"
#include "qor/notebook.h"

namespace qor::merge {

std::string uuid4() {
  unsigned char b[16];
  std::size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::random_device rd;
      for (auto& byte : b) byte = static_cast<unsigned char>(rd());
      got = sizeof b;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0xF];
  }
  return out;
}

namespace {

using json::Value;
using structdiff::Delta;
using CellTable = detail::OrderedMap<Value*>;

struct Merged {
  Value* cell;
  Side side;
};
using MergedTable = detail::OrderedMap<Merged>;
using Handle = MergedTable::Handle;

// comp_names as it would be rebuilt from the merged table at any moment: name -> the last
// merged entry (in table order) bearing it; unnamed entries left out. Updated entry by entry.
class NameIndex {
 public:
  explicit NameIndex(MergedTable& table) : table_(table) {}

  void rebuild() {
    by_name_.clear();
    name_of_.clear();
    generation_ = table_.generation();
    for (Handle h = table_.first(); h != MergedTable::kNone; h = table_.next(h)) update(h);
  }

  // Re-reads the name of entry `h` (present in the table).
  void update(Handle h) {
    if (generation_ != table_.generation()) return rebuild();
    forget(h);
    const Merged& m = table_.at(h).value;
    const std::string name = MergeCell(m.cell, m.side).name();
    if (name.empty()) return;
    by_name_[name].emplace(table_.at(h).order, h);
    name_of_[h] = name;
  }

  // Drops entry `h` (before it leaves the table).
  void forget(Handle h) {
    auto it = name_of_.find(h);
    if (it == name_of_.end()) return;
    auto& entries = by_name_[it->second];
    entries.erase({table_.at(h).order, h});
    if (entries.empty()) by_name_.erase(it->second);
    name_of_.erase(it);
  }

  Handle lookup(const std::string& name) {
    if (generation_ != table_.generation()) rebuild();
    auto it = by_name_.find(name);
    return it == by_name_.end() ? MergedTable::kNone : it->second.rbegin()->second;
  }

 private:
  MergedTable& table_;
  std::unordered_map<std::string, std::set<std::pair<std::uint64_t, Handle>>> by_name_;
  std::unordered_map<Handle, std::string> name_of_;
  std::uint64_t generation_ = 0;
};

class Merger {
 public:
  Merger(const MergeInput& docs, const std::string& file_path, const MergeOptions& options)
      : docs_(docs),
        file_path_(file_path),
        options_(options),
        names_(merged_),
        sources_(options.git) {}

  void run() {
    current_cells_ = cell_table(docs_.current, docs_.current_name);
    base_cells_ = cell_table(docs_.base, docs_.base_name);
    incoming_cells_ = cell_table(docs_.incoming, docs_.incoming_name);
    for (auto h : current_cells_.handles()) {
      merged_.assign(current_cells_.at(h).key, Merged{current_cells_.at(h).value, Side::kCurrent});
    }
    take_incoming_changes_of_current_deletions();
    const std::unordered_map<std::string, Handle> snapshot = name_snapshot();
    take_incoming_additions(snapshot);
    names_.rebuild();
    try {
      merge_kept_cells();
    } catch (...) {
      sources_.fail(std::current_exception());
    }
    sources_.finish();
    reduce_parents();
    json::Array parameters = merge_parameters(docs_);
    write_result(std::move(parameters));
  }

 private:
  CellTable cell_table(Value& doc, const std::string& doc_name) {
    CellTable table;
    json::Array& cells = detail::cells_of(doc, doc_name);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      table.assign(detail::component_id(cells[i], doc_name, i), &cells[i]);
    }
    return table;
  }

  static Value* lookup(const CellTable& table, const std::string& id) {
    const CellTable::Handle h = table.find(id);
    return h == CellTable::kNone ? nullptr : table.at(h).value;
  }

  MergeCell view(Handle h) {
    const Merged& m = merged_.at(h).value;
    return MergeCell(m.cell, m.side);
  }

  // The cell difference from the base cell to a side's cell, without "outputs" unless asked.
  static Delta change(Value* base_cell, Value* side_cell, Side side, bool with_outputs = false) {
    return change(MergeCell(base_cell, Side::kBase), MergeCell(side_cell, side), with_outputs);
  }
  static Delta change(const MergeCell& older, const MergeCell& newer, bool with_outputs = false) {
    Delta d = cell_changed(older, newer);
    if (!with_outputs) d.erase("outputs");
    return d;
  }

  // A copy of an incoming cell, owned by the merge (the merged notebook is written from it).
  Value* copy_of(const Value* incoming_cell) {
    copies_.push_back(*incoming_cell);
    return &copies_.back();
  }

  void mark(Handle h) {
    view(h).add_conflict_mark();
    names_.update(h);
  }

  // Cells deleted by the current side that the incoming side changed come back at the end,
  // marked; the other deletions stand.
  void take_incoming_changes_of_current_deletions() {
    for (auto b : base_cells_.handles()) {
      const std::string& id = base_cells_.at(b).key;
      if (current_cells_.contains(id)) continue;
      Value* incoming = lookup(incoming_cells_, id);
      if (incoming == nullptr) continue;
      if (change(base_cells_.at(b).value, incoming, Side::kIncoming, true).empty()) continue;
      const Handle h = merged_.assign(id, Merged{copy_of(incoming), Side::kIncoming});
      view(h).add_conflict_mark();
    }
  }

  std::unordered_map<std::string, Handle> name_snapshot() {
    std::unordered_map<std::string, Handle> names;
    for (Handle h = merged_.first(); h != MergedTable::kNone; h = merged_.next(h)) {
      const std::string name = view(h).name();
      if (!name.empty()) names[name] = h;
    }
    return names;
  }

  // Cells added by the incoming side go to the end; a name taken by a merged cell (as it was
  // before the additions) marks both. A component id that both sides added is resolved like a
  // cell changed on both sides whose names differ.
  void take_incoming_additions(const std::unordered_map<std::string, Handle>& snapshot) {
    for (auto i : incoming_cells_.handles()) {
      const std::string& id = incoming_cells_.at(i).key;
      if (base_cells_.contains(id)) continue;
      Value* incoming = incoming_cells_.at(i).value;
      if (Value* current = lookup(current_cells_, id)) {
        if (!change(MergeCell(current, Side::kCurrent), MergeCell(incoming, Side::kIncoming))
                 .empty()) {
          const Handle h = merged_.find(id);
          add_conflict_copy(
              id, h,
              !view(h).name().empty() && !MergeCell(incoming, Side::kIncoming).name().empty());
        }
        continue;
      }
      const Handle h = merged_.assign(id, Merged{copy_of(incoming), Side::kIncoming});
      const std::string name = view(h).name();
      auto taken = name.empty() ? snapshot.end() : snapshot.find(name);
      if (taken != snapshot.end()) {
        view(taken->second).add_conflict_mark();
        view(h).add_conflict_mark();
      }
    }
  }

  void merge_kept_cells() {
    for (auto c : current_cells_.handles()) {
      const std::string& id = current_cells_.at(c).key;
      const CellTable::Handle b = base_cells_.find(id);
      if (b == CellTable::kNone) continue;
      Value* base = base_cells_.at(b).value;
      Value* incoming = lookup(incoming_cells_, id);
      const Handle h = merged_.find(id);
      const bool current_changed =
          !change(base, current_cells_.at(c).value, Side::kCurrent).empty();
      if (current_changed) {
        if (incoming == nullptr) {
          if (!view(h).name().empty()) mark(h);
          continue;
        }
        Delta incoming_change = change(base, incoming, Side::kIncoming);
        if (!incoming_change.empty()) resolve_both_changed(id, h, incoming_change);
        continue;
      }
      if (incoming == nullptr) {
        // The incoming side deleted a cell the current side left alone: it goes, and a cell
        // marked as the incoming side of its name gets the plain name back.
        const std::string name = view(h).name();
        const Handle other = names_.lookup(std::string(kIncomingMark) + name);
        if (other != MergedTable::kNone) {
          view(other).set_name(name);
          names_.update(other);
        }
        names_.forget(h);
        merged_.erase(h);
        continue;
      }
      if (change(base, incoming, Side::kIncoming).empty()) continue;
      const std::string incoming_name = MergeCell(incoming, Side::kIncoming).name();
      const Handle other =
          incoming_name.empty() ? MergedTable::kNone : names_.lookup(incoming_name);
      merged_.at(h).value = Merged{copy_of(incoming), Side::kIncoming};
      names_.update(h);
      if (other != MergedTable::kNone && other != h) {
        mark(other);
        mark(h);
      }
    }
  }

  // A cell changed on both sides: its source merged (taking over the incoming side's new
  // comments or ignoring a header colour change), or a conflict copy placed after it.
  void resolve_both_changed(const std::string& id, Handle h, const Delta& d) {
    const std::string current_name = view(h).name();
    const std::string incoming_name =
        MergeCell(lookup(incoming_cells_, id), Side::kIncoming).name();
    const bool has_source = d.find("source") != nullptr;
    CanvasChange canvas = canvas_change(d);
    if (canvas.present) {
      if (canvas.keys == std::set<std::string>{"headerColor"}) {
        if (has_source) merge_source_of(id, h);
        return;
      }
      if (std::includes(std::begin(kCommentKeys), std::end(kCommentKeys), canvas.keys.begin(),
                        canvas.keys.end())) {
        take_new_comments(id, h, canvas);
        if (has_source) merge_source_of(id, h);
        return;
      }
      if (current_name.empty() && incoming_name.empty()) {
        merge_source_of(id, h);
        return;
      }
      add_conflict_copy(id, h, !current_name.empty() && !incoming_name.empty());
      return;
    }
    if (current_name.empty() != incoming_name.empty()) {
      add_conflict_copy(id, h, false);
    } else {
      merge_source_of(id, h);
    }
  }

  static constexpr const char* kCommentKeys[] = {"comments", "headerColor"};

  // The "metadata" -> "canvas" part of an incoming change: either a difference or, when the
  // newer cell gained the key, the new value itself.
  struct CanvasChange {
    bool present = false;
    const Delta* delta = nullptr;
    const Value* value = nullptr;
    std::set<std::string> keys;
  };

  static CanvasChange canvas_change(const Delta& d) {
    CanvasChange c;
    const Delta* metadata = d.find("metadata");
    if (metadata == nullptr) return c;
    if (metadata->kind() == Delta::Kind::kObject) {
      c.delta = metadata->find("canvas");
    } else if (metadata->kind() == Delta::Kind::kValue && metadata->new_value().is_object()) {
      c.value = metadata->new_value().find("canvas");
    }
    if (c.delta == nullptr && c.value == nullptr) return c;
    c.present = true;
    if (c.delta != nullptr && c.delta->kind() == Delta::Kind::kObject) {
      for (const auto& [key, child] : c.delta->object_part().entries) c.keys.insert(key);
      if (!c.delta->object_part().deleted.empty())
        c.keys.insert(std::string(structdiff::kDeleteMarker));
    } else if (c.delta != nullptr && c.delta->kind() == Delta::Kind::kValue &&
               c.delta->new_value().is_object()) {
      c.value = &c.delta->new_value();
      c.delta = nullptr;
    }
    if (c.value != nullptr && c.value->is_object()) {
      for (const auto& m : c.value->as_object()) c.keys.insert(std::string(m.name()));
    } else if (c.keys.empty()) {
      // A canvas replaced wholesale or turned into another kind: a change of its own.
      c.keys.insert(std::string(structdiff::kReplaceMarker));
    }
    return c;
  }

  // Adds to the merged cell each new comment of the incoming side that it does not hold yet.
  void take_new_comments(const std::string& id, Handle h, const CanvasChange& canvas) {
    std::vector<const Value*> candidates;
    if (canvas.value != nullptr) {
      const Value* comments = canvas.value->find("comments");
      if (comments != nullptr && comments->is_array()) {
        for (const Value& item : comments->as_array()) candidates.push_back(&item);
      }
    } else if (const Delta* comments = canvas.delta->find("comments")) {
      if (comments->kind() == Delta::Kind::kValue && comments->new_value().is_array()) {
        for (const Value& item : comments->new_value().as_array()) candidates.push_back(&item);
      } else if (comments->kind() == Delta::Kind::kList) {
        // The items at the positions the difference names: insertions, and the incoming item
        // at each changed position, in position order.
        Value* incoming = lookup(incoming_cells_, id);
        const Value* list = MergeCell(incoming, Side::kIncoming).comments();
        const auto& part = comments->list_part();
        std::vector<std::pair<std::size_t, const Value*>> by_position;
        for (const auto& [pos, item] : part.inserted) by_position.emplace_back(pos, &item);
        for (const auto& [pos, child] : part.changed) {
          if (list != nullptr && pos < list->as_array().size()) {
            by_position.emplace_back(pos, &list->as_array()[pos]);
          }
        }
        std::stable_sort(by_position.begin(), by_position.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [pos, item] : by_position) candidates.push_back(item);
      }
    }
    MergeCell merged = view(h);
    for (const Value* item : candidates) {
      if (!merged.has_comment(const_cast<Value*>(item))) merged.add_comment(*item);
    }
  }

  std::vector<std::string> lines_of(Value* cell, const std::string& doc_name,
                                    const std::string& id) {
    if (!cell->is_object() || cell->find("source") == nullptr) {
      throw KeyError("source", doc_name + ": cell " + py_quote(id) + ": missing key 'source'");
    }
    return notebook::source_lines(notebook::Cell(cell));
  }

  // Nothing after this reads the merged cell's source, so the merge may finish later (the
  // queue sets it before the cells are reduced and written).
  void merge_source_of(const std::string& id, Handle h) {
    sources_.add(lines_of(lookup(current_cells_, id), docs_.current_name, id),
                 lines_of(lookup(base_cells_, id), docs_.base_name, id),
                 lines_of(lookup(incoming_cells_, id), docs_.incoming_name, id),
                 file_path_ + "-current", file_path_ + "-incoming",
                 [this, h](std::vector<std::string> lines) {
                   json::Array source;
                   source.reserve(lines.size());
                   for (const std::string& line : lines) source.emplace_back(line);
                   view(h).set_source(Value(std::move(source)));
                 });
  }

  // Places a copy of the incoming cell, with fresh ids, right after entry `h`.
  void add_conflict_copy(const std::string& id, Handle h, bool mark_both) {
    Value* copy = copy_of(lookup(incoming_cells_, id));
    MergeCell cell(copy, Side::kIncoming);
    const std::string kelm_id = options_.new_id ? options_.new_id() : uuid4();
    cell.set_kelm_id(kelm_id);
    cell.set_cell_id(options_.new_id ? options_.new_id() : uuid4());
    if (mark_both) {
      view(h).add_conflict_mark();
      cell.add_conflict_mark();
    }
    const Handle copy_handle = merged_.insert_after(h, kelm_id, Merged{copy, Side::kIncoming});
    names_.update(h);
    names_.update(copy_handle);
  }

  // Parent records of named cells keep only "id", and only when it names a named merged cell.
  void reduce_parents() {
    std::unordered_set<std::string> named_ids;
    std::vector<Handle> named;
    for (Handle h = merged_.first(); h != MergedTable::kNone; h = merged_.next(h)) {
      if (view(h).name().empty()) continue;
      named_ids.insert(merged_.at(h).key);
      named.push_back(h);
    }
    for (Handle h : named) {
      MergeCell cell = view(h);
      const std::string& doc_name =
          merged_.at(h).value.side == Side::kCurrent ? docs_.current_name : docs_.incoming_name;
      json::Array kept;
      if (Value* parents = cell.parents()) {
        json::Array& records = parents->as_array();
        for (std::size_t i = 0; i < records.size(); ++i) {
          const Value& parent_id = detail::require(
              records[i], "id", doc_name,
              "cell " + py_quote(merged_.at(h).key) + ": parents[" + std::to_string(i) + "]");
          if (parent_id.is_string() && named_ids.count(std::string(parent_id.as_string())) != 0) {
            json::Object record;
            record.set("id", parent_id);
            kept.emplace_back(std::move(record));
          }
        }
      }
      cell.set_parents(Value(std::move(kept)));
    }
  }

  void write_result(json::Array parameters) {
    json::Array cells;
    cells.reserve(merged_.size());
    for (Handle h = merged_.first(); h != MergedTable::kNone; h = merged_.next(h)) {
      cells.push_back(std::move(*merged_.at(h).value.cell));
    }
    json::Object& doc = docs_.current.as_object();
    doc.set("cells", Value(std::move(cells)));
    doc.at("metadata")
        .as_object()
        .at("canvas")
        .as_object()
        .set("parameters", Value(std::move(parameters)));
  }

  const MergeInput& docs_;
  const std::string& file_path_;
  const MergeOptions& options_;
  CellTable current_cells_, base_cells_, incoming_cells_;
  MergedTable merged_;
  std::deque<Value> copies_;  // incoming copies; a deque keeps their addresses
  NameIndex names_;
  detail::SourceQueue sources_;
};

}  // namespace

void merge_documents(const MergeInput& docs, const std::string& file_path,
                     const MergeOptions& options) {
  Merger(docs, file_path, options).run();
}

void merge_files(const std::string& base_file_path, const std::string& current_file_path,
                 const std::string& incoming_file_path, const std::string& file_path,
                 const MergeOptions& options) {
  // The three files are read side by side; when several cannot be read, the error is the one
  // of the first in the order current, base, incoming, as reading them in turn would give.
  const auto read = [](const std::string& path) {
    return std::make_unique<Value>(notebook::read_notebook(path));
  };
  auto base_read = std::async(std::launch::async, read, base_file_path);
  auto incoming_read = std::async(std::launch::async, read, incoming_file_path);
  std::unique_ptr<Value> current;
  try {
    current = read(current_file_path);
  } catch (...) {
    base_read.wait();
    incoming_read.wait();
    throw;
  }
  std::unique_ptr<Value> base = base_read.get();
  std::unique_ptr<Value> incoming = incoming_read.get();
  merge_documents(
      {*current, *base, *incoming, current_file_path, base_file_path, incoming_file_path},
      file_path, options);
  notebook::write_notebook(current_file_path, *current);
  if (!options.free_documents) {
    static auto* kept = new std::vector<std::unique_ptr<Value>>();
    kept->push_back(std::move(current));
    kept->push_back(std::move(base));
    kept->push_back(std::move(incoming));
  }
}

}  // namespace qor::merge
