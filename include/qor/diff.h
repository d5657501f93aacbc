// The notebook diff: two versions of a notebook document compared into a diff document in which
// every code cell and every canvas parameter carries its diff status and what it was before.
//
// The records (DiffCell, DiffParameter) and the diff itself are templates over a tree type (see
// notebook::ValueTree): the Python module runs them on the caller's own dicts, whose nested
// objects the result then shares (annotations written into a cell's canvas metadata or into a
// parameter show in the inputs too), and qordiff runs them on parsed files. The body of
// diff_documents is in src/diff/diff-inl.h, which a user of another tree type includes; for
// json::Value documents it is compiled once in the core.
#ifndef QOR_DIFF_H_
#define QOR_DIFF_H_

#include <optional>
#include <string>
#include <string_view>
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
// TypeError for a stored value of the wrong kind ("Expected str, got int").
[[noreturn]] void wrong_stored(const char* expected, const char* given);

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
typename Tree::Ref text_or_null(typename Tree::Ref r) {
  if (!Tree::is_string(r) && !Tree::is_null(r)) wrong_stored("str", Tree::type_name(r));
  return r;
}

// A stored value that must be a list or null.
template <class Tree>
typename Tree::Ref list_or_null(typename Tree::Ref r) {
  if (!Tree::is_array(r) && !Tree::is_null(r)) wrong_stored("list", Tree::type_name(r));
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

  // A view over `data` (which must be an object); `place`, when given, names the cell in errors.
  explicit BasicDiffCell(Ref data, std::optional<notebook::CellPlace> place = std::nullopt)
      : notebook::BasicCell<Tree>(data, place) {}

  // Starts a record: the view, with its status set to "unchanged".
  static BasicDiffCell start(Ref data, std::optional<notebook::CellPlace> place = std::nullopt) {
    BasicDiffCell cell(data, place);
    cell.set_status(Tree::make_string(kUnchanged));
    return cell;
  }

  Owned status() const { return text_or(get("diff_status"), kUnchanged); }
  // Stores one of the four statuses; AssertionError (nothing stored) for another string.
  void set_status(Owned value) {
    Owned status = detail::checked_status<Tree>(std::move(value));
    Tree::set(this->canvas(), "diff_status", std::move(status));
  }

  Owned prev_source() const { return list_or_new(get("prev_source")); }
  void set_prev_source(Owned value) { set_list("prev_source", std::move(value)); }
  Owned removed_parents() const { return list_or_new(get("removed_parents")); }
  void set_removed_parents(Owned value) { set_list("removed_parents", std::move(value)); }
  Owned added_parents() const { return list_or_new(get("added_parents")); }
  void set_added_parents(Owned value) { set_list("added_parents", std::move(value)); }

 private:
  Ref get(const char* key) const { return Tree::find(this->canvas(), key); }

  static Owned text_or(Ref r, std::string_view fallback) {
    if (!r) return Tree::make_string(fallback);
    return Tree::own(detail::text_or_null<Tree>(r));
  }
  static Owned list_or_new(Ref r) {
    if (!r) return Tree::make_array();
    return Tree::own(detail::list_or_null<Tree>(r));
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
    return r ? Tree::own(detail::text_or_null<Tree>(r)) : Tree::make_string(kUnchanged);
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
    return detail::text_or_null<Tree>(r);
  }
  Owned fallback(const char* key, Ref otherwise) const {
    Ref r = Tree::find(data_, key);
    return Tree::own(r ? detail::text_or_null<Tree>(r) : otherwise);
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
  Owned now = cell.source_list();
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

// Compares `prev` with `current` (both notebook documents) and returns the diff document:
//   {"cells": [removed cells, added cells, kept cells],
//    "metadata": {"canvas": {"parameter": [removed, kept, added parameters]}}}
// Removed entries come in the previous version's order, added and kept ones in the current
// version's. Each result cell is a shallow copy of an input code cell annotated as a DiffCell
// (status, previous source, parents gained and lost); each result parameter is the input's own
// parameter object annotated as a DiffParameter, so the inputs receive the annotations too. A
// parent record of a kept cell without "name" takes the name of the cell with that component id
// in the same version (null when none has it). Throws TypeError when `prev` or `current` is not
// an object; KeyError or TypeError for missing or malformed keys, naming the document
// (`prev_name`, `current_name`), the cell and the key path; annotations written before a failure
// stay.
template <class Tree>
typename Tree::Owned diff_documents(typename Tree::Ref prev, typename Tree::Ref current,
                                    std::string_view prev_name = "prev",
                                    std::string_view current_name = "current");

extern template json::Value diff_documents<notebook::ValueTree>(json::Value*, json::Value*,
                                                                std::string_view, std::string_view);

}  // namespace qor::diff

#endif  // QOR_DIFF_H_
