// The notebook diff: two versions of a notebook document compared into a diff document in which
// every code cell and every canvas parameter carries its diff status and what it was before.
//
// The records (DiffCell, DiffParameter) and the diff itself are templates over a tree type (see
// notebook::ValueTree): the Python module runs them on the caller's own dicts, whose nested
// objects the result then shares (annotations written into a cell's canvas metadata or into a
// parameter show in the inputs too), and qordiff runs them on parsed files.
#ifndef QOR_DIFF_H_
#define QOR_DIFF_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qor/errors.h"
#include "qor/notebook.h"

namespace qor::diff {

// The four diff statuses.
inline constexpr std::string_view kUnchanged = "unchanged";
inline constexpr std::string_view kAdded = "added";
inline constexpr std::string_view kRemoved = "removed";
inline constexpr std::string_view kModified = "modified";

// AssertionError unless `status` is one of the four statuses.
void check_status(std::string_view status);

namespace detail {

// TypeError for a write of a value of the wrong kind, worded as argument checks are.
[[noreturn]] void wrong_argument(const char* name, const char* expected, const char* given);
// TypeError for a stored value of the wrong kind.
[[noreturn]] void wrong_stored(const char* key, const char* expected, const char* given);

// The value of a status write: a string among the four statuses. TypeError for another kind,
// AssertionError for another string; either way nothing is stored.
template <class Tree>
typename Tree::Owned checked_status(typename Tree::Owned value) {
  if (!Tree::is_string(Tree::ref(value)))
    wrong_argument("value", "str", Tree::type_name(Tree::ref(value)));
  check_status(Tree::to_string(Tree::ref(value)));
  return value;
}

// A stored value that must be a string or null.
template <class Tree>
typename Tree::Ref text_or_null(typename Tree::Ref r, const char* key) {
  if (!Tree::is_string(r) && !Tree::is_null(r)) wrong_stored(key, "str", Tree::type_name(r));
  return r;
}

// A stored value that must be a list or null.
template <class Tree>
typename Tree::Ref list_or_null(typename Tree::Ref r, const char* key) {
  if (!Tree::is_array(r) && !Tree::is_null(r)) wrong_stored(key, "list", Tree::type_name(r));
  return r;
}

}  // namespace detail

// A code cell taking part in a diff. Its annotations live in the cell's canvas metadata:
//   status           "diff_status"      one of the four statuses; absent reads as "unchanged"
//   prev_source      "prev_source"      the previous version's source lines
//   removed_parents  "removed_parents"  parent records the cell lost
//   added_parents    "added_parents"    parent records the cell gained
// Absent lists read as a new empty list, which is not stored. Reads accept a stored string
// (list) or null and throw TypeError for anything else; writes take exactly a string (a list).
// Every member throws KeyError when the cell has no "metadata" -> "canvas".
template <class Tree>
class BasicDiffCell : public notebook::BasicCell<Tree> {
 public:
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;

  // A view over `data` (which must be an object).
  explicit BasicDiffCell(Ref data) : notebook::BasicCell<Tree>(data) {}

  // Starts a record: the view, with its status set to "unchanged".
  static BasicDiffCell start(Ref data) {
    BasicDiffCell cell(data);
    cell.set_status(Tree::make_string(kUnchanged));
    return cell;
  }

  Owned status() const { return text_or(get("diff_status"), "diff_status", kUnchanged); }
  // Stores one of the four statuses; AssertionError (nothing stored) for another string.
  void set_status(Owned value) {
    Owned status = detail::checked_status<Tree>(std::move(value));
    Tree::set(this->canvas(), "diff_status", std::move(status));
  }

  Owned prev_source() const { return list_or_new(get("prev_source"), "prev_source"); }
  void set_prev_source(Owned value) { set_list("prev_source", std::move(value)); }
  Owned removed_parents() const { return list_or_new(get("removed_parents"), "removed_parents"); }
  void set_removed_parents(Owned value) { set_list("removed_parents", std::move(value)); }
  Owned added_parents() const { return list_or_new(get("added_parents"), "added_parents"); }
  void set_added_parents(Owned value) { set_list("added_parents", std::move(value)); }

  // The cell's source lines as an array (a source stored as one string is split into lines).
  Owned source_lines() const {
    Ref source = this->source();
    if (Tree::is_array(source)) return Tree::own(source);
    Owned lines = Tree::make_array();
    const std::string text = Tree::to_string(source);
    for (std::string_view line : notebook::split_lines(text)) {
      Tree::append(Tree::ref(lines), Tree::make_string(line));
    }
    return lines;
  }

  // The cell's parents as stored, or a new empty list.
  Owned parents_or_new() const {
    Ref parents = this->parents();
    return parents ? Tree::own(parents) : Tree::make_array();
  }

