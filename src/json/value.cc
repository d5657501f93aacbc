// The JSON value model: a 16-byte tagged value with inline short strings, heap strings, arrays
// and insertion-ordered objects, and arrays and objects still held as text (json/raw.h). Objects
// above a small size keep an open-addressing index of member positions so that lookups and the
// reader's duplicate-key handling stay linear.
#include "qor/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>

#include "json/raw.h"
#include "qor/errors.h"

namespace qor::json {
namespace {

constexpr std::size_t kIndexThreshold = 12;
constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();

std::size_t hash_key(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

bool valid_integer_text(std::string_view digits) {
  std::size_t i = (!digits.empty() && digits[0] == '-') ? 1 : 0;
  if (i == digits.size()) return false;
  for (; i < digits.size(); ++i) {
    if (digits[i] < '0' || digits[i] > '9') return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Value

static_assert(sizeof(Value) == 16);

Value::Value(bool b) noexcept {
  set_tag(Tag::kBool);
  store<std::uint64_t>(b ? 1 : 0);
}

Value::Value(long long i) noexcept {
  set_tag(Tag::kInt);
  store<std::int64_t>(i);
}

Value::Value(double d) noexcept {
  set_tag(Tag::kReal);
  store<double>(d);
}

Value::Value(std::string_view s) { init_string(Tag::kString, s); }

Value::Value(Array a) {
  set_tag(Tag::kArray);
  store<Array*>(new Array(std::move(a)));
}

Value::Value(Object o) {
  set_tag(Tag::kObject);
  store<Object*>(new Object(std::move(o)));
}

void Value::init_string(Tag long_tag, std::string_view s) {
  if (long_tag == Tag::kString && s.size() <= kSmallMax) {
    // The unused bytes stay zero, so that two short strings are equal exactly when their 16
    // bytes are (Object::find_index relies on it).
    std::memset(bytes_, 0, sizeof bytes_);
    set_tag(Tag::kSmallString);
    bytes_[1] = static_cast<unsigned char>(s.size());
    if (!s.empty()) std::memcpy(bytes_ + 2, s.data(), s.size());
    return;
  }
  if (s.size() > std::numeric_limits<std::uint32_t>::max()) {
    set_tag(Tag::kNull);
    throw ValueError("string of " + std::to_string(s.size()) + " bytes is too long");
  }
  char* p = static_cast<char*>(std::malloc(s.empty() ? 1 : s.size()));
  if (p == nullptr) {
    set_tag(Tag::kNull);
    throw std::bad_alloc();
  }
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  set_tag(long_tag);
  const auto len = static_cast<std::uint32_t>(s.size());
  std::memcpy(bytes_ + 4, &len, sizeof len);
  store<char*>(p);
}

Value Value::integer_from_digits(std::string_view digits) {
  if (!valid_integer_text(digits)) {
    throw ValueError("invalid literal for int() with base 10: " + py_quote(std::string(digits)));
  }
  const bool negative = digits[0] == '-';
  std::string_view magnitude = digits.substr(negative ? 1 : 0);
  while (magnitude.size() > 1 && magnitude[0] == '0') magnitude.remove_prefix(1);
  // Anything that fits 64 bits is an ordinary integer; a big int is always outside that range.
  if (magnitude.size() <= 19) {
    unsigned long long m = std::strtoull(std::string(magnitude).c_str(), nullptr, 10);
    if (!negative && m <= static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      return Value(static_cast<long long>(m));
    }
    if (negative && m <= 9223372036854775808ULL) {
      return Value(m == 9223372036854775808ULL ? std::numeric_limits<long long>::min()
                                               : -static_cast<long long>(m));
    }
  }
  std::string normal;
  if (negative && magnitude != "0") normal.push_back('-');
  normal.append(magnitude);
  Value v;
  v.init_string(Tag::kBigInt, normal);
  return v;
}

Value Value::array(std::initializer_list<Value> items) { return Value(Array(items)); }

Value Value::object() { return Value(Object()); }

Value::Value(const Value& other) { copy_from(other); }

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value tmp(other);
    *this = std::move(tmp);
  }
  return *this;
}

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    // `other` may live inside this value's tree: detach it before destroying ours.
    unsigned char saved[16];
    std::memcpy(saved, other.bytes_, sizeof saved);
    other.set_tag(Tag::kNull);
    destroy();
    std::memcpy(bytes_, saved, sizeof bytes_);
  }
  return *this;
}

void Value::destroy() noexcept {
  switch (tag()) {
    case Tag::kString:
    case Tag::kBigInt:
      std::free(load<char*>());
      break;
    case Tag::kArray:
      delete load<Array*>();
      break;
    case Tag::kObject:
      delete load<Object*>();
      break;
    case Tag::kRawArray:
    case Tag::kRawObject:
      load<detail::RawNode*>()->block->release();
      break;
    default:
      break;
  }
  set_tag(Tag::kNull);
}

void Value::copy_from(const Value& other) {
  switch (other.tag()) {
    case Tag::kString:
    case Tag::kBigInt: {
      std::uint32_t len;
      std::memcpy(&len, other.bytes_ + 4, sizeof len);
      set_tag(Tag::kNull);
      init_string(other.tag(), std::string_view(other.load<char*>(), len));
      break;
    }
    case Tag::kArray:
      set_tag(Tag::kNull);
      store<Array*>(new Array(*other.load<Array*>()));
      set_tag(Tag::kArray);
      break;
    case Tag::kObject:
      set_tag(Tag::kNull);
      store<Object*>(new Object(*other.load<Object*>()));
      set_tag(Tag::kObject);
      break;
    case Tag::kRawArray:
    case Tag::kRawObject:
      // The text never changes: a copy shares it.
      other.load<detail::RawNode*>()->block->retain();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      break;
    default:
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      break;
  }
}

const char* Value::type_name() const noexcept {
  switch (type()) {
    case Type::kNull:
      return "NoneType";
    case Type::kBool:
      return "bool";
    case Type::kInt:
    case Type::kBigInt:
      return "int";
    case Type::kReal:
      return "float";
    case Type::kString:
      return "str";
    case Type::kArray:
      return "list";
    case Type::kObject:
      return "dict";
  }
  return "object";
}

void Value::type_error(const char* expected) const {
  throw TypeError(std::string("expected ") + expected + ", got " + type_name());
}

void Value::materialize() const {
  const detail::RawView raw = detail::RawAccess::view(*this);
  Value members = detail::RawAccess::read(raw);
  raw.node->block->release();
  std::memcpy(bytes_, members.bytes_, sizeof bytes_);
  members.set_tag(Tag::kNull);
}

void Value::array_slow() const {
  if (tag() == Tag::kRawArray) materialize();
  if (tag() != Tag::kArray) type_error("list");
}

void Value::object_slow() const {
  if (tag() == Tag::kRawObject) materialize();
  if (tag() != Tag::kObject) type_error("dict");
}

const Value* Value::find(std::string_view key) const noexcept {
  // Reading the members of a raw object can only fail for want of memory.
  return is_object() ? as_object().find(key) : nullptr;
}

Value* Value::find(std::string_view key) noexcept {
  return is_object() ? as_object().find(key) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Values held as text

namespace detail {

RawNode* RawBlock::new_node(const char* begin) {
  constexpr std::size_t kChunk = 1024;
  if (chunks.empty() || used == kChunk) {
    chunks.push_back(std::make_unique<RawNode[]>(kChunk));
    used = 0;
  }
  RawNode* node = &chunks.back()[used++];
  node->block = this;
  node->begin = begin;
  return node;
}

Value RawAccess::make(RawBlock* block, std::string_view text, std::uint8_t form,
                      std::size_t depth) {
  Value v;
  RawNode* node = block->new_node(text.data());
  block->retain();
  v.bytes_[1] = form;
  const auto depth16 = static_cast<std::uint16_t>(depth);
  std::memcpy(v.bytes_ + 2, &depth16, sizeof depth16);
  const auto len = static_cast<std::uint32_t>(text.size());
  std::memcpy(v.bytes_ + 4, &len, sizeof len);
  v.store<RawNode*>(node);
  v.set_tag(text[0] == '{' ? Value::Tag::kRawObject : Value::Tag::kRawArray);
  return v;
}

RawView RawAccess::view(const Value& v) {
  RawView r;
  r.node = v.load<RawNode*>();
  std::uint32_t len;
  std::memcpy(&len, v.bytes_ + 4, sizeof len);
  r.text = std::string_view(r.node->begin, len);
  r.form = v.bytes_[1];
  std::memcpy(&r.depth, v.bytes_ + 2, sizeof r.depth);
  r.is_object = v.tag() == Value::Tag::kRawObject;
  return r;
}

Value RawAccess::read(const RawView& raw) {
  const std::lock_guard<std::mutex> lock(raw.node->block->reading);
  return read_trusted(raw.text, raw.node->block, raw.form);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Equality

namespace {

// Compares an integer given by its decimal digits with a double, exactly.
bool digits_equal_real(std::string_view digits, double d) {
  if (!std::isfinite(d) || std::trunc(d) != d) return false;
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 0);
  std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  if (text == "-0") text = "0";
  return text == digits;
}

bool int_equal_real(std::int64_t i, double d) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  if (std::trunc(d) != d) return false;
  return static_cast<std::int64_t>(d) == i;
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
  using Tag = Value::Tag;
  if (a.is_raw() && b.is_raw() && a.tag() == b.tag() &&
      detail::raw_texts_equal(detail::RawAccess::view(a), detail::RawAccess::view(b))) {
    return true;
  }
  if (a.is_raw()) a.materialize();
  if (b.is_raw()) b.materialize();
  const Tag ta = a.tag(), tb = b.tag();
  const bool sa = ta == Tag::kSmallString || ta == Tag::kString;
  const bool sb = tb == Tag::kSmallString || tb == Tag::kString;
  if (sa || sb) return sa && sb && a.as_string() == b.as_string();
  if (ta == Tag::kArray || tb == Tag::kArray) {
    if (ta != tb) return false;
    const Array& x = a.as_array();
    const Array& y = b.as_array();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!(x[i] == y[i])) return false;
    }
    return true;
  }
  if (ta == Tag::kObject || tb == Tag::kObject) {
    if (ta != tb) return false;
    const Object& x = a.as_object();
    const Object& y = b.as_object();
    if (x.size() != y.size()) return false;
    for (const auto& m : x) {
      const Value* other = y.find(m.name());
      if (other == nullptr || !(m.value == *other)) return false;
    }
    return true;
  }
  if (ta == Tag::kNull || tb == Tag::kNull) return ta == tb;
  // Numbers and booleans compare by value; a bool counts as 0 or 1.
  auto as_int = [](const Value& v) {
    return v.tag() == Tag::kBool ? static_cast<std::int64_t>(v.load<std::uint64_t>())
                                 : v.load<std::int64_t>();
  };
  const bool ia = ta == Tag::kInt || ta == Tag::kBool;
  const bool ib = tb == Tag::kInt || tb == Tag::kBool;
  if (ia && ib) return as_int(a) == as_int(b);
  if (ta == Tag::kReal && tb == Tag::kReal) {
    const double x = a.load<double>(), y = b.load<double>();
    return x == y || (std::isnan(x) && std::isnan(y));
  }
  if (ta == Tag::kBigInt && tb == Tag::kBigInt) return a.big_int_digits() == b.big_int_digits();
  if (ta == Tag::kBigInt || tb == Tag::kBigInt) {
    const Value& big = ta == Tag::kBigInt ? a : b;
    const Value& other = ta == Tag::kBigInt ? b : a;
    return other.tag() == Tag::kReal &&
           digits_equal_real(big.big_int_digits(), other.load<double>());
  }
  // One int or bool, one real.
  const Value& r = ta == Tag::kReal ? a : b;
  const Value& i = ta == Tag::kReal ? b : a;
  return int_equal_real(as_int(i), r.load<double>());
}

// ---------------------------------------------------------------------------------------------
// Object

Object::Object(std::initializer_list<std::pair<std::string_view, Value>> members) {
  for (const auto& [k, v] : members) set(k, v);
}

Object::Object(const Object& other) : members_(other.members_), index_(other.index_) {}

Object& Object::operator=(const Object& other) {
  if (this != &other) {
    members_ = other.members_;
    index_ = other.index_;
  }
  return *this;
}

std::size_t Object::find_index(std::string_view key) const noexcept {
  if (index_.empty()) {
    const std::size_t n = members_.size();
    if (key.size() <= Value::kSmallMax) {
      // A short key is compared as the 16 bytes of the value that holds it.
      const Value pattern(key);
      std::uint64_t want[2];
      std::memcpy(want, pattern.bytes_, sizeof want);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t have[2];
        std::memcpy(have, members_[i].key.bytes_, sizeof have);
        if (have[0] == want[0] && have[1] == want[1]) return i;
      }
      return n;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (members_[i].name() == key) return i;
    }
    return n;
  }
  const std::size_t mask = index_.size() - 1;
  for (std::size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t i = index_[slot];
    if (i == kEmptySlot) return members_.size();
    if (members_[i].name() == key) return i;
  }
}

