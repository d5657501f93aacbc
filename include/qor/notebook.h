// The notebook model: cell views that read and write a cell's JSON object in place, and the
// reading and atomic writing of notebook files.
//
// A view holds a handle to the cell object and nothing else; every member reads or writes a key
// of that object. The views are templates over a tree type so that the very same rules work on
// the engines' json::Value documents and on the Python modules' dicts (see ValueTree for the
// operations a tree type provides).
#ifndef QOR_NOTEBOOK_H_
#define QOR_NOTEBOOK_H_

#include <cstddef>
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

// Splits a source text after each "\n"; the last line keeps no line end when the text does
// not end with one. An empty text has no lines.
std::vector<std::string_view> split_lines(std::string_view text);

// A cell component: a view over one cell object.
//   name      "metadata" -> "canvas" -> "name"; absent (or null) reads as "".
//   parents   "metadata" -> "canvas" -> "parents"; absent reads as no list (callers treat it
//             as empty; nothing is stored).
//   comments  "metadata" -> "canvas" -> "comments"; `add_comment` creates the list.
//   kelm_id   "metadata" -> "canvas" -> "id", the component id.
//   cell_id   the cell's own top-level "id".
//   source    "source": a list of lines, or one string read as its lines.
// Reads of name, parents and comments give their defaults when "metadata" or "canvas" is
// absent; writes create what is missing. A present value of the wrong kind is a TypeError.
template <class Tree>
class BasicCell {
 public:
  using Ref = typename Tree::Ref;
  using Owned = typename Tree::Owned;

  // Wraps `data`, which must stay alive as long as the view. Throws TypeError unless it is an
  // object.
  explicit BasicCell(Ref data) : data_(data) {
    if (!Tree::is_object(data_)) {
      throw TypeError(std::string("cell must be a dict, not ") + Tree::type_name(data_));
    }
  }

  Ref data() const { return data_; }

  // "metadata" -> "canvas", or null when either is absent.
  Ref find_canvas() const {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) return Ref();
    expect_object(metadata, "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) return Ref();
    expect_object(canvas, "canvas");
    return canvas;
  }

  // "metadata" -> "canvas"; KeyError naming the missing key.
  Ref canvas() const {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) throw KeyError("metadata");
    expect_object(metadata, "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) throw KeyError("canvas");
    expect_object(canvas, "canvas");
    return canvas;
  }

  // "metadata" -> "canvas", creating either when absent.
  Ref ensure_canvas() {
    Ref metadata = Tree::find(data_, "metadata");
    if (!metadata) metadata = Tree::set(data_, "metadata", Tree::make_object());
    expect_object(metadata, "metadata");
    Ref canvas = Tree::find(metadata, "canvas");
    if (!canvas) canvas = Tree::set(metadata, "canvas", Tree::make_object());
    expect_object(canvas, "canvas");
    return canvas;
  }

  std::string name() const {
    Ref canvas = find_canvas();
    if (!canvas) return std::string();
    Ref name = Tree::find(canvas, "name");
    if (!name || Tree::is_null(name)) return std::string();
    expect_string(name, "name");
    return Tree::to_string(name);
  }

  void set_name(std::string_view name) {
    Tree::set(ensure_canvas(), "name", Tree::make_string(name));
  }

  // The stored parent list, or null when absent.
  Ref parents() const { return find_list("parents"); }
  void set_parents(Owned list) { Tree::set(ensure_canvas(), "parents", std::move(list)); }

  // The stored comment list, or null when absent.
  Ref comments() const { return find_list("comments"); }

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
    expect_list(list, "comments");
    Tree::append(list, std::move(entry));
  }

  std::string kelm_id() const {
    Ref id = Tree::find(canvas(), "id");
    if (!id) throw KeyError("id");
    expect_string(id, "id");
    return Tree::to_string(id);
  }

  void set_kelm_id(std::string_view id) { Tree::set(ensure_canvas(), "id", Tree::make_string(id)); }
  void set_cell_id(std::string_view id) { Tree::set(data_, "id", Tree::make_string(id)); }

  // The stored "source" (a list, or a string to be split); KeyError when absent.
  Ref source() const {
    Ref source = Tree::find(data_, "source");
    if (!source) throw KeyError("source");
    if (!Tree::is_array(source) && !Tree::is_string(source)) {
      throw TypeError(std::string("cell source must be a list or a str, not ") +
                      Tree::type_name(source));
    }
    return source;
  }

  void set_source(Owned lines) { Tree::set(data_, "source", std::move(lines)); }

 protected:
  static void expect_object(Ref r, const char* key) {
    if (!Tree::is_object(r)) {
      throw TypeError(std::string("cell '") + key + "' must be a dict, not " + Tree::type_name(r));
    }
  }
  static void expect_list(Ref r, const char* key) {
    if (!Tree::is_array(r)) {
      throw TypeError(std::string("cell '") + key + "' must be a list, not " + Tree::type_name(r));
    }
  }
  static void expect_string(Ref r, const char* key) {
    if (!Tree::is_string(r)) {
      throw TypeError(std::string("cell '") + key + "' must be a str, not " + Tree::type_name(r));
    }
  }

  Ref find_list(const char* key) const {
    Ref canvas = find_canvas();
    if (!canvas) return Ref();
    Ref list = Tree::find(canvas, key);
    if (list) expect_list(list, key);
    return list;
  }

 private:
  Ref data_;
};

using Cell = BasicCell<ValueTree>;

// The lines of a cell's source: the stored list (whose items must be strings) or the stored
// string split into lines. Throws KeyError when "source" is absent, TypeError otherwise.
std::vector<std::string> source_lines(const Cell& cell);

// Reads a notebook file: its bytes as strict UTF-8 JSON. Errors name `path`: IoError when it
// cannot be read, UnicodeError, DecodeError or ValueError when it is not valid JSON.
json::Value read_notebook(const std::string& path);

// The written form of a notebook file.
enum class Layout {
  kDefault,  // json::write: one line of ASCII, keys in document order
  kJupyter,  // json::write_pretty and a final newline: what Jupyter writes
};

// Replaces the file at `path` by `doc` in the written form `layout`, atomically: the text goes
// to a temporary file in the same directory, which is then renamed over `path`. A symbolic
// link is followed and its target replaced; the file's permission bits are kept. On failure the
// file is left as it was and no temporary file remains; throws IoError.
void write_notebook(const std::string& path, const json::Value& doc,
                    Layout layout = Layout::kDefault);

}  // namespace qor::notebook

#endif  // QOR_NOTEBOOK_H_