 private:
  Ref get(const char* key) const { return Tree::find(this->canvas(), key); }

  static Owned text_or(Ref r, const char* key, std::string_view fallback) {
    if (!r) return Tree::make_string(fallback);
    return Tree::own(detail::text_or_null<Tree>(r, key));
  }
  static Owned list_or_new(Ref r, const char* key) {
    if (!r) return Tree::make_array();
    return Tree::own(detail::list_or_null<Tree>(r, key));
  }
  void set_list(const char* key, Owned value) {
    if (!Tree::is_array(Tree::ref(value))) {
      detail::wrong_argument("value", "list", Tree::type_name(Tree::ref(value)));
    }
    Tree::set(this->canvas(), key, std::move(value));
  }
};

// A canvas parameter taking part in a diff, over the parameter object itself:
//   status      "diff_status"  absent reads as "unchanged"
//   name, type, value          required (KeyError); a string or null
//   prev_type   "prev_type"    absent reads as the parameter's type (which is read first)
//   prev_value  "prev_value"   absent reads as the parameter's value (which is read first)
// prev_type and prev_value take a string or null: a value that was null can have changed.
template <class Tree>
class BasicDiffParameter {
 public:
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;

  // A view over `data`; TypeError unless it is an object.
  explicit BasicDiffParameter(Ref data) : data_(data) {
    if (!Tree::is_object(data_)) {
      detail::wrong_argument("data", "dict", Tree::type_name(data_));
    }
  }

  // Starts a record: the view, with its status set to "unchanged".
  static BasicDiffParameter start(Ref data) {
    BasicDiffParameter p(data);
    p.set_status(Tree::make_string(kUnchanged));
    return p;
  }

  Ref data() const { return data_; }

  Owned status() const {
    Ref r = Tree::find(data_, "diff_status");
    return r ? Tree::own(detail::text_or_null<Tree>(r, "diff_status"))
             : Tree::make_string(kUnchanged);
  }
  void set_status(Owned value) {
    Owned status = detail::checked_status<Tree>(std::move(value));
    Tree::set(data_, "diff_status", std::move(status));
  }

  Ref name() const { return required("name"); }
  Ref type() const { return required("type"); }
  Ref value() const { return required("value"); }

  Owned prev_type() const { return fallback("prev_type", type()); }
  void set_prev_type(Owned value) { set_text_or_null("prev_type", std::move(value)); }
  Owned prev_value() const { return fallback("prev_value", value()); }
  void set_prev_value(Owned value) { set_text_or_null("prev_value", std::move(value)); }

 private:
  Ref required(const char* key) const {
    Ref r = Tree::find(data_, key);
    if (!r) throw KeyError(key);
    return detail::text_or_null<Tree>(r, key);
  }
  Owned fallback(const char* key, Ref otherwise) const {
    Ref r = Tree::find(data_, key);
    return Tree::own(r ? detail::text_or_null<Tree>(r, key) : otherwise);
  }
  void set_text_or_null(const char* key, Owned value) {
    Ref v = Tree::ref(value);
    if (!Tree::is_string(v) && !Tree::is_null(v)) {
      detail::wrong_argument("value", "str", Tree::type_name(v));
    }
    Tree::set(data_, key, std::move(value));
  }

  Ref data_;
};

// True when the cell's source lines differ from its previous ones.
template <class Tree>
bool cell_modified(const BasicDiffCell<Tree>& cell) {
  using Owned = typename Tree::Owned;
  Owned now = cell.source_lines();
  Owned before = cell.prev_source();
  auto a = Tree::ref(now);
  auto b = Tree::ref(before);
  if (Tree::is_null(b)) return true;
  const std::size_t n = Tree::size(a);
  if (n != Tree::size(b)) return true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!Tree::equal(Tree::item(a, i), Tree::item(b, i))) return true;
  }
  return false;
}

namespace detail {

// Values by key in the order keys first came, as a dict built by assignment keeps them: a
// later value under a known key takes the place of the earlier one.
template <class V>
class KeyedList {
 public:
  void put(const std::string& key, V value) {
    auto [it, inserted] = index_.emplace(key, entries_.size());
    if (inserted) {
      entries_.emplace_back(key, std::move(value));
    } else {
      entries_[it->second].second = std::move(value);
    }
  }
  const std::vector<std::pair<std::string, V>>& entries() const { return entries_; }
  bool contains(const std::string& key) const { return index_.count(key) != 0; }
  // The value under `key`, or a value-initialised V (a null Ref) when absent.
  V find(const std::string& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? V() : entries_[it->second].second;
  }

 private:
  std::vector<std::pair<std::string, V>> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

// Code cells of a document in order, keyed by component id: a later cell with the same id
// takes the place of the earlier one. A document without "cells" has none.
template <class Tree>
class CellMap : public KeyedList<typename Tree::Ref> {
 public:
  using Ref = typename Tree::Ref;

