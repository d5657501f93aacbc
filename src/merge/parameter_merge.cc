// The canvas parameter merge: three tables keyed by parameter name over the documents' own
// parameter objects, and the merged table, which starts as the current one. Conflicting
// versions are moved to the end under marked names.
#include "merge/documents.h"
#include "merge/ordered_map.h"
#include "qor/errors.h"
#include "qor/merge.h"

namespace qor::merge {
namespace {

using Table = detail::OrderedMap<json::Value*>;

// The key of a parameter: its name. Names that are not strings (which nothing forbids until a
// name has to be marked) get keys of their own kind, apart from every string.
std::string name_key(const json::Value& name) {
  std::string key(1, name.is_string() ? 's' : 'v');
  if (name.is_string()) {
    key += name.as_string();
  } else {
    json::write(name, key);
  }
  return key;
}

Table parameter_table(json::Value& doc, const std::string& doc_name) {
  Table table;
  json::Array& parameters = detail::parameters_of(doc, doc_name);
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    json::Value& name = detail::require(parameters[i], "name", doc_name,
                                        "metadata.canvas.parameters[" + std::to_string(i) + "]");
    table.assign(name_key(name), &parameters[i]);
  }
  return table;
}

// Puts `param` into `merged` under the marked name and writes that name into it.
void mark(Table& merged, json::Value* param, std::string_view prefix) {
  const json::Value& name = param->as_object().at("name");
  if (!name.is_string()) {
    throw TypeError(std::string("can only concatenate str (not \"") + name.type_name() +
                    "\") to str");
  }
  const std::string marked = std::string(prefix) + std::string(name.as_string());
  merged.assign(name_key(json::Value(marked)), param);
  param->as_object().set("name", json::Value(marked));
}

// The parameter under `key` in `table`, which must be there.
json::Value* entry(Table& table, const std::string& key) {
  const Table::Handle h = table.find(key);
  if (h == Table::kNone) throw KeyError(key.substr(1));
  return table.at(h).value;
}

void erase(Table& table, const std::string& key) {
  const Table::Handle h = table.find(key);
  if (h != Table::kNone) table.erase(h);
}

}  // namespace

json::Array merge_parameters(const MergeInput& docs) {
  Table current = parameter_table(docs.current, docs.current_name);
  Table base = parameter_table(docs.base, docs.base_name);
  Table incoming = parameter_table(docs.incoming, docs.incoming_name);
  Table merged;
  for (Table::Handle h : current.handles()) merged.assign(current.at(h).key, current.at(h).value);

  // Names in both the current and the base version, in current order.
  for (Table::Handle h : current.handles()) {
    const std::string& key = current.at(h).key;
    const Table::Handle b = base.find(key);
    if (b == Table::kNone) continue;
    json::Value* cur = current.at(h).value;
    json::Value* bas = base.at(b).value;
    const Table::Handle i = incoming.find(key);
    json::Value* inc = i == Table::kNone ? nullptr : incoming.at(i).value;
    if (!(*cur == *bas)) {
      if (inc == nullptr) {
        mark(merged, entry(merged, key), kCurrentMark);
        erase(merged, key);
      } else if (*inc == *bas || *cur == *inc) {
        // One side's change, or the same change on both: the current version stays.
      } else {
        mark(merged, entry(merged, key), kCurrentMark);
        mark(merged, inc, kIncomingMark);
        erase(merged, key);
      }
    } else if (inc == nullptr) {
      erase(merged, key);
    } else if (!(*inc == *bas)) {
      merged.assign(key, inc);
    }
  }
  // Names the current side deleted, in base order: a change on the incoming side survives.
  for (Table::Handle h : base.handles()) {
    const std::string& key = base.at(h).key;
    if (current.contains(key)) continue;
    const Table::Handle i = incoming.find(key);
    if (i != Table::kNone && !(*incoming.at(i).value == *base.at(h).value)) {
      mark(merged, incoming.at(i).value, kIncomingMark);
    }
  }
  // Names the incoming side added, in incoming order.
  for (Table::Handle h : incoming.handles()) {
    const std::string& key = incoming.at(h).key;
    if (base.contains(key)) continue;
    json::Value* inc = incoming.at(h).value;
    const Table::Handle c = current.find(key);
    if (c == Table::kNone) {
      merged.assign(key, inc);
    } else if (!(*current.at(c).value == *inc)) {
      mark(merged, entry(merged, key), kCurrentMark);
      mark(merged, inc, kIncomingMark);
      erase(merged, key);
    }
  }
  json::Array result;
  result.reserve(merged.size());
  for (Table::Handle h : merged.handles()) result.push_back(*merged.at(h).value);
  return result;
}

}  // namespace qor::merge
