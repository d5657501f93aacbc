// JSON values as the qor engines hold them, and the reader and writer that turn them into text.
//
// The model follows CPython's json module: objects keep insertion order, integers of any size are
// kept exactly, reals are doubles, strings are UTF-8 (lone UTF-16 surrogates, which JSON escapes
// can express, are kept as 3-byte sequences and written back as escapes). `parse` accepts exactly
// what `json.loads` accepts and `write` produces exactly the bytes of `json.dumps` with default
// options. Values have value semantics: copying a value copies the whole tree.
#ifndef QOR_JSON_H_
#define QOR_JSON_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor::json {

// Deepest nesting of arrays and objects the reader, the writer and the converters accept.
inline constexpr std::size_t kMaxDepth = 1000;

enum class Type : std::uint8_t { kNull, kBool, kInt, kBigInt, kReal, kString, kArray, kObject };

class Value;
class Object;
using Array = std::vector<Value>;

namespace detail {
struct RawAccess;
}

// One JSON value. 16 bytes; strings of up to 14 bytes are stored inline.
//
// An array or object that parse_lazy() left as text is a value like any other: it reports its
// type, and the first look into it (as_array(), as_object(), find(), a comparison that needs
// its members) reads its members in place, also through a const reference. One such value is
// therefore not safe to read from two threads at once (two different values are).
class Value {
 public:
  Value() noexcept { set_tag(Tag::kNull); }
  Value(std::nullptr_t) noexcept : Value() {}
  Value(bool b) noexcept;
  Value(int i) noexcept : Value(static_cast<long long>(i)) {}
  Value(long i) noexcept : Value(static_cast<long long>(i)) {}
  Value(long long i) noexcept;
  Value(double d) noexcept;
  Value(std::string_view s);
  Value(const char* s) : Value(std::string_view(s)) {}
  Value(const std::string& s) : Value(std::string_view(s)) {}
  Value(Array a);
  Value(Object o);
  // An integer outside the 64-bit range, as its decimal digits with an optional leading '-'.
  // Digits that fit 64 bits give an ordinary integer. Throws ValueError on a malformed text.
  static Value integer_from_digits(std::string_view digits);
  static Value array(std::initializer_list<Value> items = {});
  static Value object();

  Value(const Value& other);
  Value(Value&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.set_tag(Tag::kNull);
  }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value() {
    if (owns_memory()) destroy();
  }

  Type type() const noexcept {
    switch (tag()) {
      case Tag::kSmallString:
        return Type::kString;
      case Tag::kRawArray:
        return Type::kArray;
      case Tag::kRawObject:
        return Type::kObject;
      default:
        return static_cast<Type>(tag());
    }
  }
  bool is_null() const noexcept { return tag() == Tag::kNull; }
  bool is_bool() const noexcept { return tag() == Tag::kBool; }
  bool is_int() const noexcept { return tag() == Tag::kInt; }
  bool is_big_int() const noexcept { return tag() == Tag::kBigInt; }
  bool is_real() const noexcept { return tag() == Tag::kReal; }
  bool is_string() const noexcept { return tag() == Tag::kSmallString || tag() == Tag::kString; }
  bool is_array() const noexcept { return tag() == Tag::kArray || tag() == Tag::kRawArray; }
  bool is_object() const noexcept { return tag() == Tag::kObject || tag() == Tag::kRawObject; }
  // Whether this is an array or object still held as the text it was read from.
  bool is_raw() const noexcept { return tag() == Tag::kRawArray || tag() == Tag::kRawObject; }
  bool is_container() const noexcept { return is_array() || is_object(); }

