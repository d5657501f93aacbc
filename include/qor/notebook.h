// The notebook model: the document view that finds a notebook's cells and canvas parameters,
// cell views that read and write a cell's JSON object in place, and the reading and atomic
// writing of notebook files.
//
// A view holds a handle to its object and nothing else; every member reads or writes a key of
// that object. The views are templates over a tree type so that the very same rules, and the
// same located error messages, work on the engines' json::Value documents and on the Python
// modules' dicts (see ValueTree for the operations a tree type provides).
#ifndef QOR_NOTEBOOK_H_
#define QOR_NOTEBOOK_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"

namespace qor::notebook {

// The tree operations over json::Value that the views use. A Ref is a non-owning handle (null
// when absent); an Owned is a value to store. Every function that expects an object, a list or
// a string throws TypeError for another kind. A Ref to a member stays valid only until its
// object gains or loses a member: read what you need before writing.
struct ValueTree {
  using Ref = json::Value*;
  using Owned = json::Value;

  static bool is_object(Ref r) { return r->is_object(); }
  static bool is_array(Ref r) { return r->is_array(); }
  static bool is_string(Ref r) { return r->is_string(); }
  static bool is_null(Ref r) { return r->is_null(); }
  static const char* type_name(Ref r) { return r->type_name(); }
  // Member `key` of object `obj`, or null.
  static Ref find(Ref obj, std::string_view key) { return obj->as_object().find(key); }
  // Stores `value` under `key` (in place when present) and returns the stored value.
  static Ref set(Ref obj, std::string_view key, Owned value) {
    return &obj->as_object().set(key, std::move(value));
  }
  static bool erase(Ref obj, std::string_view key) { return obj->as_object().erase(key); }
  static std::string to_string(Ref r) { return std::string(r->as_string()); }
  static std::size_t size(Ref array) { return array->as_array().size(); }
  static Ref item(Ref array, std::size_t i) { return &array->as_array()[i]; }
  static void append(Ref array, Owned value) { array->as_array().push_back(std::move(value)); }
  static bool equal(Ref a, Ref b) { return *a == *b; }
  static Owned make_null() { return json::Value(); }
  static Owned make_string(std::string_view s) { return json::Value(s); }
  static Owned make_object() { return json::Value::object(); }
  static Owned make_array() { return json::Value::array(); }
  // A value to store that holds what `r` holds (a copy: values share nothing).
  static Owned own(Ref r) { return *r; }
  // A copy of object `obj` whose top-level entries hold what `obj` holds.
  static Owned shallow_copy(Ref obj) { return *obj; }
  static Ref ref(Owned& o) { return &o; }
  // A text that tells keys apart as a dict does: strings by their text, other values by kind
  // and value.
  static std::string key(Ref r) {
    std::string k(1, r->is_string() ? 's' : 'v');
    if (r->is_string()) {
      k += r->as_string();
    } else {
      json::write(*r, k);
    }
    return k;
  }
};

// Calls `fn` with each line of `text`, split after each "\n" (views of `text`, no copies); the
// last line keeps no line end when the text does not end with one. An empty text has no lines.
template <class Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t nl = text.find('\n', start);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    fn(text.substr(start, end - start));
    start = end;
  }
}

// The lines for_each_line() gives, as a list.
std::vector<std::string_view> split_lines(std::string_view text);

// The name prefixes of the two copies a conflict leaves, on cells and canvas parameters: the
// current side's and the incoming side's, four characters each.
inline constexpr std::string_view kCurrentMark = "<<< ";
inline constexpr std::string_view kIncomingMark = ">>> ";

// Member `key` of `obj` when `obj` is there and is an object, else null: a read that never
// throws a core error, for describing values that may be malformed.
template <class Tree>
typename Tree::Ref peek(typename Tree::Ref obj, std::string_view key) {
  return obj && Tree::is_object(obj) ? Tree::find(obj, key) : typename Tree::Ref();
}

// "metadata" -> "canvas" of a cell or of the notebook, read as peek() reads.
template <class Tree>
typename Tree::Ref peek_canvas(typename Tree::Ref obj) {
  return peek<Tree>(peek<Tree>(obj, "metadata"), "canvas");
}

