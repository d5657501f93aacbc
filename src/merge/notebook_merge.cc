// The three-way notebook merge, component by component.
//
// Four tables map component ids to cells: current, base and incoming over their documents'
// cells, and the merged table, which starts over the very same cell objects as the current one
// (a change made through one is seen through the other). Ids are visited in fixed orders:
// current deletions in base order, incoming additions in incoming order, kept cells in current
// order. The name-to-id map that decides name collisions is kept up to date entry by entry
// instead of being rebuilt from all merged cells for every kept cell.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <latch>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>

#include "merge/merge_documents.h"
#include "merge/source_queue.h"
#include "notebook/notebook_file.h"
#include "ordered_map.h"
#include "platform/background.h"
#include "platform/file.h"
#include "platform/uuid.h"
#include "qor/errors.h"
#include "qor/interrupt.h"
#include "qor/log.h"
#include "qor/merge.h"
#include "qor/notebook.h"

namespace qor::merge {

namespace {

using json::Value;
using notebook::CellPlace;
using notebook::Notebook;
using structdiff::Delta;

constexpr std::string_view kNeedsId = "every cell needs a component id";

// A cell of one of the three documents, with its place for error messages, the text it was
// read from (empty when unknown) and whether its parent list, if any, is a list (removing the
// parent names then cannot fail). Packed: the tables hold one per cell of each version.
class Located {
 public:
  Located() = default;
  Located(Value* cell, const CellPlace& place, std::string_view text, bool parents_ok)
      : cell(cell),
        document_(place.document.data()),
        document_size_(static_cast<std::uint32_t>(place.document.size())),
        index_(static_cast<std::uint32_t>(place.index)),
        parents_ok(parents_ok) {
    // A text too long for the packed size counts as unknown (the cell is then compared).
    if (text.size() <= std::numeric_limits<std::uint32_t>::max()) {
      text_ = text.data();
      text_size_ = static_cast<std::uint32_t>(text.size());
    }
  }

  CellPlace place() const { return {std::string_view(document_, document_size_), index_}; }
  std::string_view text() const { return {text_, text_size_}; }

  Value* cell = nullptr;

 private:
  const char* document_ = nullptr;  // the name of the notebook, which outlives the tables
  const char* text_ = nullptr;
  std::uint32_t document_size_ = 0;
  std::uint32_t text_size_ = 0;
  std::uint32_t index_ = 0;  // the table's handles are 32 bits as well

 public:
  bool parents_ok = false;  // last, where it takes no room of its own
};
static_assert(sizeof(Located) <= 40);
using CellTable = qor::detail::OrderedMap<Located>;
// Names of cells as read, by table entry: none where reading the name fails (name() then
// throws the error when the merge asks for it).
using KnownNames = std::vector<std::optional<std::string>>;

// An entry of the merged table: a cell of the current document, or a copy of an incoming cell
// owned by the merge, with the side it counts as.
struct Merged {
  Located at;
  Side side = Side::kCurrent;
};
using MergedTable = qor::detail::OrderedMap<Merged>;
using Handle = MergedTable::Handle;

MergeCell view_of(const Located& at, Side side) { return MergeCell(at.cell, side, at.place()); }

// Whether a notebook gives its cells a top-level "id": format 4.5 or later.
bool declares_cell_ids(const Value& doc) {
  const Value* major = doc.find("nbformat");
  const Value* minor = doc.find("nbformat_minor");
  if (major == nullptr || !major->is_int()) return false;
  if (major->as_int() > 4) return true;
  return major->as_int() == 4 && minor != nullptr && minor->is_int() && minor->as_int() >= 5;
}

// For a cell still held as text whose component id is a string: the id and whether its
// parent list is a list or absent, found in its text (most cells of the base and incoming
// versions are never read into members). False leaves the cell to the checked reads.
bool found_unread(const Value& cell, std::string& id, bool& parents_ok) {
  if (!cell.is_raw()) return false;
  const std::optional<Value> found = json::find_path(cell, {"metadata", "canvas", "id"});
  if (!found || !found->is_string()) return false;
  id = found->as_string();
  const std::optional<Value> parents = json::find_path(cell, {"metadata", "canvas", "parents"});
  parents_ok = !parents || parents->is_array();
  return true;
}

// name() of the cell whose canvas is `canvas`, where reading it cannot fail.
std::optional<std::string> name_as_read(const Value& canvas) {
  const Value* name = canvas.find("name");
  if (name == nullptr || name->is_null()) return std::string();
  if (!name->is_string()) return std::nullopt;
  return std::string(name->as_string());
}

// The table of a document's cells; with `names`, also their names as read, by entry. The
// component id, read first, makes sure that the canvas is there and is an object.
CellTable cell_table(const Notebook& doc, std::span<const std::string_view> texts,
                     KnownNames* names) {
  CellTable table;
  Value* cells = doc.cells();
  const std::size_t n = cells->as_array().size();
  table.reserve(n);
  if (texts.size() != n) texts = {};
  for (std::size_t i = 0; i < n; ++i) {
    const notebook::Cell cell = doc.cell(cells, i);
    std::string id;
    bool parents_ok;
    if (!found_unread(*cell.data(), id, parents_ok)) {
      id = cell.component_id(kNeedsId);
      const Value* parents = cell.find_canvas()->find("parents");
      parents_ok = parents == nullptr || parents->is_array();
    }
    const CellTable::Handle h =
        table.assign(id, Located{cell.data(), *cell.place(),
                                 texts.empty() ? std::string_view() : texts[i], parents_ok});
    if (names == nullptr) continue;
    if (names->size() <= h) names->resize(std::size_t{h} + 1);
    (*names)[h] = name_as_read(*cell.find_canvas());
  }
  return table;
}

// A cell table built in the thread that read its document, while the other versions are still
// being read: the table (with the names of its cells as read, when asked for), or the error
// building it threw, which taking it throws (the merge takes the tables in the order in which
// it would build them). The notebook view whose name the table's places refer to stays with
// it, at a fixed address.
struct EarlyTable {
  EarlyTable(Value* doc_value, const std::string& name, std::span<const std::string_view> texts,
             bool with_names = false)
      : doc(doc_value, name) {
    try {
      table = cell_table(doc, texts, with_names ? &names : nullptr);
    } catch (...) {
      error = std::current_exception();
    }
  }
  EarlyTable(const EarlyTable&) = delete;
  EarlyTable& operator=(const EarlyTable&) = delete;