  explicit CellMap(Ref doc) {
    Ref cells = Tree::find(doc, "cells");
    if (!cells) return;
    if (!Tree::is_array(cells)) {
      throw TypeError(std::string("'cells' must be a list, not ") + Tree::type_name(cells));
    }
    const std::size_t n = Tree::size(cells);
    for (std::size_t i = 0; i < n; ++i) {
      Ref cell = Tree::item(cells, i);
      if (!Tree::is_object(cell)) {
        throw TypeError(std::string("a cell must be a dict, not ") + Tree::type_name(cell));
      }
      Ref type = Tree::find(cell, "cell_type");
      if (!type) throw KeyError("cell_type");
      if (!Tree::is_string(type) || Tree::to_string(type) != "code") continue;
      Ref canvas = notebook::BasicCell<Tree>(cell).canvas();
      Ref id = Tree::find(canvas, "id");
      if (!id) throw KeyError("id");
      this->put(Tree::key(id), cell);
    }
  }
};

// Parent records by id: the record's "id" and "name", in order; a later record with the same
// id wins.
template <class Tree>
struct ParentRecord {
  typename Tree::Ref id;
  typename Tree::Ref name;
};

template <class Tree>
class ParentMap : public KeyedList<ParentRecord<Tree>> {
 public:
  using Ref = typename Tree::Ref;