// Lenient reads of a notebook's parts, for code that shows or scans whatever a file holds (the
// views, textconv, the conflict scan, the pipeline check): a step that is missing or is not of
// the kind expected gives null (or nothing), and no read throws. The engines read through the
// checked views below (BasicCell, BasicNotebook), whose errors name what is wrong.

// Member `key` of `value` when `value` is there and is an object, else null.
inline const json::Value* member(const json::Value* value, std::string_view key) {
  return value != nullptr ? value->find(key) : nullptr;
}

// "metadata" -> "canvas" of a cell or of the notebook.
inline const json::Value* canvas_of(const json::Value* cell_or_notebook) {
  return member(member(cell_or_notebook, "metadata"), "canvas");
}

// The same reads, for changing what they find.
inline json::Value* member(json::Value* value, std::string_view key) {
  return value != nullptr ? value->find(key) : nullptr;
}
inline json::Value* canvas_of(json::Value* cell_or_notebook) {
  return member(member(cell_or_notebook, "metadata"), "canvas");
}

// The notebook's "cells" when it is a list.
const json::Value* cell_list(const json::Value& doc);

// The notebook's canvas "parameters" ("metadata" -> "canvas" -> "parameters") when a list.
const json::Value* parameter_list(const json::Value& doc);

// A cell's "source" (a list of lines, or one string) as one text; list items that are not
// strings count as their JSON text. Empty when `source` is null or of another kind.
std::string source_text(const json::Value* source);

// source_text() split after each "\n" (split_lines()).
std::vector<std::string> source_text_lines(const json::Value* source);

// Where a cell sits, for error messages: the name of its notebook in messages (for example
// "analysis/churn.ipynb (incoming version)") and its position in the notebook's "cells".
struct CellPlace {
  std::string_view document;
  std::size_t index = 0;
};

// A cell component: a view over one cell object.
//   name          "metadata" -> "canvas" -> "name"; absent (or null) reads as "".
//   parents       "metadata" -> "canvas" -> "parents"; absent reads as no list (callers treat
//                 it as empty; nothing is stored).
//   comments      "metadata" -> "canvas" -> "comments"; `add_comment` creates the list.
//   component id  "metadata" -> "canvas" -> "id", the cell's identity.
//   cell id       the cell's own top-level "id" (the notebook format's cell id).
//   source        "source": a list of lines, or one string read as its lines.
// Reads of name, parents and comments give their defaults when "metadata" or "canvas" is
// absent; writes create what is missing. A present value of the wrong kind is a TypeError and a
// missing required key a KeyError. A view given its place names the notebook, the cell (index,
// name or component id, type) and the key path in every error ("nb.ipynb (base version): cell 3
// 'train' (code): metadata.canvas.name must be a str, not int"); a view without a place gives
// the short messages of the Python records ("cell 'name' must be a str, not int", KeyError
// 'canvas').
template <class Tree>
class BasicCell {
 public:
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;

  // Wraps `data`, which must stay alive as long as the view, as must the text `place` names.
  // Throws TypeError unless `data` is an object.
  explicit BasicCell(Ref data, std::optional<CellPlace> place = std::nullopt)
      : data_(data), place_(place) {
    if (!Tree::is_object(data_)) {
      if (place_) wrong_kind(data_, "", "dict");
      throw TypeError(std::string("cell must be a dict, not ") + Tree::type_name(data_));
    }
  }

  Ref data() const { return data_; }
  const std::optional<CellPlace>& place() const { return place_; }

  // "metadata" -> "canvas", or null when either is absent.
  Ref find_canvas() const {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) return Ref();
    expect_object(metadata, "metadata", "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) return Ref();
    expect_object(canvas, "metadata.canvas", "canvas");
    return canvas;
  }

