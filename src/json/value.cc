// The JSON value model: a 16-byte tagged value with inline short strings, heap strings, arrays
// and insertion-ordered objects, and arrays and objects still held as text (json/raw.h). Objects
// above a small size keep an open-addressing index of member positions so that lookups and the
// reader's duplicate-key handling stay linear.
#include "qor/json.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>

#include "json/byte_scan.h"
#include "json/raw.h"
#include "keyed_hash.h"
#include "qor/errors.h"

namespace qor::json {
namespace {

constexpr std::size_t kIndexThreshold = 12;
constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();

std::size_t hash_key(std::string_view key) noexcept { return qor::detail::keyed_hash(key); }

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
  store<Object*>(Object::boxed(std::move(o)));
  set_tag(Tag::kObject);
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
      Object::unbox(load<Object*>());
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
      store<Object*>(Object::boxed_copy(*other.load<Object*>()));
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

bool Value::text_lacks(std::initializer_list<std::string_view> needles) const noexcept {
  if (!is_raw()) return false;
  const std::string_view text = detail::RawAccess::view(*this).text;
  const auto found_at = [&](std::size_t i) {
    const std::string_view rest = text.substr(i);
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view needle) { return rest.starts_with(needle); });
  };
  // The first bytes of the needles are looked for sixteen at a time; each place where one
  // occurs is compared with the needles.
  std::size_t k = 0;
  for (; k + detail::kScanWidth <= text.size(); k += detail::kScanWidth) {
    unsigned mask = 0;
    for (std::string_view needle : needles) mask |= detail::mask_equal(text.data() + k, needle[0]);
    for (; mask != 0; mask &= mask - 1) {
      if (found_at(k + detail::first_set(mask))) return false;
    }
  }
  for (; k < text.size(); ++k) {
    if (found_at(k)) return false;
  }
  return true;
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

NumberKey number_key(const Value& v) {
  double d = 0.0;
  switch (v.type()) {
    case Type::kBool:
      return {NumberKey::kInteger, v.as_bool() ? 1u : 0u, {}};
    case Type::kInt:
      return {NumberKey::kInteger, static_cast<std::uint64_t>(v.as_int()), {}};
    case Type::kBigInt:
      return {NumberKey::kDigits, 0, std::string(v.big_int_digits())};
    default:
      d = v.as_real();
      break;
  }
  if (std::isfinite(d) && std::trunc(d) == d) {
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      return {NumberKey::kInteger, static_cast<std::uint64_t>(static_cast<std::int64_t>(d)), {}};
    }
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 0);
    return {NumberKey::kDigits, 0, std::string(buf, res.ptr)};
  }
  return {NumberKey::kRealBits,
          std::isnan(d) ? 0x7FF8000000000000ULL : std::bit_cast<std::uint64_t>(d),
          {}};
}

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

Object::Object(const Object& other) {
  if (other.size_ != 0) {
    grow(other.size_);
    for (std::uint32_t i = 0; i < other.size_; ++i) {
      new (&data_[i]) Member(other.data_[i]);
      ++size_;
    }
  }
  rebuild_index();
}

Object::Object(Object&& other) noexcept { *this = std::move(other); }

