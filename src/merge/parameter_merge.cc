// The canvas parameter merge: three tables keyed by parameter name over the documents' own
// parameter objects, and the merged table, which starts as the current one. Conflicting
// versions are moved to the end under marked names.
#include "merge/merge_documents.h"
#include "ordered_map.h"
#include "qor/errors.h"
#include "qor/merge.h"
#include "qor/notebook.h"

namespace qor::merge {
namespace {

using notebook::Notebook;
using notebook::ValueTree;

// A parameter object and where it came from, for the error of a name that cannot be marked.
struct Parameter {
  json::Value* value = nullptr;
  const Notebook* doc = nullptr;
  std::size_t index = 0;
};
using Table = qor::detail::OrderedMap<Parameter>;

// Parameters by name; names that are not strings (which nothing forbids until a name has to be
// marked) get keys of their own kind, apart from every string.
Table parameter_table(const Notebook& doc) {
  Table table;
  json::Value* parameters = doc.parameters();
  for (std::size_t i = 0; i < parameters->as_array().size(); ++i) {
    json::Value* parameter = doc.parameter(parameters, i);
    table.assign(ValueTree::key(doc.parameter_name(parameter, i)), Parameter{parameter, &doc, i});
  }
  return table;
}

// Puts `param` into `merged` under the marked name and writes that name into it. `param` is a
// copy: callers pass entries of `merged`, which the insertion may move.
void mark(Table& merged, Parameter param, std::string_view prefix) {
  const json::Value& name = param.value->as_object().at("name");
  if (!name.is_string()) {
    throw TypeError(param.doc->where(Notebook::parameter_path(param.index) +
                                     ": can only concatenate str (not \"" + name.type_name() +
                                     "\") to str"));
  }
  const std::string marked = std::string(prefix) + std::string(name.as_string());
  json::Value marked_name(marked);
  merged.assign(ValueTree::key(&marked_name), param);
  param.value->as_object().set("name", std::move(marked_name));
}

bool same(const Parameter& a, const Parameter& b) { return *a.value == *b.value; }

}  // namespace

json::Array merge_parameters(const MergeInput& docs) {
  const Notebook current_doc(&docs.current, docs.current_name);
  const Notebook base_doc(&docs.base, docs.base_name);
  const Notebook incoming_doc(&docs.incoming, docs.incoming_name);
  const Table current = parameter_table(current_doc);
  const Table base = parameter_table(base_doc);
  const Table incoming = parameter_table(incoming_doc);
  Table merged;
  for (Table::Handle h : current.handles()) merged.assign(current.at(h).key, current.at(h).value);

  // Names in both the current and the base version, in current order.
  for (Table::Handle h : current.handles()) {
    const std::string& key = current.at(h).key;
    const Table::Handle b = base.find(key);
    if (b == Table::kNone) continue;
    const Parameter& cur = current.at(h).value;
    const Parameter& bas = base.at(b).value;
    const Table::Handle i = incoming.find(key);
    const Table::Handle m = merged.find(key);
    if (!same(cur, bas)) {
      if (i == Table::kNone) {
        mark(merged, merged.at(m).value, kCurrentMark);
        merged.erase(m);
      } else if (same(incoming.at(i).value, bas) || same(cur, incoming.at(i).value)) {
        // One side's change, or the same change on both: the current version stays.
      } else {
        mark(merged, merged.at(m).value, kCurrentMark);
        mark(merged, incoming.at(i).value, kIncomingMark);
        merged.erase(m);
      }
    } else if (i == Table::kNone) {
      merged.erase(m);
    } else if (!same(incoming.at(i).value, bas)) {
      merged.assign(key, incoming.at(i).value);
    }
  }
  // Names the current side deleted, in base order: a change on the incoming side survives.
  for (Table::Handle h : base.handles()) {
    const std::string& key = base.at(h).key;
    if (current.contains(key)) continue;
    const Table::Handle i = incoming.find(key);
    if (i != Table::kNone && !same(incoming.at(i).value, base.at(h).value)) {
      mark(merged, incoming.at(i).value, kIncomingMark);
    }
  }
  // Names the incoming side added, in incoming order.
  for (Table::Handle h : incoming.handles()) {
    const std::string& key = incoming.at(h).key;
    if (base.contains(key)) continue;
    const Parameter& inc = incoming.at(h).value;
    const Table::Handle c = current.find(key);
    if (c == Table::kNone) {
      merged.assign(key, inc);
    } else if (!same(current.at(c).value, inc)) {
      const Table::Handle m = merged.find(key);
      mark(merged, merged.at(m).value, kCurrentMark);
      mark(merged, inc, kIncomingMark);
      merged.erase(m);
    }
  }
  json::Array result;
  result.reserve(merged.size());
  for (Table::Handle h : merged.handles()) result.push_back(*merged.at(h).value.value);
  return result;
}

}  // namespace qor::merge