  // "metadata" -> "canvas"; KeyError naming the missing key, reported at `wanted` (a path
  // below the canvas the caller is after; the missing key's own path when empty) with `hint`.
  Ref canvas(const std::string& wanted = {}, std::string_view hint = {}) const {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) missing(wanted.empty() ? "metadata" : wanted, "metadata", hint);
    expect_object(metadata, "metadata", "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) missing(wanted.empty() ? "metadata.canvas" : wanted, "canvas", hint);
    expect_object(canvas, "metadata.canvas", "canvas");
    return canvas;
  }

  // "metadata" -> "canvas", creating either when absent.
  Ref ensure_canvas() {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) metadata = Tree::set(data_, "metadata", Tree::make_object());
    expect_object(metadata, "metadata", "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) canvas = Tree::set(metadata, "canvas", Tree::make_object());
    expect_object(canvas, "metadata.canvas", "canvas");
    return canvas;
  }

  std::string name() const {
    Ref canvas = find_canvas();
    if (!canvas) return std::string();
    Ref name = Tree::find(canvas, "name");
    if (!name || Tree::is_null(name)) return std::string();
    expect_string(name, "metadata.canvas.name", "name");
    return Tree::to_string(name);
  }

  void set_name(std::string_view name) {
    Tree::set(ensure_canvas(), "name", Tree::make_string(name));
  }

  // The stored parent list, or null when absent.
  Ref parents() const { return find_list("parents"); }
  // The stored parent list, or a new empty one (which is not stored).
  Owned parents_or_new() const { return stored_or_new(parents()); }
  void set_parents(Owned list) { Tree::set(ensure_canvas(), "parents", std::move(list)); }

  // The "id" of parent record `index` of `record`'s list (any kind); KeyError or TypeError
  // naming the record.
  Ref parent_id(Ref record, std::size_t index) const {
    if (Tree::is_object(record)) {
      if (Ref id = Tree::find(record, "id")) return id;
    }
    const std::string path = "metadata.canvas.parents[" + std::to_string(index) + "]";
    if (!Tree::is_object(record)) {
      if (!place_) {
        throw TypeError(std::string("a parent record must be a dict, not ") +
                        Tree::type_name(record));
      }
      wrong_kind(record, path, "dict");
    }
    Ref id = Tree::find(record, "id");
    if (!id) missing(path + ".id", "id");
    return id;
  }

  // The stored comment list, or null when absent.
  Ref comments() const { return find_list("comments"); }
  // The stored comment list, or a new empty one (which is not stored).
  Owned comments_or_new() const { return stored_or_new(comments()); }

  // Whether an entry equal to `entry` is among the comments.
  bool has_comment(Ref entry) const {
    Ref list = comments();
    if (!list) return false;
    const std::size_t n = Tree::size(list);
    for (std::size_t i = 0; i < n; ++i) {
      if (Tree::equal(Tree::item(list, i), entry)) return true;
    }
    return false;
  }

  void add_comment(Owned entry) {
    Ref canvas = ensure_canvas();
    Ref list = Tree::find(canvas, "comments");
    if (!list) list = Tree::set(canvas, "comments", Tree::make_array());
    expect_list(list, "metadata.canvas.comments", "comments");
    Tree::append(list, std::move(entry));
  }

  // The stored component id, of any kind; KeyError naming the first missing key (with a place:
  // "missing metadata.canvas.id", followed by ": " and `hint` when one is given).
  Ref component_id_value(std::string_view hint = {}) const {
    Ref id = Tree::find(canvas("metadata.canvas.id", hint), "id");
    if (!id) missing("metadata.canvas.id", "id", hint);
    return id;
  }

  // The component id, which must be a string.
  std::string component_id(std::string_view hint = {}) const {
    Ref id = component_id_value(hint);
    expect_string(id, "metadata.canvas.id", "id");
    return Tree::to_string(id);
  }

  void set_component_id(std::string_view id) {
    Tree::set(ensure_canvas(), "id", Tree::make_string(id));
  }

  // The stored cell id, or null when absent.
  Ref find_cell_id() const { return Tree::find(data_, "id"); }
  void set_cell_id(std::string_view id) { Tree::set(data_, "id", Tree::make_string(id)); }