  CellTable take(KnownNames* names_as_read = nullptr) {
    if (error) std::rethrow_exception(error);
    if (names_as_read != nullptr) *names_as_read = std::move(names);
    return std::move(table);
  }

  const Notebook doc;
  CellTable table;
  KnownNames names;
  std::exception_ptr error;
};

// The name-to-entry map that decides name collisions, as it would be rebuilt from the merged
// table at any moment: name -> the last merged entry (in table order) bearing it; unnamed
// entries left out. Updated entry by entry.
class NameIndex {
 public:
  explicit NameIndex(MergedTable& table) : table_(table) {}

  // Indexes every entry; `known` holds, by entry, names known not to have changed since they
  // were read (they are taken over instead of being read again).
  void rebuild(KnownNames& known) {
    by_name_ = ByName();
    by_name_.reserve(known.size());
    name_of_.clear();
    updated_.clear();
    for (Handle h = table_.first(); h != MergedTable::kNone; h = table_.next(h)) {
      if (h < known.size() && known[h]) {
        index(h, *known[h]);
      } else {
        update(h);
      }
    }
  }

  // Re-reads the name of entry `h` (present in the table).
  void update(Handle h) {
    if (updated_.size() <= h) updated_.resize(std::size_t{h} + 1);
    updated_[h] = 1;
    if (frozen_) {
      pending_.push_back(h);
      return;
    }
    forget(h);
    const Merged& m = table_.at(h).value;
    index(h, view_of(m.at, m.side).name());
  }

  // Drops entry `h` (before it leaves the table). Not while frozen.
  void forget(Handle h) {
    if (h >= name_of_.size() || name_of_[h] == ByName::kNone) return;
    const ByName::Handle e = name_of_[h];
    Bearers& bearers = by_name_.at(e).value;
    bearers.erase(std::find(bearers.begin(), bearers.end(), Bearer{table_.at(h).order, h}));
    if (bearers.empty()) by_name_.erase(e);
    name_of_[h] = ByName::kNone;
  }

  Handle lookup(const std::string& name) const {
    const ByName::Handle e = by_name_.find(name);
    return e == ByName::kNone ? MergedTable::kNone : by_name_.at(e).value.back().second;
  }

  // Whether update(h) was called since the index was built: whether the entry's name may have
  // changed since.
  bool updated(Handle h) const { return h < updated_.size() && updated_[h] != 0; }

  // While frozen, lookups answer as at freeze() and updates wait for thaw(), which applies them.
  void freeze() { frozen_ = true; }
  void thaw() {
    frozen_ = false;
    for (Handle h : pending_) update(h);
    pending_.clear();
  }

 private:
  using Bearer = std::pair<std::uint64_t, Handle>;  // table order, entry
  using Bearers = std::vector<Bearer>;              // ascending
  using ByName = qor::detail::OrderedMap<Bearers>;

  // Indexes entry `h`, not indexed now, under `name`.
  void index(Handle h, const std::string& name) {
    if (name.empty()) return;
    ByName::Handle e = by_name_.find(name);
    if (e == ByName::kNone) e = by_name_.assign(name, {});
    Bearers& bearers = by_name_.at(e).value;
    const Bearer bearer{table_.at(h).order, h};
    bearers.insert(std::lower_bound(bearers.begin(), bearers.end(), bearer), bearer);
    if (name_of_.size() <= h) name_of_.resize(std::size_t{h} + 1, ByName::kNone);
    name_of_[h] = e;
  }

  MergedTable& table_;
  ByName by_name_;
  // By entry: where in by_name_ it is indexed (handles there stay valid until erased), or kNone.
  std::vector<ByName::Handle> name_of_;
  std::vector<char> updated_;  // by entry
  bool frozen_ = false;
  std::vector<Handle> pending_;
};

class Merger {
 public:
  // The three tables may come built ahead (the current one with its cells' names as read);
  // otherwise run() builds them.
  Merger(const MergeInput& docs, const std::string& file_path, const MergeOptions& options,
         EarlyTable* current_table = nullptr, EarlyTable* base_table = nullptr,
         EarlyTable* incoming_table = nullptr)
      : early_current_(current_table),
        early_base_(base_table),
        early_incoming_(incoming_table),
        current_doc_(&docs.current, docs.current_name),
        base_doc_(&docs.base, docs.base_name),
        incoming_doc_(&docs.incoming, docs.incoming_name),
        docs_(docs),
        file_path_(file_path),
        options_(options),
        names_(merged_),
        sources_(options.git) {}