  explicit ParentMap(Ref parents) {
    const std::size_t n = Tree::size(parents);
    for (std::size_t i = 0; i < n; ++i) {
      Ref record = Tree::item(parents, i);
      if (!Tree::is_object(record)) {
        throw TypeError(std::string("a parent record must be a dict, not ") +
                        Tree::type_name(record));
      }
      Ref id = Tree::find(record, "id");
      if (!id) throw KeyError("id");
      Ref name = Tree::find(record, "name");
      if (!name) throw KeyError("name");
      this->put(Tree::key(id), ParentRecord<Tree>{id, name});
    }
  }
};

// The canvas parameters of a document, by name, as records. A document without "metadata",
// "canvas" or "parameters" has none; a parameter without "name" is left out (the others still
// count).
template <class Tree>
KeyedList<typename Tree::Ref> parameter_list(typename Tree::Ref doc) {
  using Ref = typename Tree::Ref;
  KeyedList<Ref> out;
  Ref metadata = Tree::is_object(doc) ? Tree::find(doc, "metadata") : Ref();
  if (!metadata || !Tree::is_object(metadata)) return out;
  Ref canvas = Tree::find(metadata, "canvas");
  if (!canvas || !Tree::is_object(canvas)) return out;
  Ref parameters = Tree::find(canvas, "parameters");
  if (!parameters) return out;
  if (!Tree::is_array(parameters)) {
    throw TypeError(std::string("'parameters' must be a list, not ") + Tree::type_name(parameters));
  }
  const std::size_t n = Tree::size(parameters);
  for (std::size_t i = 0; i < n; ++i) {
    Ref p = Tree::item(parameters, i);
    if (!Tree::is_object(p)) {
      throw TypeError(std::string("a parameter must be a dict, not ") + Tree::type_name(p));
    }
    Ref name = Tree::find(p, "name");
    if (!name) continue;
    // The key first: starting the record adds a member, which may move the name.
    const std::string key = Tree::key(name);
    BasicDiffParameter<Tree>::start(p);
    out.put(key, p);
  }
  return out;
}

template <class Tree>
typename Tree::Owned parent_record(typename Tree::Ref id, typename Tree::Ref name) {
  typename Tree::Owned record = Tree::make_object();
  Tree::set(Tree::ref(record), "id", Tree::own(id));
  Tree::set(Tree::ref(record), "name", Tree::own(name));
  return record;
}

}  // namespace detail

// Compares `prev` with `current` (both notebook documents) and returns the diff document:
//   {"cells": [removed cells, added cells, kept cells],
//    "metadata": {"canvas": {"parameter": [removed, kept, added parameters]}}}
// Removed entries come in the previous version's order, added and kept ones in the current
// version's. Each result cell is a shallow copy of an input code cell annotated as a DiffCell
// (status, previous source, parents gained and lost); each result parameter is the input's own
// parameter object annotated as a DiffParameter. Throws KeyError or TypeError for missing or
// malformed keys (see the records).
template <class Tree>
typename Tree::Owned diff_documents(typename Tree::Ref prev, typename Tree::Ref current) {
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;
  using Cell = BasicDiffCell<Tree>;
  if (!Tree::is_object(prev)) detail::wrong_argument("prev", "dict", Tree::type_name(prev));
  if (!Tree::is_object(current))
    detail::wrong_argument("current", "dict", Tree::type_name(current));

  const detail::CellMap<Tree> current_cells(current);
  const detail::CellMap<Tree> prev_cells(prev);
  Owned cells = Tree::make_array();

  for (const auto& [key, cell] : prev_cells.entries()) {
    if (current_cells.find(key)) continue;
    Owned data = Tree::shallow_copy(cell);
    Cell diff_cell = Cell::start(Tree::ref(data));
    diff_cell.set_status(Tree::make_string(kRemoved));
    diff_cell.set_prev_source(diff_cell.source_lines());
    diff_cell.set_source(Tree::make_array());
    diff_cell.set_removed_parents(diff_cell.parents_or_new());
    diff_cell.set_parents(Tree::make_array());
    Tree::append(Tree::ref(cells), std::move(data));
  }
  for (const auto& [key, cell] : current_cells.entries()) {
    if (prev_cells.find(key)) continue;
    Owned data = Tree::shallow_copy(cell);
    Cell diff_cell = Cell::start(Tree::ref(data));
    diff_cell.set_status(Tree::make_string(kAdded));
    diff_cell.set_prev_source(Tree::make_array());
    diff_cell.set_added_parents(diff_cell.parents_or_new());
    diff_cell.set_parents(Tree::make_array());
    Tree::append(Tree::ref(cells), std::move(data));
  }
  for (const auto& [key, cell] : current_cells.entries()) {
    const Ref prev_cell = prev_cells.find(key);
    if (!prev_cell) continue;
    Owned data = Tree::shallow_copy(cell);
    Cell diff_cell = Cell::start(Tree::ref(data));
    diff_cell.set_prev_source(Cell(prev_cell).source_lines());
    if (cell_modified(diff_cell)) diff_cell.set_status(Tree::make_string(kModified));
    Owned current_parents = Cell(cell).parents_or_new();
    Owned prev_parents = Cell(prev_cell).parents_or_new();
    const detail::ParentMap<Tree> now(Tree::ref(current_parents));
    const detail::ParentMap<Tree> before(Tree::ref(prev_parents));
    Owned added = Tree::make_array(), removed = Tree::make_array(), kept = Tree::make_array();
    for (const auto& [key, e] : now.entries()) {
      Tree::append(Tree::ref(before.contains(key) ? kept : added),
                   detail::parent_record<Tree>(e.id, e.name));
    }
    for (const auto& [key, e] : before.entries()) {
      if (!now.contains(key)) {
        Tree::append(Tree::ref(removed), detail::parent_record<Tree>(e.id, e.name));
      }
    }
    diff_cell.set_added_parents(std::move(added));
    diff_cell.set_removed_parents(std::move(removed));
    diff_cell.set_parents(std::move(kept));
    Tree::append(Tree::ref(cells), std::move(data));
  }

  Owned result = Tree::make_object();
  Tree::set(Tree::ref(result), "cells", std::move(cells));

  const auto current_parameters = detail::parameter_list<Tree>(current);
  const auto prev_parameters = detail::parameter_list<Tree>(prev);
  Owned parameters = Tree::make_array();
  for (const auto& [key, p] : prev_parameters.entries()) {
    if (current_parameters.contains(key)) continue;
    BasicDiffParameter<Tree>(p).set_status(Tree::make_string(kRemoved));
    Tree::append(Tree::ref(parameters), Tree::own(p));
  }
  for (const auto& [key, p] : current_parameters.entries()) {
    if (!prev_parameters.contains(key)) continue;
    BasicDiffParameter<Tree> now(p);
    const BasicDiffParameter<Tree> before(prev_parameters.find(key));
    const Ref a = now.value();
    const Ref b = before.value();
    const bool same = Tree::is_null(a)
                          ? Tree::is_null(b)
                          : Tree::is_string(b) && Tree::to_string(a) == Tree::to_string(b);
    if (!same) {
      now.set_status(Tree::make_string(kModified));
      now.set_prev_type(Tree::own(before.type()));
      now.set_prev_value(Tree::own(before.value()));
    }
    Tree::append(Tree::ref(parameters), Tree::own(p));
  }
  for (const auto& [key, p] : current_parameters.entries()) {
    if (prev_parameters.contains(key)) continue;
    BasicDiffParameter<Tree>(p).set_status(Tree::make_string(kAdded));
    Tree::append(Tree::ref(parameters), Tree::own(p));
  }
  Owned canvas = Tree::make_object();
  Tree::set(Tree::ref(canvas), "parameter", std::move(parameters));
  Owned metadata = Tree::make_object();
  Tree::set(Tree::ref(metadata), "canvas", std::move(canvas));
  Tree::set(Tree::ref(result), "metadata", std::move(metadata));
  return result;
}

}  // namespace qor::diff

#endif  // QOR_DIFF_H_