  // Whether the cell's "cell_type" is "code"; KeyError when absent.
  bool is_code() const {
    Ref type = Tree::find(data_, "cell_type");
    if (!type) missing("cell_type", "cell_type");
    return Tree::is_string(type) && Tree::to_string(type) == "code";
  }

  // The stored "source" (a list, or a string to be split); KeyError when absent.
  Ref source() const {
    Ref source = Tree::find(data_, "source");
    if (!source) missing("source", "source");
    if (!Tree::is_array(source) && !Tree::is_string(source)) {
      if (!place_) {
        throw TypeError(std::string("cell source must be a list or a str, not ") +
                        Tree::type_name(source));
      }
      wrong_kind(source, "source", "list");
    }
    return source;
  }

  // The source as a list: the stored list itself, or a new list of the stored string's lines.
  Owned source_list() const {
    Ref source = this->source();
    if (Tree::is_array(source)) return Tree::own(source);
    Owned lines = Tree::make_array();
    const std::string text = Tree::to_string(source);
    for (std::string_view line : split_lines(text)) {
      Tree::append(Tree::ref(lines), Tree::make_string(line));
    }
    return lines;
  }

  // The text of each source line (the stored list's items must be strings).
  std::vector<std::string> source_lines() const {
    Ref source = this->source();
    std::vector<std::string> lines;
    if (Tree::is_string(source)) {
      const std::string text = Tree::to_string(source);
      for (std::string_view line : split_lines(text)) lines.emplace_back(line);
      return lines;
    }
    const std::size_t n = Tree::size(source);
    lines.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      Ref line = Tree::item(source, i);
      if (!Tree::is_string(line)) {
        if (!place_) {
          throw TypeError(std::string("cell source lines must be str, not ") +
                          Tree::type_name(line));
        }
        wrong_kind(line, "source[" + std::to_string(i) + "]", "str");
      }
      lines.push_back(Tree::to_string(line));
    }
    return lines;
  }

  void set_source(Owned lines) { Tree::set(data_, "source", std::move(lines)); }

  // "<notebook>: cell <index>", followed by the name in quotes when the cell has one and, in
  // parentheses, its type and (for an unnamed cell) its component id, as far as they can be
  // read. Empty for a view without a place.
  std::string where() const {
    if (!place_) return std::string();
    std::string out(place_->document);
    out += ": cell ";
    out += std::to_string(place_->index);
    const Ref type = peek<Tree>(data_, "cell_type");
    std::string detail = type && Tree::is_string(type) ? Tree::to_string(type) : std::string();
    const Ref canvas = peek_canvas<Tree>(data_);
    const Ref name = peek<Tree>(canvas, "name");
    if (name && Tree::is_string(name) && !Tree::to_string(name).empty()) {
      out += ' ';
      out += py_quote(Tree::to_string(name));
    } else if (const Ref id = peek<Tree>(canvas, "id"); id && Tree::is_string(id)) {
      if (!detail.empty()) detail += ", ";
      detail += "id ";
      detail += py_quote(Tree::to_string(id));
    }
    if (!detail.empty()) {
      out += " (";
      out += detail;
      out += ')';
    }
    return out;
  }

  // KeyError for the missing key `key` at `path`: with a place "<where>: missing <path>"
  // (and ": <hint>"), else the bare key.
  [[noreturn]] void missing(const std::string& path, const char* key,
                            std::string_view hint = {}) const {
    if (!place_) throw KeyError(key);
    std::string message = where() + ": missing " + path;
    if (!hint.empty()) message += ": " + std::string(hint);
    throw KeyError(key, message);
  }

  // TypeError for the value `r` at `path` (the cell itself when empty), which is not a
  // `expected`: "<where>: <path> must be a <expected>, not <type>".
  [[noreturn]] void wrong_kind(Ref r, const std::string& path, const char* expected) const {
    std::string message = where() + ": ";
    if (!path.empty()) message += path + " ";
    throw TypeError(message + "must be a " + expected + ", not " + Tree::type_name(r));
  }

 protected:
  void expect_object(Ref r, const char* path, const char* key) const {
    if (!Tree::is_object(r)) short_or_located(r, path, key, "dict");
  }
  void expect_list(Ref r, const char* path, const char* key) const {
    if (!Tree::is_array(r)) short_or_located(r, path, key, "list");
  }
  void expect_string(Ref r, const char* path, const char* key) const {
    if (!Tree::is_string(r)) short_or_located(r, path, key, "str");
  }

  Ref find_list(const char* key) const {
    Ref canvas = find_canvas();
    if (!canvas) return Ref();
    Ref list = Tree::find(canvas, key);
    if (list) expect_list(list, (std::string("metadata.canvas.") + key).c_str(), key);
    return list;
  }

 private:
  [[noreturn]] void short_or_located(Ref r, const char* path, const char* key,
                                     const char* expected) const {
    if (place_) wrong_kind(r, path, expected);
    throw TypeError(std::string("cell '") + key + "' must be a " + expected + ", not " +
                    Tree::type_name(r));
  }

  static Owned stored_or_new(Ref list) { return list ? Tree::own(list) : Tree::make_array(); }

  Ref data_;
  std::optional<CellPlace> place_;
};