  // Typed access. Each throws TypeError ("expected str, got int") on another type.
  bool as_bool() const {
    if (!is_bool()) type_error("bool");
    return load<std::uint64_t>() != 0;
  }
  std::int64_t as_int() const {
    if (!is_int()) type_error("int");
    return load<std::int64_t>();
  }
  double as_real() const {
    if (!is_real()) type_error("float");
    return load<double>();
  }
  std::string_view as_string() const {
    if (tag() == Tag::kSmallString) {
      return std::string_view(reinterpret_cast<const char*>(bytes_ + 2), bytes_[1]);
    }
    if (tag() != Tag::kString) type_error("str");
    return heap_text();
  }
  std::string_view big_int_digits() const {
    if (!is_big_int()) type_error("int");
    return heap_text();
  }
  const Array& as_array() const {
    if (tag() != Tag::kArray) array_slow();
    return *load<Array*>();
  }
  Array& as_array() {
    if (tag() != Tag::kArray) array_slow();
    return *load<Array*>();
  }
  const Object& as_object() const {
    if (tag() != Tag::kObject) object_slow();
    return *load<Object*>();
  }
  Object& as_object() {
    if (tag() != Tag::kObject) object_slow();
    return *load<Object*>();
  }

  // Object member lookup; nullptr when this is not an object or the key is absent.
  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;

  // Whether this is an array or object still held as text in which no string (key or value,
  // at any depth) contains any of `needles` (one pass over the text, however many there are).
  // Each must be non-empty printable ASCII without '"' and '\\', characters that the text
  // carries unescaped. False means "not known", never "present".
  bool text_lacks(std::initializer_list<std::string_view> needles) const noexcept;

  // Structural equality: key order does not count; numbers by value across int, big int, real
  // and bool (true == 1); NaN equals NaN, as CPython's comparisons see the one NaN object that
  // the json module yields for every NaN it reads.
  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

  // The heap block of a long string, a list or an object (nullptr for other values), and the
  // first item of a non-empty list or object (else nullptr): addresses for the writer to
  // prefetch. The second reads the block the first names.
  const void* heap_block() const noexcept {
    return tag() == Tag::kString || tag() == Tag::kArray || tag() == Tag::kObject ||
                   tag() == Tag::kRawArray || tag() == Tag::kRawObject
               ? load<const void*>()
               : nullptr;
  }
  const void* first_item() const noexcept;

  // Python's name of this value's type: "dict", "list", "str", "int", "float", "bool",
  // "NoneType".
  const char* type_name() const noexcept;

 private:
  enum class Tag : std::uint8_t {
    kNull,
    kBool,
    kInt,
    kBigInt,
    kReal,
    kString,
    kArray,
    kObject,
    kSmallString,
    kRawArray,  // text of an array, see detail::RawAccess
    kRawObject
  };
  static constexpr std::size_t kSmallMax = 14;

  Tag tag() const noexcept { return static_cast<Tag>(bytes_[0]); }
  void set_tag(Tag t) noexcept { bytes_[0] = static_cast<unsigned char>(t); }
  template <class T>
  T load() const noexcept {
    T v;
    std::memcpy(&v, bytes_ + 8, sizeof v);
    return v;
  }
  template <class T>
  void store(T v) noexcept {
    std::memcpy(bytes_ + 8, &v, sizeof v);
  }
  std::string_view heap_text() const noexcept {
    std::uint32_t len;
    std::memcpy(&len, bytes_ + 4, sizeof len);
    return std::string_view(load<char*>(), len);
  }
  void init_string(Tag long_tag, std::string_view s);
  // Whether destroy() has anything to free: heap strings, lists, objects and raw values.
  bool owns_memory() const noexcept {
    return tag() != Tag::kNull && tag() != Tag::kBool && tag() != Tag::kInt &&
           tag() != Tag::kReal && tag() != Tag::kSmallString;
  }
  void destroy() noexcept;
  void copy_from(const Value& other);
  [[noreturn]] void type_error(const char* expected) const;
  // Reads the members of a value held as text, in place; then throws unless it is of the kind
  // asked for.
  void array_slow() const;
  void object_slow() const;
  void materialize() const;

  friend struct detail::RawAccess;
  friend class Object;

  // Mutable: reading the members of a value held as text replaces the text by them, also when
  // the value is reached through a const reference.
  alignas(8) mutable unsigned char bytes_[16];
};

