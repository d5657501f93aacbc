// The JSON reader: a recursive-descent parser that mirrors the control flow of CPython's json
// scanner, so that it accepts the same texts, builds the same values and reports the same message
// at the same position. The input is first checked to be strict UTF-8 (as decoding a file's bytes
// would), which lets the string scanner copy bytes without decoding them. A lazy read checks
// deep arrays and objects without building them, and keeps those already in written form as
// slices of the text (json/raw.h).

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "json/byte_scan.h"
#include "json/escape.h"
#include "json/item_texts.h"
#include "json/raw.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

constexpr std::size_t kMaxIntDigits = 4300;

// Appends code point `cp` in UTF-8; surrogates get the 3-byte form so that they survive.
void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Skip {};
// What the reader's functions return: the value read, or nothing when they only check.
template <bool kBuild>
using Ret = std::conditional_t<kBuild, Value, Skip>;

// Whether the escape `\uXXXX` of code point `cp` is how the writer writes that character.
bool written_as_u_escape(long cp) {
  return (cp < 0x20 && cp != '\b' && cp != '\t' && cp != '\n' && cp != '\f' && cp != '\r') ||
         cp >= 0x7F;
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Whether every byte of `text` is below DEL (0x7F).
bool ascii_below_del(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x7F; });
}

// Arrays and objects above this size stay raw when the members of a raw value are read.
constexpr std::size_t kRawMin = 128;
// Objects with more members than this are never raw (their keys are not checked for repeats).
constexpr std::size_t kRawMaxMembers = 16;

// Every function reading a kind of value comes in two modes: kBuild = true builds the value,
// kBuild = false only checks the text (with the same errors at the same places) and notes in
// form_ whether the text is in written form (json/raw.h: kExact, kSpaced, with kUnicode when
// its strings hold characters the writer escapes). Both follow CPython's scanner step by step.
// The reader's working storage, kept per thread so that the many small reads of raw values do
// not allocate it anew each time.
struct Work {
  std::vector<Value> stack;  // children of the open arrays and objects, innermost last
  std::string scratch;       // decoded text of a string with escapes
  std::vector<std::string_view> keys;
  bool in_use = false;
};

class Reader {
 public:
  Reader(std::string_view text, const std::string& source, ProgressFn progress = nullptr,
         void* context = nullptr)
      : p0_(text.data()),
        len_(text.size()),
        source_(source),
        progress_(progress),
        progress_context_(context),
        work_(claim_work()),
        stack_(work_->stack),
        scratch_(work_->scratch),
        keys_(work_->keys) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  ~Reader() {
    stack_.clear();
    keys_.clear();
    if (scratch_.capacity() > (std::size_t{1} << 20)) std::string().swap(scratch_);
    if (work_ == &thread_work()) {
      work_->in_use = false;
    } else {
      delete work_;
    }
  }

  // Leaves arrays and objects nested `depth` or more levels deep raw in `block` when their
  // text is in written form.
  void keep_raw(detail::RawBlock* block, const LazyOptions& options) {
    block_ = block;
    lazy_depth_ = options.depth;
    built_keys_ = options.built_keys;
  }

  // Hands the texts of the items of the array that the top-level object holds under `key`
  // (under its last such key) to `texts`, in order.
  void record_item_texts(std::string_view key, std::vector<std::string_view>* texts) {
    item_texts_ = texts;
    item_texts_key_ = key;
  }

  Value document() {
    if (len_ >= 3 && std::memcmp(p0_, "\xEF\xBB\xBF", 3) == 0) {
      fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
    }
    std::size_t i = skip_ws(0);
    Value v = value<true>(i);
    i = skip_ws(i);
    if (i != len_) fail("Extra data", i);
    return v;
  }

  // Appends the strings of the array that is the whole (checked) text to `out`, one after the
  // other; returns false, having appended nothing, when one of its items is not a string.
  bool append_string_items(std::string& out) {
    const std::size_t start = out.size();
    appended_strings_ = &out;
    std::size_t k = skip_ws(1);
    while (p0_[k] != ']') {
      if (p0_[k] != '"') {
        out.resize(start);
        appended_strings_ = nullptr;
        return false;
      }
      string<true>(k);
      k = skip_ws(k);
      if (p0_[k] == ',') k = skip_ws(k + 1);
    }
    appended_strings_ = nullptr;
    return true;
  }