  void run() {
    KnownNames current_names;
    build_cell_tables(current_names);
    pairings_ = std::async(std::launch::async, &Merger::pair_cells, this);
    // Nothing changes a current cell before the names are indexed: their names as read hold.
    KnownNames known;
    merged_.reserve(current_cells_.size());
    for (auto c : current_cells_.handles()) {
      const Handle h = merged_.assign(current_cells_.at(c).key,
                                      Merged{current_cells_.at(c).value, Side::kCurrent});
      if (c < current_names.size()) {
        if (known.size() <= h) known.resize(std::size_t{h} + 1);
        known[h] = std::move(current_names[c]);
      }
    }
    take_incoming_changes_of_current_deletions();
    names_.rebuild(known);
    // The names were taken over: their lists go, so that the merge reuses their room.
    KnownNames().swap(known);
    KnownNames().swap(current_names);
    take_incoming_additions();
    try {
      merge_kept_cells();
    } catch (...) {
      sources_.fail(std::current_exception());
    }
    sources_.finish();
    reduce_parents();
    json::Array parameters = merge_parameters(docs_);
    note_notebook_keys();
    write_result(std::move(parameters));
  }

  // What the merge decided that no conflict mark shows (MergeResult::notes), in the order the
  // merge met it.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  // The three cell tables, built side by side (each takes a few milliseconds per thousand
  // cells); an error is the one of the first table in the order current, base, incoming, as
  // building them in turn would give.
  void build_cell_tables(KnownNames& current_names) {
    if (early_current_ != nullptr && early_base_ != nullptr && early_incoming_ != nullptr) {
      current_cells_ = early_current_->take(&current_names);
      base_cells_ = early_base_->take();
      incoming_cells_ = early_incoming_->take();
      return;
    }
    auto base =
        std::async(std::launch::async, cell_table, std::cref(base_doc_), docs_.base_texts, nullptr);
    auto incoming = std::async(std::launch::async, cell_table, std::cref(incoming_doc_),
                               docs_.incoming_texts, nullptr);
    try {
      current_cells_ = cell_table(current_doc_, docs_.current_texts, &current_names);
      interrupt::wait_polling(base);
      interrupt::wait_polling(incoming);
    } catch (...) {
      base.wait();
      incoming.wait();
      throw;
    }
    base_cells_ = base.get();
    incoming_cells_ = incoming.get();
  }

  MergeCell view(Handle h) const {
    const Merged& m = merged_.at(h).value;
    return view_of(m.at, m.side);
  }

  // The cell difference from the base cell to a side's cell, without "outputs".
  static Delta change(const MergeCell& older, const MergeCell& newer) {
    return cell_changed_leaving_outputs(older, newer);
  }
  // Whether change() would be non-empty, told without building the difference where nothing
  // wants it (see cell_changed_beyond_outputs).
  static bool changed(const MergeCell& older, const MergeCell& newer, bool with_outputs = false) {
    return cell_changed_beyond_outputs(older, newer, with_outputs);
  }
  // changed() of a side's cell that may be known to be unchanged without looking into either
  // cell (see same_as_read); then neither has its parent names removed.
  static bool changed(const Located& base, const Located& side_cell, Side side,
                      bool with_outputs = false) {
    if (same_as_read(base, side_cell)) return !unchanged().empty();
    return changed(view_of(base, Side::kBase), view_of(side_cell, side), with_outputs);
  }

  // Whether a side's cell, when it still holds what was read (base and incoming cells always
  // do, but for parent names removed), equals its base cell because both were read from equal
  // texts. Comparing them would have removed their parent names, which cannot fail then.
  static bool same_as_read(const Located& base, const Located& side_cell) {
    return !base.text().empty() && base.text() == side_cell.text() && side_cell.parents_ok;
  }
  // The difference of cells known to be equal, logged as any other.
  static Delta unchanged() {
    Delta none;
    log::debug_lazy([&] { return structdiff::repr(none); });
    return none;
  }

  // A copy of an incoming cell, owned by the merge (the merged notebook is written from it).
  Located copy_of(const Located& incoming) {
    copies_.push_back(*incoming.cell);
    return Located{&copies_.back(), incoming.place(), {}, false};
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
      const CellTable::Handle i = incoming_cells_.find(id);
      if (i == CellTable::kNone) continue;
      const Located& incoming = incoming_cells_.at(i).value;
      if (!changed(base_cells_.at(b).value, incoming, Side::kIncoming, true)) continue;
      const Handle h = merged_.assign(id, Merged{copy_of(incoming), Side::kIncoming});
      view(h).add_conflict_mark();
      note_unmarked(h, id, "deleted here, changed on the incoming side");
    }
  }

  // A cell kept against a deletion shows it by the mark on its name; one without a name cannot,
  // so it is noted for the caller to name.
  void note_unmarked(Handle h, const std::string& id, const char* what) {
    if (!view(h).name().empty()) return;
    const Value* type = view(h).data()->find("cell_type");
    notes_.push_back(component_text(id) + " (" +
                     (type && type->is_string() ? std::string(type->as_string()) + " cell"
                                                : std::string("cell")) +
                     "): " + what);
  }

  // Cells added by the incoming side go to the end; a name taken by a merged cell (as it was
  // before the additions) marks both. A component id that both sides added is resolved like a
  // cell changed on both sides whose names differ.
  void take_incoming_additions() {
    names_.freeze();
    for (auto i : incoming_cells_.handles()) {
      const std::string& id = incoming_cells_.at(i).key;
      if (base_cells_.contains(id)) continue;
      const Located& incoming = incoming_cells_.at(i).value;
      const CellTable::Handle c = current_cells_.find(id);
      if (c != CellTable::kNone) {
        const MergeCell current_cell = view_of(current_cells_.at(c).value, Side::kCurrent);
        const MergeCell incoming_cell = view_of(incoming, Side::kIncoming);
        if (changed(current_cell, incoming_cell)) {
          const Handle h = merged_.find(id);
          add_conflict_copy(id, h, !view(h).name().empty() && !incoming_cell.name().empty());
        }
        continue;
      }
      const Handle h = merged_.assign(id, Merged{copy_of(incoming), Side::kIncoming});
      names_.update(h);
      const std::string name = view(h).name();
      const Handle taken = name.empty() ? MergedTable::kNone : names_.lookup(name);
      if (taken != MergedTable::kNone) {
        view(taken).add_conflict_mark();
        view(h).add_conflict_mark();
        names_.update(taken);
      }
    }
    names_.thaw();
  }