// An object: members in insertion order, looked up by key. Large objects keep a hash index.
//
// The members of an object held by a Value share one block with it, so that a lookup touches
// one place in memory. References, pointers and iterators to members (and to values inside
// them) stay valid across lookups and across assignments to an existing key's value (which
// replace that value, so references into the old value end). Adding a key (set or operator[]
// with a new key, append_unchecked), reserve and dedupe may move every member; erase moves the
// members after the erased one. Read what you need before such a call.
class Object {
 public:
  struct Member {
    Value key;  // always a string
    Value value;
    std::string_view name() const { return key.as_string(); }
  };
  using iterator = Member*;
  using const_iterator = const Member*;

  Object() noexcept = default;
  Object(std::initializer_list<std::pair<std::string_view, Value>> members);
  Object(const Object& other);
  Object(Object&& other) noexcept;
  Object& operator=(const Object& other);
  Object& operator=(Object&& other) noexcept;
  ~Object();

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  iterator begin() noexcept { return data_; }
  iterator end() noexcept { return data_ + size_; }
  const_iterator begin() const noexcept { return data_; }
  const_iterator end() const noexcept { return data_ + size_; }

  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
  // The value under `key`; throws KeyError when absent.
  const Value& at(std::string_view key) const;
  Value& at(std::string_view key);
  // Stores `value` under `key`: an existing key keeps its place, a new key goes last.
  Value& set(std::string_view key, Value value);
  // The value under `key`, appending null under it when absent.
  Value& operator[](std::string_view key);
  // Removes `key`; the members after it close the gap. Returns whether it was present.
  bool erase(std::string_view key);

  // For the reader: appends members whose keys may repeat, then `dedupe` keeps each repeated
  // key once, at its first place, with its last value.
  void append_unchecked(Value key, Value value);
  void dedupe();
  void reserve(std::size_t n);
  // For the reader: the object of the `count` members given as key, value, key, value... (keys
  // may repeat, as for append_unchecked), moved out of `pairs`.
  static Value from_pairs(Value* pairs, std::size_t count);

 private:
  friend class Value;
  // An object in one block with room for its members, holding what `from` held; and its end.
  static Object* boxed(Object&& from);
  static Object* boxed_copy(const Object& from);
  static void unbox(Object* boxed) noexcept;

  std::size_t find_index(std::string_view key) const noexcept;
  void rebuild_index();
  void index_insert(std::size_t i);
  void grow(std::size_t capacity);
  void clear_storage() noexcept;

  Member* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
  std::uint32_t* index_ = nullptr;  // open addressing over the members; null when small
  std::uint32_t index_slots_ = 0;
  bool in_block_ = false;  // data_ is the room after this object in its block (not freed alone)
};

inline const void* Value::first_item() const noexcept {
  if (tag() == Tag::kArray) {
    const Array& a = *load<const Array*>();
    return a.empty() ? nullptr : a.data();
  }
  if (tag() == Tag::kObject) {
    const Object& o = *load<const Object*>();
    return o.empty() ? nullptr : &*o.begin();
  }
  return nullptr;
}

// A number as equality sees it, for hashing: equal numbers of any kind (a bool counts as 0 or
// 1) give equal keys. An integral value is its 64-bit value when it fits (kInteger), else its
// decimal digits (kDigits); any other real is its bits, one NaN standing for all (kRealBits).
struct NumberKey {
  enum Kind : std::uint8_t { kInteger, kDigits, kRealBits };
  Kind kind = kInteger;
  std::uint64_t word = 0;  // kInteger and kRealBits
  std::string digits;      // kDigits
};
// Throws TypeError unless `v` is a bool or a number.
NumberKey number_key(const Value& v);

// Parses one JSON document from UTF-8 bytes, as `json.loads(text.decode('utf-8'))` would.
// Throws UnicodeError for bytes that are not strict UTF-8, DecodeError for invalid JSON
// (message and position as CPython gives them), ValueError for integers of more than 4300
// digits (CPython's conversion limit) and DecodeError for nesting deeper than kMaxDepth.
// `source`, when not empty, names where the text came from (a file) in every error.
Value parse(std::string_view text, const std::string& source = {});