  // The text of the value that `path` (keys of nested objects) leads to in the raw value that
  // is the whole (checked) text, or an empty view when a step meets no object or an object
  // without its key; in `depth`, the depth of its nesting. The keys of a raw object are in
  // written form and never repeat, so a key without characters that need escaping matches by
  // its bytes.
  std::string_view path_text(std::span<const std::string_view> path, std::size_t& depth) const {
    std::size_t at = 0;
    for (const std::string_view key : path) {
      if (p0_[at] != '{') return {};
      at = member_start(at, key);
      if (at == std::string_view::npos) return {};
    }
    depth = 0;
    return std::string_view(p0_ + at, value_end(at, depth) - at);
  }

  // Where the value under `key` starts in the object at `object`, or npos.
  std::size_t member_start(std::size_t object, std::string_view key) const {
    const std::string_view text(p0_, len_);
    std::size_t k = skip_ws(object + 1);
    while (p0_[k] == '"') {
      const std::size_t key_end = detail::string_token_end(text, k);
      const std::size_t start = skip_ws(skip_ws(key_end) + 1);  // past the ':'
      if (key_end - k - 2 == key.size() && std::memcmp(p0_ + k + 1, key.data(), key.size()) == 0) {
        return start;
      }
      std::size_t depth = 0;
      k = skip_ws(value_end(start, depth));
      if (p0_[k] == ',') k = skip_ws(k + 1);
    }
    return std::string_view::npos;
  }

  // The end of the value that starts at `i` in a checked text; in `depth`, the depth of its
  // nesting when it is an array or object.
  std::size_t value_end(std::size_t i, std::size_t& depth) const {
    const char c = p0_[i];
    if (c == '"') return detail::string_token_end(std::string_view(p0_, len_), i);
    if (c == '[' || c == '{') return skip_checked(i, depth);
    while (i < len_ && p0_[i] != ',' && p0_[i] != ']' && p0_[i] != '}' && p0_[i] != ' ' &&
           p0_[i] != '\n' && p0_[i] != '\r' && p0_[i] != '\t') {
      ++i;
    }
    return i;
  }

  // The members of the raw array or object that is the whole (checked) text, of form `form`;
  // large nested arrays and objects stay raw.
  Value members_of_raw(detail::RawBlock* block, std::uint8_t form) {
    block_ = block;
    lazy_depth_ = 1;
    trusted_form_ = form;
    std::size_t i = 0;
    return value<true>(i);
  }

 private:
  // Throws DecodeError with the position of byte `byte_pos` in characters (the bytes that do
  // not continue a UTF-8 sequence), lines and columns, as CPython counts them.
  [[noreturn]] void fail(const char* msg, std::size_t byte_pos) const {
    std::size_t chars = 0;
    std::size_t lines = 1;
    std::size_t last_newline = std::string_view::npos;  // character index
    for (std::size_t b = 0; b < byte_pos; ++b) {
      const unsigned char c = static_cast<unsigned char>(p0_[b]);
      if ((c & 0xC0) == 0x80) continue;
      if (c == '\n') {
        ++lines;
        last_newline = chars;
      }
      ++chars;
    }
    const std::size_t column =
        last_newline == std::string_view::npos ? chars + 1 : chars - last_newline;
    throw DecodeError(msg, chars, lines, column, source_);
  }

  // Calls the progress callback, and again once the reader is a step further than `i`.
  void report_progress(std::size_t i) {
    constexpr std::size_t kStep = std::size_t{4} << 20;
    next_progress_ = i + kStep;
    progress_(progress_context_);
  }

  std::size_t skip_ws(std::size_t i) const {
    while (i < len_ && detail::is_space(p0_[i])) ++i;
    return i;
  }

  // skip_ws() that, when checking, notes whether the white space is what the writer puts there:
  // one space after ',' and ':' (`space`), none elsewhere.
  template <bool kBuild>
  std::size_t skip_ws(std::size_t i, bool space) {
    const std::size_t k = skip_ws(i);
    if constexpr (!kBuild) {
      if (k != i + (space ? 1 : 0) || (space && p0_[i] != ' ')) form_ &= ~detail::kExact;
    }
    return k;
  }

  bool match(std::size_t i, const char* word, std::size_t n) const {
    return i + n <= len_ && std::memcmp(p0_ + i, word, n) == 0;
  }