void Object::index_insert(std::size_t i) {
  const std::size_t mask = index_.size() - 1;
  std::size_t slot = hash_key(members_[i].name()) & mask;
  while (index_[slot] != kEmptySlot) slot = (slot + 1) & mask;
  index_[slot] = static_cast<std::uint32_t>(i);
}

void Object::rebuild_index() {
  index_.clear();
  if (members_.size() <= kIndexThreshold) {
    index_.shrink_to_fit();
    return;
  }
  std::size_t cap = 32;
  while (cap < members_.size() * 2) cap *= 2;
  index_.assign(cap, kEmptySlot);
  for (std::size_t i = 0; i < members_.size(); ++i) index_insert(i);
}

const Value* Object::find(std::string_view key) const noexcept {
  const std::size_t i = find_index(key);
  return i == members_.size() ? nullptr : &members_[i].value;
}

Value* Object::find(std::string_view key) noexcept {
  const std::size_t i = find_index(key);
  return i == members_.size() ? nullptr : &members_[i].value;
}

const Value& Object::at(std::string_view key) const {
  const Value* v = find(key);
  if (v == nullptr) throw KeyError(std::string(key));
  return *v;
}

Value& Object::at(std::string_view key) {
  Value* v = find(key);
  if (v == nullptr) throw KeyError(std::string(key));
  return *v;
}