  // What the kept cells' turns need to know from the tables and the texts read alone, by
  // current table entry: the base and incoming cells of the same component id, and which of
  // the current and incoming cells are known to equal the base cell (same_as_read). Found in a
  // helper thread while the merge takes the deletions and additions; it only reads the tables,
  // which nothing changes once built.
  struct Pairing {
    CellTable::Handle base = CellTable::kNone;
    CellTable::Handle incoming = CellTable::kNone;
    bool current_as_read = false;
    bool incoming_as_read = false;
  };

  std::vector<Pairing> pair_cells() const {
    std::vector<Pairing> out;
    for (auto c = current_cells_.first(); c != CellTable::kNone; c = current_cells_.next(c)) {
      if (out.size() <= c) out.resize(std::size_t{c} + 1);
      const auto& entry = current_cells_.at(c);
      Pairing& p = out[c];
      p.base = base_cells_.find(entry.key);
      if (p.base == CellTable::kNone) continue;
      const Located& base = base_cells_.at(p.base).value;
      p.current_as_read = same_as_read(base, entry.value);
      p.incoming = incoming_cells_.find(entry.key);
      if (p.incoming != CellTable::kNone) {
        p.incoming_as_read = same_as_read(base, incoming_cells_.at(p.incoming).value);
      }
    }
    return out;
  }