  // Parses the value at `i` and advances `i` past it; "Expecting value" when none starts there.
  template <bool kBuild>
  Ret<kBuild> value(std::size_t& i) {
    if (i >= next_progress_) report_progress(i);
    if (i >= len_) fail("Expecting value", i);
    switch (p0_[i]) {
      case '"':
        return string<kBuild>(i);
      case '{':
        if constexpr (kBuild) {
          if (depth_ >= lazy_depth_) return maybe_raw(i);
        }
        return object<kBuild>(i);
      case '[':
        if constexpr (kBuild) {
          if (depth_ >= lazy_depth_) return maybe_raw(i);
        }
        return array<kBuild>(i);
      case 'n':
        if (match(i, "null", 4)) {
          i += 4;
          return Ret<kBuild>();
        }
        break;
      case 't':
        if (match(i, "true", 4)) {
          i += 4;
          if constexpr (kBuild) return Value(true);
          return Ret<kBuild>();
        }
        break;
      case 'f':
        if (match(i, "false", 5)) {
          i += 5;
          if constexpr (kBuild) return Value(false);
          return Ret<kBuild>();
        }
        break;
      case 'N':
        if (match(i, "NaN", 3)) {
          i += 3;
          if constexpr (kBuild) return Value(std::numeric_limits<double>::quiet_NaN());
          return Ret<kBuild>();
        }
        break;
      case 'I':
        if (match(i, "Infinity", 8)) {
          i += 8;
          if constexpr (kBuild) return Value(std::numeric_limits<double>::infinity());
          return Ret<kBuild>();
        }
        break;
      case '-':
        if (match(i, "-Infinity", 9)) {
          i += 9;
          if constexpr (kBuild) return Value(-std::numeric_limits<double>::infinity());
          return Ret<kBuild>();
        }
        break;
      default:
        break;
    }
    return number<kBuild>(i);
  }

  // The array or object at `i`, nested deep enough to stay raw. Read from a checked raw text,
  // a large one stays raw in the same form and a small one is built. Otherwise its text is
  // checked first: in written form (up to spacing) it stays raw, else it is built, its own
  // nested arrays and objects again candidates.
  Value maybe_raw(std::size_t& i) {
    const std::size_t start = i;
    if (trusted_form_ != 0) {
      std::size_t depth = 0;
      const std::size_t end = skip_checked(start, depth);
      if (end - start >= kRawMin && end - start <= std::numeric_limits<std::uint32_t>::max()) {
        i = end;
        return detail::RawAccess::make(block_, std::string_view(p0_ + start, end - start),
                                       trusted_form_, depth);
      }
      const std::size_t saved = lazy_depth_;
      lazy_depth_ = std::string_view::npos;
      Value v = p0_[i] == '[' ? array<true>(i) : object<true>(i);
      lazy_depth_ = saved;
      return v;
    }
    form_ = detail::kExact | detail::kSpaced;
    max_depth_ = depth_;
    std::size_t k = start;
    if (p0_[k] == '[') {
      array<false>(k);
    } else {
      object<false>(k);
    }
    if (written() && k - start > 2 && k - start <= std::numeric_limits<std::uint32_t>::max()) {
      i = k;
      const std::uint8_t form = ((form_ & detail::kExact) != 0 ? detail::kExact : detail::kSpaced) |
                                (form_ & detail::kUnicode);
      return detail::RawAccess::make(block_, std::string_view(p0_ + start, k - start), form,
                                     max_depth_ - depth_);
    }
    return p0_[i] == '[' ? array<true>(i) : object<true>(i);
  }

  // The end of the array or object at `i` in a text known to be valid, and in `depth` the
  // depth of its nesting.
  std::size_t skip_checked(std::size_t i, std::size_t& depth) const {
    std::size_t open = 0;
    for (;;) {
      const char c = p0_[i];
      if (c == '"') {
        i = detail::string_token_end(std::string_view(p0_, len_), i);
        continue;
      }
      if (c == '[' || c == '{') {
        if (++open > depth) depth = open;
      } else if (c == ']' || c == '}') {
        if (--open == 0) return i + 1;
      }
      ++i;
    }
  }