Value& Object::set(std::string_view key, Value value) {
  if (Value* v = find(key)) {
    *v = std::move(value);
    return *v;
  }
  members_.push_back(Member{Value(key), std::move(value)});
  if (!index_.empty() && members_.size() * 2 <= index_.size()) {
    index_insert(members_.size() - 1);
  } else if (members_.size() > kIndexThreshold) {
    rebuild_index();
  }
  return members_.back().value;
}

Value& Object::operator[](std::string_view key) {
  if (Value* v = find(key)) return *v;
  return set(key, Value());
}

bool Object::erase(std::string_view key) {
  const std::size_t i = find_index(key);
  if (i == members_.size()) return false;
  members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(i));
  if (!index_.empty()) rebuild_index();
  return true;
}

void Object::append_unchecked(Value key, Value value) {
  members_.push_back(Member{std::move(key), std::move(value)});
}

void Object::dedupe() {
  const std::size_t n = members_.size();
  if (n <= kIndexThreshold) {
    bool dup = false;
    for (std::size_t i = 1; i < n && !dup; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (members_[i].name() == members_[j].name()) {
          dup = true;
          break;
        }
      }
    }
    if (!dup) return;
  }
  // Rebuild through the index: a repeated key overwrites the value at its first place.
  std::vector<Member> all = std::move(members_);
  members_.clear();
  members_.reserve(all.size());
  index_.clear();
  for (auto& m : all) {
    std::string_view name = m.name();
    if (Value* v = find(name)) {
      *v = std::move(m.value);
    } else {
      members_.push_back(std::move(m));
      if (members_.size() > kIndexThreshold) {
        if (index_.empty() || members_.size() * 2 > index_.size()) {
          rebuild_index();
        } else {
          index_insert(members_.size() - 1);
        }
      }
    }
  }
  members_.shrink_to_fit();
}

}  // namespace qor::json
