// The body of qor::diff::diff_documents, for the tree types it is compiled for (json::Value in
// the core, Python objects in the diff module). Include it only where the template is
// instantiated; everyone else includes qor/diff.h.
#ifndef QOR_DIFF_DIFF_INL_H_
#define QOR_DIFF_DIFF_INL_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "ordered_map.h"
#include "qor/diff.h"
#include "qor/errors.h"
#include "qor/notebook.h"

namespace qor::diff::detail {

// A cell or parameter of one version with its position there, for error messages.
template <class Tree>
struct Entry {
  typename Tree::Ref value;
  std::size_t index = 0;
};

// One version of the notebook: its code cells by component id and its parameters by name, in
// document order; a later entry with a known key takes the place of the earlier one.
template <class Tree>
class Version {
 public:
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;
  using Notebook = notebook::BasicNotebook<Tree>;

  Version(Ref doc, std::string_view name) : doc_(doc, std::string(name)) {}

  const Notebook& doc() const { return doc_; }

  // Reads the code cells ("cells" may be absent; a cell without "cell_type" fails, and so does a
  // code cell without a component id).
  void read_cells() {
    Ref cells = doc_.find_cells();
    if (!cells) return;
    const std::size_t n = Tree::size(cells);
    for (std::size_t i = 0; i < n; ++i) {
      const notebook::BasicCell<Tree> cell = doc_.cell(cells, i);
      if (!cell.is_code()) continue;
      cells_.assign(Tree::key(cell.component_id_value("every code cell needs a component id")),
                    Entry<Tree>{cell.data(), i});
    }
  }

  // Reads the parameters and starts each as a record ("unchanged"). A missing step on the way to
  // the list means no parameters; a parameter without "name" is left out.
  void read_parameters() {
    Ref parameters = doc_.find_parameters();
    if (!parameters) return;
    const std::size_t n = Tree::size(parameters);
    for (std::size_t i = 0; i < n; ++i) {
      Ref p = doc_.parameter(parameters, i);
      Ref name = Notebook::find_parameter_name(p);
      if (!name) continue;
      // The key first: starting the record adds a member, which may move the name.
      const std::string key = Tree::key(name);
      BasicDiffParameter<Tree>::start(p);
      parameters_.assign(key, Entry<Tree>{p, i});
    }
  }

  const qor::detail::OrderedMap<Entry<Tree>>& cells() const { return cells_; }
  const qor::detail::OrderedMap<Entry<Tree>>& parameters() const { return parameters_; }

  // The place of code cell `entry` for error messages.
  notebook::CellPlace place(const Entry<Tree>& entry) const {
    return notebook::CellPlace{doc_.name(), entry.index};
  }

  // The name of the cell whose component id is `id` in this version: its stored "name", or null
  // when no cell has that id or the cell has no name. Cells that cannot be read are skipped.
  Owned name_of(Ref id) {
    if (!names_read_) read_names();
    const std::string key = Tree::key(id);
    const auto h = names_.find(key);
    if (h == decltype(names_)::kNone || !names_.at(h).value) return Tree::make_null();
    return Tree::own(names_.at(h).value);
  }

 private:
  void read_names() {
    names_read_ = true;
    Ref cells = Tree::is_object(doc_.root()) ? Tree::find(doc_.root(), "cells") : Ref();
    if (!cells || !Tree::is_array(cells)) return;
    const std::size_t n = Tree::size(cells);
    for (std::size_t i = 0; i < n; ++i) {
      using notebook::peek;
      using notebook::peek_canvas;
      Ref canvas = peek_canvas<Tree>(Tree::item(cells, i));
      Ref id = peek<Tree>(canvas, "id");
      if (!id) continue;
      Ref name = peek<Tree>(canvas, "name");
      names_.assign(Tree::key(id), name ? name : Ref());
    }
  }