  template <bool kBuild>
  Ret<kBuild> number(std::size_t& i) {
    const std::size_t start = i;
    std::size_t k = i;
    if (p0_[k] == '-') {
      ++k;
      if (k >= len_) fail("Expecting value", start);
    }
    if (p0_[k] >= '1' && p0_[k] <= '9') {
      ++k;
      while (k < len_ && p0_[k] >= '0' && p0_[k] <= '9') ++k;
    } else if (p0_[k] == '0') {
      ++k;
    } else {
      fail("Expecting value", start);
    }
    bool is_real = false;
    if (k + 1 < len_ && p0_[k] == '.' && p0_[k + 1] >= '0' && p0_[k + 1] <= '9') {
      is_real = true;
      k += 2;
      while (k < len_ && p0_[k] >= '0' && p0_[k] <= '9') ++k;
    }
    if (k + 1 < len_ && (p0_[k] == 'e' || p0_[k] == 'E')) {
      const std::size_t e_start = k;
      ++k;
      if (k + 1 < len_ && (p0_[k] == '-' || p0_[k] == '+')) ++k;
      while (k < len_ && p0_[k] >= '0' && p0_[k] <= '9') ++k;
      if (p0_[k - 1] >= '0' && p0_[k - 1] <= '9') {
        is_real = true;
      } else {
        k = e_start;
      }
    }
    i = k;
    const char* first = p0_ + start;
    const char* last = p0_ + k;
    if (is_real) {
      if constexpr (kBuild) {
        return Value(to_real(first, last));
      } else {
        if (written()) check_real_form(first, last);
        return Skip();
      }
    }
    const std::size_t digits = static_cast<std::size_t>(last - first) - (*first == '-' ? 1 : 0);
    if (digits <= 18) {
      if constexpr (kBuild) {
        std::int64_t v = 0;
        std::from_chars(first, last, v);
        return Value(static_cast<long long>(v));
      } else {
        // "-0" is written as "0".
        if (last - first == 2 && first[0] == '-' && first[1] == '0') form_ = 0;
        return Skip();
      }
    }
    if (digits > kMaxIntDigits) {
      throw ValueError((source_.empty() ? std::string() : source_ + ": ") +
                       "Exceeds the limit (4300 digits) for integer string conversion: value has " +
                       std::to_string(digits) +
                       " digits; use sys.set_int_max_str_digits() to increase the limit");
    }
    if constexpr (kBuild) {
      return Value::integer_from_digits(
          std::string_view(first, static_cast<std::size_t>(last - first)));
    } else {
      return Skip();
    }
  }

  // Notes whether a real's text is how the writer writes the double it denotes.
  void check_real_form(const char* first, const char* last) {
    const double d = to_real(first, last);
    if (!std::isfinite(d)) {
      form_ = 0;
      return;
    }
    char buf[40];
    const std::size_t n = detail::format_finite(d, buf);
    if (std::string_view(buf, n) != std::string_view(first, static_cast<std::size_t>(last - first)))
      form_ = 0;
  }

  static double to_real(const char* first, const char* last) {
    double d = 0;
    auto res = std::from_chars(first, last, d);
    if (res.ec == std::errc()) return d;
    // Out of range: fall back to strtod, which rounds to infinity or zero as Python's float().
    std::string text(first, last);
    return std::strtod(text.c_str(), nullptr);
  }

  // Finds the first byte at or after `k` that is '"', '\\' or a control character; with
  // `kWritten`, also DEL and non-ASCII bytes (which the writer escapes).
  template <bool kWritten = false>
  std::size_t scan_plain(std::size_t k) const {
    while (k + detail::kScanWidth <= len_) {
      const unsigned mask =
          kWritten ? detail::mask_needs_escape(p0_ + k) : detail::mask_string_stop(p0_ + k);
      if (mask != 0) return k + detail::first_set(mask);
      k += detail::kScanWidth;
    }
    while (k < len_) {
      const unsigned char c = static_cast<unsigned char>(p0_[k]);
      if (c == '"' || c == '\\' || c < 0x20 || (kWritten && c >= 0x7F)) return k;
      ++k;
    }
    return k;
  }