Object& Object::operator=(const Object& other) {
  if (this != &other) {
    Object copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Object& Object::operator=(Object&& other) noexcept {
  if (this == &other) return *this;
  clear_storage();
  if (other.in_block_) {
    // Members living in `other`'s block cannot change hands: move them one by one.
    if (other.size_ != 0) {
      const std::size_t bytes = other.size_ * sizeof(Member);
      data_ = static_cast<Member*>(::operator new(bytes));
      capacity_ = other.size_;
      for (std::uint32_t i = 0; i < other.size_; ++i)
        new (&data_[i]) Member(std::move(other.data_[i]));
      size_ = other.size_;
    }
    index_ = other.index_;
    index_slots_ = other.index_slots_;
    other.index_ = nullptr;
    other.index_slots_ = 0;
    other.clear_storage();
    return *this;
  }
  data_ = other.data_;
  size_ = other.size_;
  capacity_ = other.capacity_;
  index_ = other.index_;
  index_slots_ = other.index_slots_;
  other.data_ = nullptr;
  other.size_ = other.capacity_ = 0;
  other.index_ = nullptr;
  other.index_slots_ = 0;
  return *this;
}

Object::~Object() { clear_storage(); }

void Object::clear_storage() noexcept {
  for (std::uint32_t i = 0; i < size_; ++i) data_[i].~Member();
  if (!in_block_) ::operator delete(data_);
  delete[] index_;
  data_ = nullptr;
  size_ = capacity_ = 0;
  index_ = nullptr;
  index_slots_ = 0;
  in_block_ = false;
}

void Object::grow(std::size_t capacity) {
  if (capacity > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  auto* fresh = static_cast<Member*>(::operator new(capacity * sizeof(Member)));
  for (std::uint32_t i = 0; i < size_; ++i) {
    new (&fresh[i]) Member(std::move(data_[i]));
    data_[i].~Member();
  }
  if (!in_block_) ::operator delete(data_);
  data_ = fresh;
  capacity_ = static_cast<std::uint32_t>(capacity);
  in_block_ = false;
}

void Object::reserve(std::size_t n) {
  if (n > capacity_) grow(n);
}

Object* Object::boxed(Object&& from) {
  const std::size_t n = from.size_;
  void* block = ::operator new(sizeof(Object) + n * sizeof(Member));
  auto* box = new (block) Object();
  if (n != 0) {
    box->data_ = reinterpret_cast<Member*>(box + 1);
    box->capacity_ = static_cast<std::uint32_t>(n);
    box->in_block_ = true;
    for (std::size_t i = 0; i < n; ++i) new (&box->data_[i]) Member(std::move(from.data_[i]));
    box->size_ = static_cast<std::uint32_t>(n);
  }
  box->index_ = from.index_;
  box->index_slots_ = from.index_slots_;
  from.index_ = nullptr;
  from.index_slots_ = 0;
  from.clear_storage();
  return box;
}

Value Object::from_pairs(Value* pairs, std::size_t count) {
  void* block = ::operator new(sizeof(Object) + count * sizeof(Member));
  auto* box = new (block) Object();
  Value v;
  v.store<Object*>(box);
  v.set_tag(Value::Tag::kObject);
  if (count != 0) {
    box->data_ = reinterpret_cast<Member*>(box + 1);
    box->capacity_ = static_cast<std::uint32_t>(count);
    box->in_block_ = true;
    for (std::size_t i = 0; i < count; ++i) {
      new (&box->data_[i]) Member{std::move(pairs[2 * i]), std::move(pairs[2 * i + 1])};
      ++box->size_;
    }
    box->dedupe();
  }
  return v;
}

Object* Object::boxed_copy(const Object& from) {
  Object copy(from);
  return boxed(std::move(copy));
}

void Object::unbox(Object* box) noexcept {
  box->~Object();
  ::operator delete(box);
}

std::size_t Object::find_index(std::string_view key) const noexcept {
  const std::size_t n = size_;
  if (index_ == nullptr) {
    if (key.size() <= Value::kSmallMax) {
      // A short key is compared as the 16 bytes of the value that holds it.
      const Value pattern(key);
      std::uint64_t want[2];
      std::memcpy(want, pattern.bytes_, sizeof want);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t have[2];
        std::memcpy(have, data_[i].key.bytes_, sizeof have);
        if (have[0] == want[0] && have[1] == want[1]) return i;
      }
      return n;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (data_[i].name() == key) return i;
    }
    return n;
  }
  const std::size_t mask = index_slots_ - 1;
  for (std::size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t i = index_[slot];
    if (i == kEmptySlot) return n;
    if (data_[i].name() == key) return i;
  }
}

void Object::index_insert(std::size_t i) {
  const std::size_t mask = index_slots_ - 1;
  std::size_t slot = hash_key(data_[i].name()) & mask;
  while (index_[slot] != kEmptySlot) slot = (slot + 1) & mask;
  index_[slot] = static_cast<std::uint32_t>(i);
}

void Object::rebuild_index() {
  delete[] index_;
  index_ = nullptr;
  index_slots_ = 0;
  if (size_ <= kIndexThreshold) return;
  std::size_t cap = 32;
  while (cap < std::size_t{size_} * 2) cap *= 2;
  index_ = new std::uint32_t[cap];
  std::fill(index_, index_ + cap, kEmptySlot);
  index_slots_ = static_cast<std::uint32_t>(cap);
  for (std::size_t i = 0; i < size_; ++i) index_insert(i);
}

const Value* Object::find(std::string_view key) const noexcept {
  const std::size_t i = find_index(key);
  return i == size_ ? nullptr : &data_[i].value;
}

Value* Object::find(std::string_view key) noexcept {
  const std::size_t i = find_index(key);
  return i == size_ ? nullptr : &data_[i].value;
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
  Value key_value(key);
  if (size_ == capacity_) grow(capacity_ < 4 ? 4 : std::size_t{capacity_} * 2);
  new (&data_[size_]) Member{std::move(key_value), std::move(value)};
  ++size_;
  if (index_ != nullptr && std::size_t{size_} * 2 <= index_slots_) {
    index_insert(size_ - 1);
  } else if (size_ > kIndexThreshold) {
    rebuild_index();
  }
  return data_[size_ - 1].value;
}

Value& Object::operator[](std::string_view key) {
  if (Value* v = find(key)) return *v;
  return set(key, Value());
}

bool Object::erase(std::string_view key) {
  const std::size_t i = find_index(key);
  if (i == size_) return false;
  for (std::size_t j = i; j + 1 < size_; ++j) data_[j] = std::move(data_[j + 1]);
  data_[size_ - 1].~Member();
  --size_;
  if (index_ != nullptr) rebuild_index();
  return true;
}

void Object::append_unchecked(Value key, Value value) {
  if (size_ == capacity_) grow(capacity_ < 4 ? 4 : std::size_t{capacity_} * 2);
  new (&data_[size_]) Member{std::move(key), std::move(value)};
  ++size_;
}

void Object::dedupe() {
  const std::size_t n = size_;
  if (n <= kIndexThreshold) {
    bool dup = false;
    for (std::size_t i = 1; i < n && !dup; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (data_[i].name() == data_[j].name()) {
          dup = true;
          break;
        }
      }
    }
    if (!dup) return;
  }
  // Rebuild through the index: a repeated key overwrites the value at its first place.
  Object all(std::move(*this));
  reserve(all.size_);
  for (std::uint32_t k = 0; k < all.size_; ++k) {
    Member& m = all.data_[k];
    if (Value* v = find(m.name())) {
      *v = std::move(m.value);
    } else {
      new (&data_[size_]) Member(std::move(m));
      ++size_;
      if (size_ > kIndexThreshold) {
        if (index_ == nullptr || std::size_t{size_} * 2 > index_slots_) {
          rebuild_index();
        } else {
          index_insert(size_ - 1);
        }
      }
    }
  }
}

}  // namespace qor::json