  Notebook doc_;
  qor::detail::OrderedMap<Entry<Tree>> cells_;
  qor::detail::OrderedMap<Entry<Tree>> parameters_;
  bool names_read_ = false;
  qor::detail::OrderedMap<Ref> names_;
};

// Parent records by id, in order, each with its id and name: a later record with the same id
// wins. A record without "name" takes the name its version gives the id.
template <class Tree>
struct ParentRecord {
  typename Tree::Ref id;
  typename Tree::Owned name;
};

template <class Tree>
qor::detail::OrderedMap<ParentRecord<Tree>> parent_map(const notebook::BasicCell<Tree>& cell,
                                                       Version<Tree>& version) {
  using Ref = typename Tree::Ref;
  qor::detail::OrderedMap<ParentRecord<Tree>> out;
  Ref parents = cell.parents();
  if (!parents) return out;
  const std::size_t n = Tree::size(parents);
  for (std::size_t i = 0; i < n; ++i) {
    Ref record = Tree::item(parents, i);
    Ref id = cell.parent_id(record, i);
    Ref name = Tree::find(record, "name");
    out.assign(Tree::key(id), ParentRecord<Tree>{id, name ? Tree::own(name) : version.name_of(id)});
  }
  return out;
}

template <class Tree>
typename Tree::Owned parent_record(const ParentRecord<Tree>& parent) {
  typename Tree::Owned record = Tree::make_object();
  Tree::set(Tree::ref(record), "id", Tree::own(parent.id));
  Tree::set(Tree::ref(record), "name", parent.name);
  return record;
}

// The key and the value of a table entry.
template <class E>
std::pair<const std::string&, const decltype(E::value)&> entry_of(const E& e) {
  return {e.key, e.value};
}

// Runs `read` on a parameter of `version`; its errors name the parameter.
template <class Tree, class Read>
auto read_parameter(const Version<Tree>& version, const Entry<Tree>& p, Read read) {
  try {
    return read();
  } catch (const Error&) {
    rethrow_with_context(version.doc().name() + ": " +
                         notebook::BasicNotebook<Tree>::parameter_path(p.index));
  }
}

// The diff cell of a cell kept from `before` in `now`: a shallow copy of the current cell with
// its previous source, its status when modified and its parents split into kept, gained and
// lost.
template <class Tree>
typename Tree::Owned kept_cell(Version<Tree>& now, const Entry<Tree>& entry, Version<Tree>& before,
                               const Entry<Tree>& prev_entry) {
  using Owned = typename Tree::Owned;
  using Cell = BasicDiffCell<Tree>;
  const Cell prev_cell(prev_entry.value, before.place(prev_entry));
  const Cell current_cell(entry.value, now.place(entry));
  Owned data = Tree::shallow_copy(entry.value);
  Cell diff_cell = Cell::start(Tree::ref(data), now.place(entry));
  diff_cell.set_prev_source(prev_cell.source_list());
  if (cell_modified(diff_cell)) diff_cell.set_status(Tree::make_string(kModified));
  const auto gained = parent_map(current_cell, now);
  const auto lost = parent_map(prev_cell, before);
  Owned added = Tree::make_array(), removed = Tree::make_array(), kept = Tree::make_array();
  for (auto g : gained.handles()) {
    const auto& e = gained.at(g);
    Tree::append(Tree::ref(lost.contains(e.key) ? kept : added), parent_record<Tree>(e.value));
  }
  for (auto l : lost.handles()) {
    const auto& e = lost.at(l);
    if (!gained.contains(e.key)) Tree::append(Tree::ref(removed), parent_record<Tree>(e.value));
  }
  diff_cell.set_added_parents(std::move(added));
  diff_cell.set_removed_parents(std::move(removed));
  diff_cell.set_parents(std::move(kept));
  return data;
}

// The diff document's cells: removed ones, then added ones, then kept ones.
template <class Tree>
typename Tree::Owned diff_cells(Version<Tree>& now, Version<Tree>& before) {
  using Owned = typename Tree::Owned;
  using Cell = BasicDiffCell<Tree>;
  now.read_cells();
  before.read_cells();
  Owned cells = Tree::make_array();
  for (auto h : before.cells().handles()) {
    const auto [key, entry] = entry_of(before.cells().at(h));
    if (now.cells().contains(key)) continue;
    Owned data = Tree::shallow_copy(entry.value);
    Cell diff_cell = Cell::start(Tree::ref(data), before.place(entry));
    diff_cell.set_status(Tree::make_string(kRemoved));
    diff_cell.set_prev_source(diff_cell.source_list());
    diff_cell.set_source(Tree::make_array());
    diff_cell.set_removed_parents(diff_cell.parents_or_new());
    diff_cell.set_parents(Tree::make_array());
    Tree::append(Tree::ref(cells), std::move(data));
  }
  for (auto h : now.cells().handles()) {
    const auto [key, entry] = entry_of(now.cells().at(h));
    if (before.cells().contains(key)) continue;
    Owned data = Tree::shallow_copy(entry.value);
    Cell diff_cell = Cell::start(Tree::ref(data), now.place(entry));
    diff_cell.set_status(Tree::make_string(kAdded));
    diff_cell.set_prev_source(Tree::make_array());
    diff_cell.set_added_parents(diff_cell.parents_or_new());
    diff_cell.set_parents(Tree::make_array());
    Tree::append(Tree::ref(cells), std::move(data));
  }
  for (auto h : now.cells().handles()) {
    const auto [key, entry] = entry_of(now.cells().at(h));
    const auto b = before.cells().find(key);
    if (b == before.cells().kNone) continue;
    Tree::append(Tree::ref(cells), kept_cell(now, entry, before, before.cells().at(b).value));
  }
  return cells;
}

// The diff document's parameters, annotated in place: removed ones, then kept ones, then added
// ones.
template <class Tree>
typename Tree::Owned diff_parameters(Version<Tree>& now, Version<Tree>& before) {
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;
  using Parameter = BasicDiffParameter<Tree>;
  now.read_parameters();
  before.read_parameters();
  Owned parameters = Tree::make_array();
  for (auto h : before.parameters().handles()) {
    const auto [key, entry] = entry_of(before.parameters().at(h));
    if (now.parameters().contains(key)) continue;
    Parameter(entry.value).set_status(Tree::make_string(kRemoved));
    Tree::append(Tree::ref(parameters), Tree::own(entry.value));
  }
  for (auto h : now.parameters().handles()) {
    const auto [key, entry] = entry_of(now.parameters().at(h));
    const auto b = before.parameters().find(key);
    if (b == before.parameters().kNone) continue;
    const Entry<Tree>& prev_entry = before.parameters().at(b).value;
    Parameter param(entry.value);
    const Parameter prev_param(prev_entry.value);
    const Ref a = read_parameter(now, entry, [&] { return param.value(); });
    const Ref v = read_parameter(before, prev_entry, [&] { return prev_param.value(); });
    const bool same = Tree::is_null(a)
                          ? Tree::is_null(v)
                          : Tree::is_string(v) && Tree::to_string(a) == Tree::to_string(v);
    if (!same) {
      param.set_status(Tree::make_string(kModified));
      Ref type = read_parameter(before, prev_entry, [&] { return prev_param.type(); });
      param.set_prev_type(Tree::own(type));
      param.set_prev_value(Tree::own(v));
    }
    Tree::append(Tree::ref(parameters), Tree::own(entry.value));
  }
  for (auto h : now.parameters().handles()) {
    const auto [key, entry] = entry_of(now.parameters().at(h));
    if (before.parameters().contains(key)) continue;
    Parameter(entry.value).set_status(Tree::make_string(kAdded));
    Tree::append(Tree::ref(parameters), Tree::own(entry.value));
  }
  return parameters;
}

}  // namespace qor::diff::detail

namespace qor::diff {

template <class Tree>
typename Tree::Owned diff_documents(typename Tree::Ref prev, typename Tree::Ref current,
                                    std::string_view prev_name, std::string_view current_name) {
  using Owned = typename Tree::Owned;
  if (!Tree::is_object(prev)) detail::wrong_argument("prev", "dict", Tree::type_name(prev));
  if (!Tree::is_object(current))
    detail::wrong_argument("current", "dict", Tree::type_name(current));
  detail::Version<Tree> now(current, current_name);
  detail::Version<Tree> before(prev, prev_name);
  Owned result = Tree::make_object();
  Tree::set(Tree::ref(result), "cells", detail::diff_cells(now, before));
  Owned canvas = Tree::make_object();
  Tree::set(Tree::ref(canvas), "parameter", detail::diff_parameters(now, before));
  Owned metadata = Tree::make_object();
  Tree::set(Tree::ref(metadata), "canvas", std::move(canvas));
  Tree::set(Tree::ref(result), "metadata", std::move(metadata));
  return result;
}

}  // namespace qor::diff

#endif  // QOR_DIFF_DIFF_INL_H_