  // Reads four hex digits at `k`; -1 when they are not all hex digits.
  long hex4(std::size_t k) const {
    long v = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const int h = hex_value(p0_[k + j]);
      if (h < 0) return -1;
      v = (v << 4) | h;
    }
    return v;
  }

  bool lower_hex4(std::size_t k) const {
    return is_lower_hex(p0_[k]) && is_lower_hex(p0_[k + 1]) && is_lower_hex(p0_[k + 2]) &&
           is_lower_hex(p0_[k + 3]);
  }

  // Whether the text being checked is still in a written form (json/raw.h).
  bool written() const { return (form_ & (detail::kExact | detail::kSpaced)) != 0; }

  // Whether a string's scan must stop at DEL and non-ASCII bytes: while checking a text in
  // written form that holds none so far.
  template <bool kBuild>
  bool watching_unicode() const {
    return !kBuild && written() && (form_ & detail::kUnicode) == 0;
  }

  // A decoded string as a value; while append_string_items() runs, appended to its text instead
  // (the value is then null).
  Value built_string(std::string_view text) {
    if (appended_strings_ == nullptr) return Value(text);
    appended_strings_->append(text);
    return Value();
  }

  template <bool kBuild>
  Ret<kBuild> string(std::size_t& i) {
    // A large text is read once and does not fit in the caches: asking for the bytes a
    // little ahead overlaps their fetch (and the page walk) with the work on these ones. A
    // prefetch past the end never faults.
    __builtin_prefetch(p0_ + i + 1024);
    const std::size_t begin = i;
    std::size_t k = i + 1;
    std::size_t run = watching_unicode<kBuild>() ? scan_plain<true>(k) : scan_plain(k);
    if (run < len_ && p0_[run] == '"') {
      i = run + 1;
      if constexpr (kBuild) {
        return built_string(std::string_view(p0_ + k, run - k));
      } else {
        return Skip();
      }
    }
    if constexpr (kBuild) scratch_.clear();
    for (;;) {
      run = watching_unicode<kBuild>() ? scan_plain<true>(k) : scan_plain(k);
      if (run >= len_) fail("Unterminated string starting at", begin);
      if constexpr (kBuild) scratch_.append(p0_ + k, run - k);
      const char c = p0_[run];
      if (!kBuild && static_cast<unsigned char>(c) >= 0x7F) {
        // DEL or a UTF-8 sequence (checked before): valid, and written escaped; the text stays
        // in its form with characters from U+007F on as themselves.
        form_ |= detail::kUnicode;
        k = run + 1;
        continue;
      }
      if (c == '"') {
        i = run + 1;
        if constexpr (kBuild) {
          return built_string(scratch_);
        } else {
          return Skip();
        }
      }
      if (c != '\\') fail("Invalid control character at", run);
      if (run + 1 >= len_) fail("Unterminated string starting at", begin);
      const char e = p0_[run + 1];
      if (e != 'u') {
        char out;
        switch (e) {
          case '"':
            out = '"';
            break;
          case '\\':
            out = '\\';
            break;
          case '/':
            out = '/';
            if constexpr (!kBuild) form_ = 0;
            break;
          case 'b':
            out = '\b';
            break;
          case 'f':
            out = '\f';
            break;
          case 'n':
            out = '\n';
            break;
          case 'r':
            out = '\r';
            break;
          case 't':
            out = '\t';
            break;
          default:
            fail("Invalid \\escape", run);
        }
        if constexpr (kBuild) scratch_.push_back(out);
        k = run + 2;
        continue;
      }
      const std::size_t digits = run + 2;
      std::size_t end = digits + 4;
      if (end >= len_) fail("Invalid \\uXXXX escape", digits - 1);
      long cp = hex4(digits);
      if (cp < 0) fail("Invalid \\uXXXX escape", digits - 1);
      if constexpr (!kBuild) {
        if (!lower_hex4(digits) || !written_as_u_escape(cp)) form_ = 0;
      }
      if (cp >= 0xD800 && cp <= 0xDBFF && end + 6 < len_ && p0_[end] == '\\' &&
          p0_[end + 1] == 'u') {
        const long low = hex4(end + 2);
        if (low < 0) fail("Invalid \\uXXXX escape", end + 1);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          if constexpr (!kBuild) {
            if (!lower_hex4(end + 2)) form_ = 0;
          }
          cp = 0x10000 + (((cp - 0xD800) << 10) | (low - 0xDC00));
          end += 6;
        }
      }
      if constexpr (kBuild) append_utf8(static_cast<std::uint32_t>(cp), scratch_);
      k = end;
    }
  }

  void enter(std::size_t i) {
    if (++depth_ > kMaxDepth) {
      fail("Nesting deeper than 1000 levels", i);
    }
    if (depth_ > max_depth_) max_depth_ = depth_;
  }

  template <bool kBuild>
  Ret<kBuild> array(std::size_t& i) {
    enter(i);
    std::vector<std::string_view>* texts = nullptr;
    if constexpr (kBuild) {
      if (texts_at_depth_ == depth_) texts = item_texts_;
      texts_at_depth_ = 0;
    }
    const std::size_t base = stack_.size();
    std::size_t k = skip_ws<kBuild>(i + 1, false);
    if (!(k < len_ && p0_[k] == ']')) {
      for (;;) {
        if constexpr (kBuild) {
          const std::size_t start = k;
          stack_.push_back(value<true>(k));
          if (texts != nullptr) texts->emplace_back(p0_ + start, k - start);
        } else {
          value<false>(k);
        }
        k = skip_ws<kBuild>(k, false);
        if (k < len_ && p0_[k] == ']') break;
        if (k >= len_ || p0_[k] != ',') fail("Expecting ',' delimiter", k);
        k = skip_ws<kBuild>(k + 1, true);
      }
    }
    i = k + 1;
    --depth_;
    if constexpr (kBuild) {
      Array items;
      items.reserve(stack_.size() - base);
      for (std::size_t j = base; j < stack_.size(); ++j) items.push_back(std::move(stack_[j]));
      stack_.resize(base);
      return Value(std::move(items));
    } else {
      return Skip();
    }
  }

  template <bool kBuild>
  Ret<kBuild> object(std::size_t& i) {
    enter(i);
    const std::size_t base = kBuild ? stack_.size() : keys_.size();
    std::size_t k = skip_ws<kBuild>(i + 1, false);
    if (!(k < len_ && p0_[k] == '}')) {
      for (;;) {
        if (k >= len_ || p0_[k] != '"') {
          fail("Expecting property name enclosed in double quotes", k);
        }
        if constexpr (kBuild) {
          stack_.push_back(string<true>(k));
        } else {
          const std::size_t key_start = k;
          string<false>(k);
          if (written()) note_key(base, std::string_view(p0_ + key_start, k - key_start));
        }
        k = skip_ws<kBuild>(k, false);
        if (k >= len_ || p0_[k] != ':') fail("Expecting ':' delimiter", k);
        k = skip_ws<kBuild>(k + 1, true);
        if constexpr (kBuild) {
          if (depth_ == 1 && item_texts_ != nullptr &&
              stack_.back().as_string() == item_texts_key_) {
            item_texts_->clear();  // a repeated key: its last value counts
            texts_at_depth_ = 2;
          }
          if (depth_ >= lazy_depth_ && is_built_key(stack_.back())) {
            const std::size_t saved = lazy_depth_;
            lazy_depth_ = std::string_view::npos;
            stack_.push_back(value<true>(k));
            lazy_depth_ = saved;
          } else {
            stack_.push_back(value<true>(k));
          }
          texts_at_depth_ = 0;
        } else {
          value<false>(k);
        }
        k = skip_ws<kBuild>(k, false);
        if (k < len_ && p0_[k] == '}') break;
        if (k >= len_ || p0_[k] != ',') fail("Expecting ',' delimiter", k);
        k = skip_ws<kBuild>(k + 1, true);
      }
    }
    i = k + 1;
    --depth_;
    if constexpr (kBuild) {
      Value members = Object::from_pairs(stack_.data() + base, (stack_.size() - base) / 2);
      stack_.resize(base);
      return members;
    } else {
      keys_.resize(base);
      return Skip();
    }
  }

  bool is_built_key(const Value& key) const {
    const std::string_view name = key.as_string();
    for (std::string_view built : built_keys_) {
      if (name == built) return true;
    }
    return false;
  }

  // Notes the key text (quotes included) of an object being checked, whose keys start at
  // keys_[base]. A repeated key is not in written form (the reader keeps one); so is an object
  // with many members, whose keys are not compared. Keys in written form are equal exactly when
  // their texts are, which a key holding a character from U+007F as itself would break (its
  // escaped twin is the same key): such an object is not in written form either.
  void note_key(std::size_t base, std::string_view key) {
    if (keys_.size() - base >= kRawMaxMembers || !ascii_below_del(key)) {
      form_ = 0;
      return;
    }
    for (std::size_t j = base; j < keys_.size(); ++j) {
      if (keys_[j] == key) {
        form_ = 0;
        return;
      }
    }
    keys_.push_back(key);
  }

  const char* p0_;
  std::size_t len_;
  const std::string& source_;
  ProgressFn progress_;
  void* progress_context_;
  std::size_t next_progress_ = progress_ != nullptr ? 0 : std::string_view::npos;
  std::size_t depth_ = 0;
  Work* work_;
  std::vector<Value>& stack_;
  std::string& scratch_;
  std::vector<std::string_view>& keys_;

  // Raw values: the block they go to, the depth from which arrays and objects may stay raw,
  // and, when reading the members of a raw value, its form (0 otherwise).
  detail::RawBlock* block_ = nullptr;
  std::size_t lazy_depth_ = std::string_view::npos;
  std::span<const std::string_view> built_keys_;
  std::uint8_t trusted_form_ = 0;
  std::string* appended_strings_ = nullptr;  // see append_string_items()
  // Item texts: where they go, the member key whose array they come from, and the depth of
  // that array while its value is being read (0 otherwise).
  std::vector<std::string_view>* item_texts_ = nullptr;
  std::string_view item_texts_key_;
  std::size_t texts_at_depth_ = 0;
  // While checking: the forms the text seen so far is in, the deepest nesting reached, and
  // the keys of the open objects.
  std::uint8_t form_ = 0;
  std::size_t max_depth_ = 0;

  static Work& thread_work() {
    thread_local Work work;
    return work;
  }
  // The thread's working storage, or a fresh one when a reader of this thread holds it.
  static Work* claim_work() {
    Work& w = thread_work();
    if (w.in_use) return new Work();
    w.in_use = true;
    return &w;
  }
};