  void merge_kept_cells() {
    interrupt::wait_polling(pairings_);
    const std::vector<Pairing> pairings = pairings_.get();
    for (auto c : current_cells_.handles()) {
      const std::string& id = current_cells_.at(c).key;
      const Pairing& pairing = pairings[c];
      const CellTable::Handle b = pairing.base;
      if (b == CellTable::kNone) continue;
      const Located& base = base_cells_.at(b).value;
      const CellTable::Handle i = pairing.incoming;
      const Handle h = merged_.find(id);
      const Located& current = current_cells_.at(c).value;
      const auto incoming_change = [&] {
        return pairing.incoming_as_read
                   ? unchanged()
                   : change(view_of(base, Side::kBase),
                            view_of(incoming_cells_.at(i).value, Side::kIncoming));
      };
      if (i != CellTable::kNone && pairing.incoming_as_read && current.parents_ok &&
          !log::debug_enabled()) {
        // The incoming cell is its base cell as read: the current cell stays as it is, changed
        // or not (its difference from the base cell is only logged). Its parent names go when
        // the parent lists are reduced, which cannot fail (nor could the comparison).
        if (unstripped_.size() <= h) unstripped_.resize(std::size_t{h} + 1);
        unstripped_[h] = 1;
        continue;
      }
      // Until its turn, a current cell changes only by its name (marked, or given back when the
      // incoming side deleted its namesake), and every such change is told to the name index.
      bool current_changed;
      if (!names_.updated(h) && pairing.current_as_read) {
        // Its parent names, which the comparison would have removed, go when the parent lists
        // are reduced (nothing reads them until then).
        if (unstripped_.size() <= h) unstripped_.resize(std::size_t{h} + 1);
        unstripped_[h] = 1;
        unchanged();
        current_changed = false;
      } else {
        current_changed = changed(view_of(base, Side::kBase), view_of(current, Side::kCurrent));
      }
      if (current_changed) {
        if (i == CellTable::kNone) {
          if (!view(h).name().empty()) mark(h);
          note_unmarked(h, id, "changed here, deleted on the incoming side");
          continue;
        }
        const Delta d = incoming_change();
        if (!d.empty()) resolve_both_changed(id, h, d);
        continue;
      }
      if (i == CellTable::kNone) {
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
      const bool incoming_changed =
          pairing.incoming_as_read ? !unchanged().empty()
                                   : changed(view_of(base, Side::kBase),
                                             view_of(incoming_cells_.at(i).value, Side::kIncoming));
      if (!incoming_changed) continue;
      const Located& incoming = incoming_cells_.at(i).value;
      const std::string incoming_name = view_of(incoming, Side::kIncoming).name();
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
    const std::string incoming_name = incoming_view(id).name();
    const bool has_source = d.find("source") != nullptr;
    CanvasChange canvas = canvas_change(d);
    if (canvas.present) {
      if (canvas.keys == std::set<std::string>{"headerColor"}) {
        note_untaken(id, d, {"the header colour"});
        if (has_source) merge_source_of(id, h);
        return;
      }
      if (std::includes(std::begin(kCommentKeys), std::end(kCommentKeys), canvas.keys.begin(),
                        canvas.keys.end())) {
        take_new_comments(id, h, canvas);
        note_untaken(id, d,
                     canvas.keys.contains("headerColor")
                         ? std::vector<std::string>{"the header colour"}
                         : std::vector<std::string>{});
        if (has_source) merge_source_of(id, h);
        return;
      }
      if (current_name.empty() && incoming_name.empty()) {
        std::vector<std::string> keys;
        for (const std::string& key : canvas.keys) {
          const bool marker = key == structdiff::kDeleteMarker || key == structdiff::kReplaceMarker;
          keys.push_back(marker ? "metadata.canvas" : "metadata.canvas." + key);
        }
        note_untaken(id, d, keys);
        merge_source_of(id, h);
        return;
      }
      add_conflict_copy(id, h, !current_name.empty() && !incoming_name.empty());
      if (current_name.empty() || incoming_name.empty()) note_unmarked_copy(id);
      return;
    }
    if (current_name.empty() != incoming_name.empty()) {
      add_conflict_copy(id, h, false);
      note_unmarked_copy(id);
    } else {
      note_untaken(id, d, {});
      merge_source_of(id, h);
    }
  }

  // A cell changed on both sides keeps the current side's cell with at most its source, comments
  // and name changed: the rest of the incoming change (`also`, and any key besides the source
  // and the canvas metadata) is not taken, which is noted.
  void note_untaken(const std::string& id, const Delta& d, std::vector<std::string> also) {
    if (d.kind() == Delta::Kind::kObject) {
      const auto& top = d.object_part();
      const auto add = [&](const std::string& prefix, const Delta::ObjectPart& part,
                           std::initializer_list<std::string_view> merged) {
        const auto taken = [&](const std::string& key) {
          return std::find(merged.begin(), merged.end(), key) != merged.end();
        };
        for (const auto& entry : part.entries) {
          if (!taken(entry.first)) also.push_back(prefix + entry.first);
        }
        for (const std::string& key : part.deleted) {
          if (!taken(key)) also.push_back(prefix + key);
        }
      };
      add("", top, {"source", "metadata"});
      if (const Delta* metadata = d.find("metadata"); metadata != nullptr) {
        if (metadata->kind() == Delta::Kind::kObject) {
          add("metadata.", metadata->object_part(), {"canvas"});
        } else {
          also.push_back("its metadata");
        }
      }
    }
    if (also.empty()) return;
    std::string what;
    for (const std::string& key : also) what += (what.empty() ? "" : ", ") + key;
    notes_.push_back(component_text(id) + ": changed on both sides; the incoming change of " +
                     what + " is not taken");
  }

  // A conflict copy without marks (only one side named the cell): the same component twice.
  void note_unmarked_copy(const std::string& id) {
    notes_.push_back(component_text(id) +
                     ": changed on both sides, named on one only: the incoming version is kept "
                     "beside it as a copy without conflict marks");
  }

  // "component 'train'", or with the component id for a cell without a name.
  std::string component_text(const std::string& id) const {
    const std::string name = view(merged_.find(id)).name();
    return "component " + py_quote(name.empty() ? id : name);
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

  MergeCell incoming_view(const std::string& id) const {
    return view_of(incoming_cells_.at(incoming_cells_.find(id)).value, Side::kIncoming);
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
        const Value* list = incoming_view(id).comments();
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
    note_comments_kept(id);
  }

  // Only new comments are taken: a comment of the base cell that the incoming side removed or
  // reworded stays, which is noted.
  void note_comments_kept(const std::string& id) {
    const Value* base = view_of(base_cells_.at(base_cells_.find(id)).value, Side::kBase).comments();
    const Value* incoming = incoming_view(id).comments();
    if (base == nullptr || !base->is_array() || base->as_array().empty()) return;
    std::unordered_set<std::string> kept;
    if (incoming != nullptr && incoming->is_array()) {
      for (const Value& item : incoming->as_array()) kept.insert(json::write(item));
    }
    for (const Value& item : base->as_array()) {
      if (kept.contains(json::write(item))) continue;
      notes_.push_back(component_text(id) +
                       ": changed on both sides; comments the incoming side removed or reworded "
                       "stay (its new comments are added)");
      return;
    }
  }

  // Nothing after this reads the merged cell's source, so the merge may finish later (the
  // queue sets it before the cells are reduced and written).
  void merge_source_of(const std::string& id, Handle h) {
    const MergeCell current =
        view_of(current_cells_.at(current_cells_.find(id)).value, Side::kCurrent);
    const MergeCell base = view_of(base_cells_.at(base_cells_.find(id)).value, Side::kBase);
    const MergeCell incoming = incoming_view(id);
    sources_.add(current.source_lines(), base.source_lines(), incoming.source_lines(),
                 file_path_ + "-current", file_path_ + "-incoming",
                 {current.where(), base.where(), incoming.where()},
                 [this, h](std::vector<std::string> lines) {
                   json::Array source;
                   source.reserve(lines.size());
                   for (const std::string& line : lines) source.emplace_back(line);
                   view(h).set_source(Value(std::move(source)));
                 });
  }

  // Places a copy of the incoming cell, with fresh ids, right after entry `h`. The copy gets a
  // new top-level "id" only where the notebook uses cell ids: a notebook of an older format may
  // not carry one.
  void add_conflict_copy(const std::string& id, Handle h, bool mark_both) {
    const Located copy = copy_of(incoming_cells_.at(incoming_cells_.find(id)).value);
    MergeCell cell = view_of(copy, Side::kIncoming);
    const std::string component_id = new_id();
    cell.set_component_id(component_id);
    if (cell.find_cell_id() != nullptr || declares_cell_ids(docs_.current)) {
      cell.set_cell_id(new_id());
    }
    if (mark_both) {
      view(h).add_conflict_mark();
      cell.add_conflict_mark();
    }
    const Handle copy_handle = merged_.insert_after(h, component_id, Merged{copy, Side::kIncoming});
    names_.update(h);
    names_.update(copy_handle);
  }

  std::string new_id() const { return options_.new_id ? options_.new_id() : platform::uuid4(); }

  // Parent records of named cells keep only "id", and only when it names a named merged cell.
  // A list already in that form is left as it is. Removes the parent names left to remove.
  void reduce_parents() {
    std::vector<Handle> named;
    std::vector<char> is_named;  // by entry
    const auto unstripped = [&](Handle h) { return h < unstripped_.size() && unstripped_[h]; };
    for (Handle h = merged_.first(); h != MergedTable::kNone; h = merged_.next(h)) {
      if (view(h).name().empty()) {
        if (unstripped(h)) strip_parent_names(view(h));
        continue;
      }
      named.push_back(h);
      if (is_named.size() <= h) is_named.resize(std::size_t{h} + 1);
      is_named[h] = 1;
    }
    const auto names_named_cell = [&](const Value& parent_id) {
      if (!parent_id.is_string()) return false;
      const Handle h = merged_.find(parent_id.as_string());
      return h != MergedTable::kNone && h < is_named.size() && is_named[h] != 0;
    };
    for (Handle h : named) {
      MergeCell cell = view(h);
      if (unstripped(h)) strip_parent_names(cell);
      Value* parents = cell.parents();
      if (parents != nullptr) {
        json::Array& records = parents->as_array();
        bool reduced = true;
        for (std::size_t i = 0; i < records.size(); ++i) {
          reduced = names_named_cell(*cell.parent_id(&records[i], i)) &&
                    records[i].as_object().size() == 1 && reduced;
        }
        if (reduced) continue;
      }
      json::Array kept;
      if (parents != nullptr) {
        json::Array& records = parents->as_array();
        for (std::size_t i = 0; i < records.size(); ++i) {
          const Value& parent_id = *cell.parent_id(&records[i], i);
          if (names_named_cell(parent_id)) {
            json::Object record;
            record.set("id", parent_id);
            kept.emplace_back(std::move(record));
          } else {
            note_lost_parent(cell, parent_id);
          }
        }
      }
      cell.set_parents(Value(std::move(kept)));
    }
  }

  // The notebook's own keys (but its cells, format and canvas parameters, which the merge
  // merges) keep the current version's values: an incoming change of one is noted.
  void note_notebook_keys() {
    const auto level = [](const Value* doc, std::initializer_list<std::string_view> path) {
      for (std::string_view key : path) doc = doc != nullptr ? doc->find(key) : nullptr;
      return doc != nullptr && doc->is_object() ? doc : nullptr;
    };
    const struct {
      std::initializer_list<std::string_view> path;
      const char* prefix;
      std::initializer_list<std::string_view> merged;
    } levels[] = {{{}, "", {"cells", "metadata", "nbformat", "nbformat_minor"}},
                  {{"metadata"}, "metadata.", {"canvas"}},
                  {{"metadata", "canvas"}, "metadata.canvas.", {"parameters"}}};
    for (const auto& l : levels) {
      const Value* base = level(&docs_.base, l.path);
      const Value* incoming = level(&docs_.incoming, l.path);
      const Value* current = level(&docs_.current, l.path);
      const auto at = [](const Value* object, std::string_view key) {
        return object != nullptr ? object->find(key) : nullptr;
      };
      const auto same = [](const Value* a, const Value* b) {
        return a == nullptr ? b == nullptr : b != nullptr && *a == *b;
      };
      std::vector<std::string> keys;
      std::unordered_set<std::string> seen;
      for (const Value* object : {incoming, base}) {
        if (object == nullptr) continue;
        for (const auto& m : object->as_object()) {
          std::string key(m.name());
          const bool merged = std::find(l.merged.begin(), l.merged.end(), key) != l.merged.end();
          if (!merged && seen.insert(key).second) keys.push_back(std::move(key));
        }
      }
      for (const std::string& key : keys) {
        const Value* theirs = at(incoming, key);
        if (same(theirs, at(base, key)) || same(theirs, at(current, key))) continue;
        notes_.push_back(std::string("the incoming side ") +
                         (theirs != nullptr ? "changed" : "removed") + " the notebook's " +
                         l.prefix + key + "; the current version's is kept");
      }
    }
  }

  // A parent record dropped because the merge removed the component it names (one the current
  // version holds, which the incoming side deleted): the pipeline lost an edge that no mark shows.
  void note_lost_parent(const MergeCell& child, const Value& parent_id) {
    if (!parent_id.is_string()) return;
    const std::string_view id = parent_id.as_string();
    const CellTable::Handle c = current_cells_.find(id);
    if (c == CellTable::kNone || merged_.find(std::string(id)) != MergedTable::kNone) return;
    const std::string parent = view_of(current_cells_.at(c).value, Side::kCurrent).name();
    notes_.push_back("component " + py_quote(child.name()) + " lost its parent " +
                     py_quote(parent.empty() ? std::string(id) : parent) +
                     ", which the incoming side deleted");
  }

  void write_result(json::Array parameters) {
    json::Array cells;
    cells.reserve(merged_.size());
    for (Handle h = merged_.first(); h != MergedTable::kNone; h = merged_.next(h)) {
      cells.push_back(std::move(*merged_.at(h).value.at.cell));
    }
    // Both lists were read (and checked) through the notebook view before: they are there.
    *current_doc_.cells() = Value(std::move(cells));
    *current_doc_.parameters() = Value(std::move(parameters));
    settle_format();
  }

  // When the two sides declare different notebook formats (one side upgraded the notebook),
  // the merged notebook declares the later one; from format 4.5 on, every cell then carries a
  // cell id, and cells that come from the older side get one, unique within the notebook, of
  // the form Jupyter gives (eight hexadecimal digits). Nothing changes when both sides declare
  // the same format.
  void settle_format() {
    const auto current = declared_format(docs_.current);
    const auto incoming = declared_format(docs_.incoming);
    if (!current || !incoming || *current == *incoming) return;
    json::Object& doc = docs_.current.as_object();
    if (*incoming > *current) {
      doc.set("nbformat", *docs_.incoming.find("nbformat"));
      doc.set("nbformat_minor", *docs_.incoming.find("nbformat_minor"));
    }
    if (!declares_cell_ids(docs_.current)) return;
    json::Array& cells = doc.at("cells").as_array();
    std::set<std::string, std::less<>> taken;
    for (const Value& cell : cells) {
      const Value* id = cell.find("id");
      if (id != nullptr && id->is_string()) taken.emplace(id->as_string());
    }
    for (Value& cell : cells) {
      if (cell.find("id") != nullptr) continue;
      std::string id;
      while (id.empty() || taken.contains(id)) id = short_cell_id();
      taken.insert(id);
      cell.as_object().set("id", Value(id));
    }
  }

  // The notebook format a document declares ("nbformat", "nbformat_minor"), when it declares
  // one as two integers.
  static std::optional<std::pair<long long, long long>> declared_format(const Value& doc) {
    const Value* major = doc.find("nbformat");
    const Value* minor = doc.find("nbformat_minor");
    if (major == nullptr || minor == nullptr || !major->is_int() || !minor->is_int()) {
      return std::nullopt;
    }
    return std::pair{major->as_int(), minor->as_int()};
  }

  // Eight hexadecimal digits of a new id.
  std::string short_cell_id() const {
    std::string digits;
    while (digits.size() < 8) {
      const std::size_t before = digits.size();
      for (const char c : new_id()) {
        if (std::isxdigit(static_cast<unsigned char>(c)) && digits.size() < 8) {
          digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
      }
      if (digits.size() == before) digits += platform::uuid4().substr(0, 8 - before);
    }
    return digits;
  }

  EarlyTable* const early_current_;
  EarlyTable* const early_base_;
  EarlyTable* const early_incoming_;
  const Notebook current_doc_, base_doc_, incoming_doc_;
  const MergeInput& docs_;
  const std::string& file_path_;
  const MergeOptions& options_;
  CellTable current_cells_, base_cells_, incoming_cells_;
  MergedTable merged_;
  std::deque<Value> copies_;  // incoming copies; a deque keeps their addresses
  std::vector<std::string> notes_;
  // By entry: an unchanged current cell whose parent names are still to be removed (the entry
  // may hold an incoming copy since, whose names are removed already).
  std::vector<char> unstripped_;
  NameIndex names_;
  detail::SourceQueue sources_;
  std::future<std::vector<Pairing>> pairings_;  // waited for before the tables go
};

}  // namespace

void merge_documents(const MergeInput& docs, const std::string& file_path,
                     const MergeOptions& options) {
  Merger(docs, file_path, options).run();
}

namespace {

// A version the notebook merge cannot take, met before anything was written, when the caller
// asked for the text merge then: why, as a sentence naming the notebook.
struct NotMergeable {
  std::string reason;
};

// Whether `e` is about what a version holds (a key, a kind, a value, the merge's own
// consistency), rather than about reading files or running git.
bool about_content(const Error& e) {
  return dynamic_cast<const KeyError*>(&e) != nullptr ||
         dynamic_cast<const TypeError*>(&e) != nullptr ||
         dynamic_cast<const ValueError*>(&e) != nullptr ||
         dynamic_cast<const AssertionError*>(&e) != nullptr;
}

// "analysis/old.ipynb: cell 3 has no component id", "... cell 3 of the incoming version has no
// component id", "...: the base version has no cell list": the current version is the notebook
// the user has, the others are named.
std::string problem_sentence(const std::string& notebook, std::string_view version,
                             const notebook::PipelineProblem& problem) {
  const bool current = version == kCurrentName;
  std::string subject;
  if (problem.cell) {
    subject = "cell " + std::to_string(*problem.cell);
    if (!current) subject += " of the " + std::string(version) + " version";
  } else {
    subject = current ? "the notebook" : "the " + std::string(version) + " version";
  }
  return notebook + ": " + subject + " " + problem.what;
}

// With the text fallback, an error about what a version holds, met before anything is written,
// makes the file merge as text: `work` then throws NotMergeable.
template <class Work>
void guarded(bool fallback, const Work& work) {
  try {
    work();
  } catch (const Error& e) {
    if (!fallback || !about_content(e)) throw;
    throw NotMergeable{e.what()};
  }
}

// A version as read: its document and the texts of its cells.
struct Read {
  std::unique_ptr<Value> doc;
  notebook::CellTexts cells;
  // Its cell table, built in the thread that read it; for the base and incoming versions, with
  // the text fallback, what keeps them from being pipeline notebooks, found there too.
  std::unique_ptr<EarlyTable> table;
  std::optional<notebook::PipelineProblem> problem;
};

// The three files of a merge, their names in messages, and the pinned current file.
struct Versions {
  std::string base_path, current_path, incoming_path;
  std::string notebook;  // the notebook's name in messages
  std::string base_name, current_name, incoming_name;
  Read base, current, incoming;
  std::optional<platform::ReplaceTarget> target;
};

// Reads the three files side by side, pinning the current file before it is read (the file
// replaced is the file read). When several cannot be read, the error is the one of the first in
// the order current, base, incoming, as reading them in turn would give. The helper threads stop
// when this one does. They start reading once both exist: a thread that starts working at once
// can hold the processor of the thread that starts it for a whole time slice, while the other
// processor stays idle. With `fallback`, an empty version (git hands one for the base of a file
// both sides added) is NotMergeable.
void read_versions(Versions& v, bool fallback) {
  std::atomic<bool> stopped{false};
  std::latch started(1);
  const auto read = [&](const std::string& path, const std::string& name,
                        std::string_view version) {
    started.wait();
    const interrupt::StopWhen stop(&stopped);
    Read r;
    // These versions are only read (git hands them in temporary files of its own).
    platform::FileBuffer bytes = notebook::read_file_bytes(path, name);
    if (fallback && bytes.view().empty()) {
      throw NotMergeable{v.notebook + ": the " + std::string(version) + " version is empty"};
    }
    // The merge writes the current version's cells; of the others, mostly the component ids
    // and the texts of the cells count.
    r.doc = std::make_unique<Value>(
        notebook::parse_notebook(std::move(bytes), name, &r.cells, notebook::CellReading::kNone));
    if (fallback) r.problem = notebook::pipeline_problem(*r.doc);
    r.table = std::make_unique<EarlyTable>(r.doc.get(), name, r.cells.texts);
    return r;
  };
  std::future<Read> base_read, incoming_read;
  try {
    base_read = std::async(std::launch::async, read, v.base_path, v.base_name, kBaseName);
    incoming_read =
        std::async(std::launch::async, read, v.incoming_path, v.incoming_name, kIncomingName);
  } catch (...) {
    started.count_down();
    throw;
  }
  started.count_down();
  try {
    notebook::naming_io_errors(v.current_name, v.current_path,
                               [&] { v.target.emplace(v.current_path); });
    platform::FileBuffer bytes = notebook::naming_io_errors(v.current_name, v.current_path, [&] {
      return v.target->read_unchanging(notebook::lost_file_message(v.current_name, v.current_path));
    });
    if (fallback && bytes.view().empty()) {
      throw NotMergeable{v.notebook + ": the current version is empty"};
    }
    v.current.doc = std::make_unique<Value>(
        notebook::parse_notebook(std::move(bytes), v.current_name, &v.current.cells));
    // While the other versions may still be read.
    v.current.table = std::make_unique<EarlyTable>(v.current.doc.get(), v.current_name,
                                                   v.current.cells.texts, true);
    interrupt::wait_polling(base_read);
    interrupt::wait_polling(incoming_read);
  } catch (...) {
    stopped = true;
    base_read.wait();
    incoming_read.wait();
    throw;
  }
  v.base = base_read.get();
  v.incoming = incoming_read.get();
}

// With `fallback`, throws NotMergeable when a version is not a pipeline notebook.
void check_pipelines(const Versions& v, bool fallback) {
  if (!fallback) return;
  for (const auto& [problem, version] :
       {std::pair{notebook::pipeline_problem(*v.current.doc), kCurrentName},
        std::pair{v.base.problem, kBaseName}, std::pair{v.incoming.problem, kIncomingName}}) {
    if (problem) throw NotMergeable{problem_sentence(v.notebook, version, *problem)};
  }
}

}  // namespace

MergeResult merge_files(const std::string& base_file_path, const std::string& current_file_path,
                        const std::string& incoming_file_path, const std::string& file_path,
                        const MergeOptions& options) {
  const bool fallback = options.fallback == Fallback::kText;
  auto name_of = [&](const std::string& path, std::string_view version) {
    return notebook::version_name(options.notebook_name.empty() ? path : options.notebook_name,
                                  version);
  };
  Versions v;
  v.base_path = base_file_path;
  v.current_path = current_file_path;
  v.incoming_path = incoming_file_path;
  v.notebook = options.notebook_name.empty() ? current_file_path : options.notebook_name;
  v.current_name = name_of(current_file_path, kCurrentName);
  v.base_name = name_of(base_file_path, kBaseName);
  v.incoming_name = name_of(incoming_file_path, kIncomingName);
  const auto as_text = [&](const NotMergeable& n) {
    v.target.reset();
    return merge_text_files(base_file_path, current_file_path, incoming_file_path, file_path,
                            options.text, n.reason);
  };
  try {
    guarded(fallback, [&] {
      read_versions(v, fallback);
      check_pipelines(v, fallback);
    });
  } catch (const NotMergeable& n) {
    return as_text(n);
  }
  const MergeInput input{*v.current.doc,        *v.base.doc,        *v.incoming.doc,
                         v.current_name,        v.base_name,        v.incoming_name,
                         v.current.cells.texts, v.base.cells.texts, v.incoming.cells.texts};
  // The merger lives on while the result is written: the removal of its source merges' files
  // goes on meanwhile.
  Merger merger(input, file_path, options, v.current.table.get(), v.base.table.get(),
                v.incoming.table.get());
  try {
    guarded(fallback, [&] { merger.run(); });
  } catch (const NotMergeable& n) {
    return as_text(n);
  }
  // The conflicts are found while the result is written: both only read the document, neither
  // changes it (not even by reading a value held as text in place).
  notebook::Conflicts conflicts;
  std::exception_ptr scan_error;
  std::future<void> scanned = platform::in_background([&] {
    try {
      conflicts = notebook::find_conflicts(*v.current.doc);
    } catch (...) {
      scan_error = std::current_exception();
    }
  });
  // The file changes only once the scan is done: the document may read the file's own bytes,
  // and a scan that fails leaves the file as it was.
  const auto scan_done = [&] {
    if (scanned.valid()) scanned.wait();
    if (scan_error) std::rethrow_exception(scan_error);
  };
  notebook::naming_io_errors(v.current_name, current_file_path, [&] {
    v.target->replace_with(notebook::notebook_text(*v.current.doc, options.layout), scan_done);
  });
  // Closing the replaced file frees its blocks, which takes a device round trip per extent on a
  // file system that discards them: done in a helper thread, and waited for on the way out.
  const std::future<void> released = platform::in_background([&v] { v.target.reset(); });
  MergeResult result;
  result.conflicts = std::move(conflicts);
  result.notes = merger.notes();
  if (!options.free_documents) {
    static auto* kept = new std::vector<std::unique_ptr<Value>>();
    kept->push_back(std::move(v.current.doc));
    kept->push_back(std::move(v.base.doc));
    kept->push_back(std::move(v.incoming.doc));
  }
  return result;
}

}  // namespace qor::merge