using Cell = BasicCell<ValueTree>;

// A notebook document with the name it has in error messages ("analysis/churn.ipynb (incoming
// version)"): the one place that finds the cells and the canvas parameters, and makes cell
// views that know their place. `doc` and the view must outlive the cell views it makes.
//   cells        "cells", a list; required or optional (absent: no cells)
//   parameters   "metadata" -> "canvas" -> "parameters", a list; required, or optional (any
//                missing step, or a "metadata" or "canvas" that is not an object: none)
// Errors read "<name>: missing metadata.canvas.parameters" or "<name>: cells must be a list,
// not dict"; those about a parameter name its path ("metadata.canvas.parameters[2].name").
template <class Tree>
class BasicNotebook {
 public:
  using Ref = typename Tree::Ref;
  using Cell = BasicCell<Tree>;

  BasicNotebook(Ref doc, std::string name) : doc_(doc), name_(std::move(name)) {}

  Ref root() const { return doc_; }
  const std::string& name() const { return name_; }

  // The "cells" list; KeyError or TypeError when absent or not a list.
  Ref cells() const {
    Ref cells = find_cells();
    if (!cells) missing("cells", "cells");
    return cells;
  }

  // The "cells" list, or null when absent; TypeError when not a list.
  Ref find_cells() const {
    expect_document();
    Ref cells = Tree::find(doc_, "cells");
    if (cells && !Tree::is_array(cells)) wrong_kind(cells, "cells", "list");
    return cells;
  }

  // A view over item `index` of `cells` that names its place; TypeError when not an object.
  Cell cell(Ref cells, std::size_t index) const {
    Ref item = Tree::item(cells, index);
    if (!Tree::is_object(item)) {
      wrong_kind(item, "cells[" + std::to_string(index) + "]", "dict");
    }
    return Cell(item, CellPlace{name_, index});
  }