// Length of the maximal valid prefix of the UTF-8 sequence at `p` (at most `n` bytes), with the
// full sequence length in `need`. The prefix is `need` long when the sequence is complete.
std::size_t utf8_prefix(const unsigned char* p, std::size_t n, std::size_t& need) {
  const unsigned char c = p[0];
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    need = 1;
    return 0;
  }
  std::size_t k = 1;
  if (k < n && p[k] >= lo && p[k] <= hi) {
    ++k;
    while (k < need && k < n && (p[k] & 0xC0) == 0x80) ++k;
  }
  return k;
}

#ifdef QOR_X86_DISPATCH
#define QOR_UTF8_AVX2 1
// valid_utf8_blocks() thirty-two bytes at a time, for processors with AVX2 (sixty-four at a
// time through ASCII).
__attribute__((target("avx2"))) std::size_t valid_utf8_blocks_avx2(const char* p, std::size_t n,
                                                                   std::size_t i) {
  std::uint32_t carry = 0;  // whether the byte before i starts a two-byte sequence
  // Signed compares: 0x80..0xBF are -128..-65, 0xC2..0xDF are -62..-33.
  const __m256i below_c0 = _mm256_set1_epi8(static_cast<char>(0xC0));
  const __m256i above_c1 = _mm256_set1_epi8(static_cast<char>(0xC1));
  const __m256i below_e0 = _mm256_set1_epi8(static_cast<char>(0xE0));
  while (i + 32 <= n) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    if (carry == 0 && i + 64 <= n) {
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
      if (_mm256_movemask_epi8(_mm256_or_si256(x, y)) == 0) {
        i += 64;
        continue;
      }
    }
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(x));
    const auto cont =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_c0, x)));
    const auto lead2 = static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpgt_epi8(x, above_c1), _mm256_cmpgt_epi8(below_e0, x))));
    if ((high & ~(cont | lead2)) != 0 || cont != ((lead2 << 1) | carry)) break;
    carry = lead2 >> 31;
    i += 32;
  }
  return i - carry;
}
#endif