// Called by a long parse now and then, for instance to poll for interruption.
using ProgressFn = void (*)(void* context);

// Which values parse_lazy() may leave as text.
struct LazyOptions {
  // Arrays and objects nested this many levels deep or deeper (the top-level value is at
  // level 0) may stay text...
  std::size_t depth = 0;
  // ...except those under a member with one of these keys, which are read whole (parts that
  // every user of the document looks into). The strings must outlive the parse.
  std::span<const std::string_view> built_keys;
  // Called once at the start and then after every few megabytes of text.
  ProgressFn progress = nullptr;
  void* progress_context = nullptr;
};

// parse() that leaves the arrays and objects that `options` allows as slices of `text` when
// their text is already in the written form of write(), or differs from it only in the white
// space between tokens; the members of such a value are read when it is first looked into, and
// an untouched one is written by copying its text. `text` must stay unchanged while any value
// refers to it: `owner` keeps it alive (the values share it). Accepts and rejects exactly what
// parse() does, with the same errors.
Value parse_lazy(std::string_view text, const std::string& source,
                 std::shared_ptr<const void> owner, const LazyOptions& options);

// The value that `path` (keys of nested objects, outermost first) leads to from `v`, found
// without reading an array or object held as text (parse_lazy()) on the way: a copy of it, in
// which an array or object held as text stays so (cheap), while one already read is copied
// whole. Nothing when a step meets no object, or an object without the step's key. The keys
// must be printable ASCII without '"' and '\\'. Nothing held as text is read on the way, so
// one member of many values held as text costs a scan of their texts, never their members.
std::optional<Value> find_path(const Value& v, std::initializer_list<std::string_view> path);

// Appends the strings that `array` holds to `out`, one after the other, reading an array held as
// text (parse_lazy()) from its text without reading it into members. Returns false, having
// appended nothing, when `array` is not an array or holds anything but strings.
bool append_string_items(const Value& array, std::string& out);

// Throws UnicodeError naming the first invalid sequence unless `bytes` is strict UTF-8.
void check_utf8(std::string_view bytes, const std::string& source = {});

// Appends the text of `json.dumps(value)` to `out`. Throws ValueError for nesting deeper than
// kMaxDepth. Like write_pretty(), never changes `value`, not even by reading a value held as
// text in place (one that must be read is read into a value of its own): other threads may read
// `value` meanwhile.
void write(const Value& value, std::string& out);
std::string write(const Value& value);

// Hands the same text to `emit` in pieces of about 256 KiB, through one reused buffer, so
// that a large document is never held as text in memory. Exceptions from `emit` pass through.
void write(const Value& value, const std::function<void(std::string_view)>& emit);

// Appends a real as the writer writes it, which is Python's repr(float) ("1e-05", "100.0",
// "NaN", "Infinity").
void append_real(double d, std::string& out);

// Appends the text of `json.dumps(value, sort_keys=True, indent=1, ensure_ascii=False)`, the
// form Jupyter saves notebooks in (the caller adds its final newline): keys sorted by code
// point, one-blank indentation, characters beyond ASCII written as they are. One difference: a
// lone surrogate, which that text could not carry into a UTF-8 file, is written as its \uXXXX
// escape, so the text stays valid UTF-8 and reads back as the same value. Throws ValueError for
// nesting deeper than kMaxDepth.
void write_pretty(const Value& value, std::string& out);

// write_pretty() handing the text to `emit` in pieces of about a megabyte.
void write_pretty(const Value& value, const std::function<void(std::string_view)>& emit);

// Renders `value` as Python's repr() would render the corresponding Python object (for logs).
void append_py_repr(const Value& value, std::string& out);
// Appends Python's repr() of the str that `text` (UTF-8, possibly with lone surrogates) holds.
void append_py_str_repr(std::string_view text, std::string& out);

}  // namespace qor::json

#endif  // QOR_JSON_H_