  // The parameter list; KeyError or TypeError naming the first step that is missing or wrong.
  Ref parameters() const {
    expect_document();
    Ref metadata = Tree::find(doc_, "metadata");
    if (!metadata) missing("metadata", "metadata");
    if (!Tree::is_object(metadata)) wrong_kind(metadata, "metadata", "dict");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) missing("metadata.canvas", "canvas");
    if (!Tree::is_object(canvas)) wrong_kind(canvas, "metadata.canvas", "dict");
    Ref parameters = Tree::find(canvas, "parameters");
    if (!parameters) missing("metadata.canvas.parameters", "parameters");
    if (!Tree::is_array(parameters)) wrong_kind(parameters, "metadata.canvas.parameters", "list");
    return parameters;
  }

  // The parameter list, or null when a step is missing; TypeError when it is not a list.
  Ref find_parameters() const {
    Ref metadata = Tree::is_object(doc_) ? Tree::find(doc_, "metadata") : Ref();
    if (!metadata || !Tree::is_object(metadata)) return Ref();
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas || !Tree::is_object(canvas)) return Ref();
    Ref parameters = Tree::find(canvas, "parameters");
    if (parameters && !Tree::is_array(parameters)) {
      wrong_kind(parameters, "metadata.canvas.parameters", "list");
    }
    return parameters;
  }

  // Item `index` of `parameters`; TypeError when not an object.
  Ref parameter(Ref parameters, std::size_t index) const {
    Ref item = Tree::item(parameters, index);
    if (!Tree::is_object(item)) wrong_kind(item, parameter_path(index), "dict");
    return item;
  }

  // The "name" of parameter `index` (any kind): required, or null when absent.
  Ref parameter_name(Ref parameter, std::size_t index) const {
    Ref name = find_parameter_name(parameter);
    if (!name) missing(parameter_path(index) + ".name", "name");
    return name;
  }
  static Ref find_parameter_name(Ref parameter) { return Tree::find(parameter, "name"); }

  static std::string parameter_path(std::size_t index) {
    return "metadata.canvas.parameters[" + std::to_string(index) + "]";
  }

  // "<name>: <message>", the form of every error about this document.
  std::string where(std::string_view message) const { return name_ + ": " + std::string(message); }

  [[noreturn]] void missing(const std::string& path, const char* key) const {
    throw KeyError(key, where("missing " + path));
  }
  [[noreturn]] void wrong_kind(Ref r, const std::string& path, const char* expected) const {
    throw TypeError(where(path + " must be a " + expected + ", not " + Tree::type_name(r)));
  }

 private:
  void expect_document() const {
    if (!Tree::is_object(doc_)) {
      throw TypeError(
          where(std::string("the notebook must be a dict, not ") + Tree::type_name(doc_)));
    }
  }

  Ref doc_;
  std::string name_;
};

using Notebook = BasicNotebook<ValueTree>;

// The name of one version of a notebook in error messages: "<notebook> (<version> version)",
// for example "analysis/churn.ipynb (incoming version)".
std::string version_name(std::string_view notebook, std::string_view version);

// What keeps a document from being merged component by component.
struct PipelineProblem {
  std::optional<std::size_t> cell;  // the cell it concerns (index in "cells"), if one
  std::string what;                 // "has no component id", "has no cell list", ...
};

// The first thing that makes `doc` something other than a pipeline notebook, in document order:
// not an object, no "cells" list, a cell that is not an object or has no string at
// "metadata" -> "canvas" -> "id" (its component id), no list at "metadata" -> "canvas" ->
// "parameters". Nothing when it is one. Never throws a core error.
std::optional<PipelineProblem> pipeline_problem(const json::Value& doc);

// Reads a notebook file: its bytes as strict UTF-8 JSON. Errors name the notebook by `name`, or
// by `path` when `name` is empty: IoError when it cannot be read (its message also names `path`
// when `name` is given), UnicodeError, DecodeError or ValueError when it is not valid JSON.
json::Value read_notebook(const std::string& path, const std::string& name = {});

// The written form of a notebook file.
enum class Layout {
  kDefault,  // json::write: one line of ASCII, keys in document order
  kJupyter,  // json::write_pretty and a final newline: what Jupyter writes
};

// Replaces the file at `path` by `doc` in the written form `layout`, atomically: the text goes
// to a new file in the same directory, which is then renamed over `path`. A symbolic link is
// followed and its target replaced; the file's permission bits, extended attributes and ACLs
// are kept. A file with several hard links, or one whose owner or attributes a new file could
// not get, is written in place instead, with a copy of its old content beside it until the new
// one is on the device (see interrupted_write_backup()). On failure the file is left as it was
// and nothing else remains; throws IoError.
void write_notebook(const std::string& path, const json::Value& doc,
                    Layout layout = Layout::kDefault);

// The copy of its old content that an in-place write of the file at `path` keeps beside it
// ("<name>.qor-backup", in the directory of the file its links lead to) until the new content is
// on the device: its path when it is there, else nothing. One that is there tells that such a
// write was interrupted (SIGKILL, a power cut) and the file may hold neither version; until it
// is put back or removed, the file is not written (IoError names it).
std::optional<std::string> interrupted_write_backup(const std::string& path);

}  // namespace qor::notebook

#endif  // QOR_NOTEBOOK_H_