// The end of the longest run of whole blocks from `i` on that hold only ASCII and complete
// two-byte sequences (Latin, Greek, Cyrillic, ... text), checked sixteen bytes at a time (first
// thirty-two, where the processor has AVX2): each continuation byte must follow a lead byte, each
// lead byte precede one. The run ends at a sequence boundary; what follows it is for the
// byte-wise check.
std::size_t valid_utf8_blocks(const char* p, std::size_t n, std::size_t i) {
#ifdef QOR_UTF8_AVX2
  if (detail::kCpu.avx2) i = valid_utf8_blocks_avx2(p, n, i);
#endif
  unsigned carry = 0;  // whether the byte before i starts a two-byte sequence
  while (i + detail::kScanWidth <= n) {
    if (carry == 0 && i + 64 <= n && detail::all_ascii_64(p + i)) {
      i += 64;
      continue;
    }
    unsigned cont, lead2;
    const unsigned high = detail::mask_utf8_two_byte(p + i, cont, lead2);
    if ((high & ~(cont | lead2)) != 0 || cont != (((lead2 << 1) | carry) & 0xFFFFu)) break;
    carry = lead2 >> 15;
    i += detail::kScanWidth;
  }
  return i - carry;
}

}  // namespace

void check_utf8(std::string_view bytes, const std::string& source) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    i = valid_utf8_blocks(bytes.data(), n, i);
    // Byte by byte through the block that the fast check left (or the last bytes), sequence by
    // sequence, so that an error names the sequence as CPython's decoder does.
    const std::size_t until = i + detail::kScanWidth;
    while (i < n && i < until) {
      if (p[i] < 0x80) {
        ++i;
        continue;
      }
      std::size_t need = 0;
      const std::size_t got = utf8_prefix(p + i, n - i, need);
      if (got == need) {
        i += need;
        continue;
      }
      const std::size_t end = got == 0 ? i + 1 : i + got;
      const std::string sequence(bytes.substr(i, end - i));
      if (got == 0) throw UnicodeError(i, end, sequence, "invalid start byte", source);
      if (end == n) throw UnicodeError(i, end, sequence, "unexpected end of data", source);
      throw UnicodeError(i, end, sequence, "invalid continuation byte", source);
    }
  }
}

Value parse(std::string_view text, const std::string& source) {
  check_utf8(text, source);
  return Reader(text, source).document();
}

Value parse_lazy(std::string_view text, const std::string& source,
                 std::shared_ptr<const void> owner, const LazyOptions& options) {
  return detail::parse_lazy_with_item_texts(text, source, std::move(owner), options, {}, nullptr);
}

namespace detail {

Value parse_lazy_with_item_texts(std::string_view text, const std::string& source,
                                 std::shared_ptr<const void> owner, const LazyOptions& options,
                                 std::string_view key, std::vector<std::string_view>* texts) {
  check_utf8(text, source);
  // The reader holds the block's first reference while it runs.
  struct Hold {
    detail::RawBlock* block;
    ~Hold() { block->release(); }
  } hold{new detail::RawBlock(std::move(owner))};
  Reader reader(text, source, options.progress, options.progress_context);
  reader.keep_raw(hold.block, options);
  if (texts != nullptr) reader.record_item_texts(key, texts);
  return reader.document();
}

}  // namespace detail

bool append_string_items(const Value& array, std::string& out) {
  if (!array.is_array()) return false;
  if (array.is_raw()) {
    static const std::string kNoSource;
    return Reader(detail::RawAccess::view(array).text, kNoSource).append_string_items(out);
  }
  const Array& items = array.as_array();
  if (!std::all_of(items.begin(), items.end(), [](const Value& v) { return v.is_string(); })) {
    return false;
  }
  for (const Value& item : items) out += item.as_string();
  return true;
}

std::optional<Value> find_path(const Value& v, std::initializer_list<std::string_view> path) {
  const Value* at = &v;
  auto step = path.begin();
  for (; step != path.end() && !at->is_raw(); ++step) {
    at = at->find(*step);
    if (at == nullptr) return std::nullopt;
  }
  if (step == path.end()) return *at;
  static const std::string kNoSource;
  const detail::RawView raw = detail::RawAccess::view(*at);
  std::size_t depth = 0;
  const std::string_view text =
      Reader(raw.text, kNoSource).path_text(std::span(step, path.end()), depth);
  if (text.empty()) return std::nullopt;
  // A string without escapes (in a raw text, its characters are as they read) needs no reader.
  if (text.front() == '"' && text.find('\\') == std::string_view::npos) {
    return Value(text.substr(1, text.size() - 2));
  }
  detail::RawBlock* block = raw.node->block;
  const std::lock_guard<std::mutex> lock(block->reading);
  if ((text.front() == '[' || text.front() == '{') && text.size() > 2) {
    return detail::RawAccess::make(block, text, raw.form, depth);
  }
  return detail::read_trusted(text, block, raw.form);
}

namespace detail {

Value read_trusted(std::string_view text, RawBlock* block, std::uint8_t form) {
  static const std::string kNoSource;
  return Reader(text, kNoSource).members_of_raw(block, form);
}

}  // namespace detail

}  // namespace qor::json
