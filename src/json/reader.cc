// The JSON reader: a recursive-descent parser that mirrors the control flow of CPython's json
// scanner, so that it accepts the same texts, builds the same values and reports the same message
// at the same position. The input is first checked to be strict UTF-8 (as decoding a file's bytes
// would), which lets the string scanner copy bytes without decoding them.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "json/byte_scan.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

constexpr std::size_t kMaxIntDigits = 4300;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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

class Reader {
 public:
  Reader(std::string_view text, const std::string& source, ReleaseFn release, void* context)
      : p0_(text.data()),
        len_(text.size()),
        source_(source),
        release_(release),
        release_context_(context) {}

  Value document() {
    if (len_ >= 3 && std::memcmp(p0_, "\xEF\xBB\xBF", 3) == 0) {
      fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", 0);
    }
    std::size_t i = skip_ws(0);
    Value v = value(i);
    i = skip_ws(i);
    if (i != len_) fail("Extra data", i);
    return v;
  }

 private:
  // Character and line counts of a stretch of the text, for error positions.
  struct Tally {
    std::size_t chars = 0;
    std::size_t lines = 1;
    std::size_t last_newline = std::string_view::npos;  // character index

    void add(const char* p, std::size_t n) {
      // Characters are the bytes that do not continue a UTF-8 sequence.
      for (std::size_t b = 0; b < n; ++b) {
        const unsigned char c = static_cast<unsigned char>(p[b]);
        if ((c & 0xC0) != 0x80) {
          if (c == '\n') {
            ++lines;
            last_newline = chars;
          }
          ++chars;
        }
      }
    }
  };

  [[noreturn]] void fail(const char* msg, std::size_t byte_pos) const {
    Tally t = released_tally_;
    t.add(p0_ + released_, byte_pos - released_);
    const std::size_t column =
        t.last_newline == std::string_view::npos ? t.chars + 1 : t.chars - t.last_newline;
    throw DecodeError(msg, t.chars, t.lines, column, source_);
  }

  // Hands the text well behind `i` to the release callback, tallied first for error positions.
  void release_behind(std::size_t i) {
    constexpr std::size_t kStep = std::size_t{4} << 20;
    next_release_ = i + kStep;
    if (i < kStep) return;
    const std::size_t to = (i - kStep / 2) & ~(kStep / 2 - 1);
    if (to <= released_) return;
    released_tally_.add(p0_ + released_, to - released_);
    release_(release_context_, released_, to);
    released_ = to;
  }

  std::size_t skip_ws(std::size_t i) const {
    while (i < len_ && is_ws(p0_[i])) ++i;
    return i;
  }

  bool match(std::size_t i, const char* word, std::size_t n) const {
    return i + n <= len_ && std::memcmp(p0_ + i, word, n) == 0;
  }

  // Parses the value at `i` and advances `i` past it; "Expecting value" when none starts there.
  Value value(std::size_t& i) {
    if (i >= next_release_) release_behind(i);
    if (i >= len_) fail("Expecting value", i);
    switch (p0_[i]) {
      case '"':
        return string(i);
      case '{':
        return object(i);
      case '[':
        return array(i);
      case 'n':
        if (match(i, "null", 4)) {
          i += 4;
          return Value();
        }
        break;
      case 't':
        if (match(i, "true", 4)) {
          i += 4;
          return Value(true);
        }
        break;
      case 'f':
        if (match(i, "false", 5)) {
          i += 5;
          return Value(false);
        }
        break;
      case 'N':
        if (match(i, "NaN", 3)) {
          i += 3;
          return Value(std::numeric_limits<double>::quiet_NaN());
        }
        break;
      case 'I':
        if (match(i, "Infinity", 8)) {
          i += 8;
          return Value(std::numeric_limits<double>::infinity());
        }
        break;
      case '-':
        if (match(i, "-Infinity", 9)) {
          i += 9;
          return Value(-std::numeric_limits<double>::infinity());
        }
        break;
      default:
        break;
    }
    return number(i);
  }

  Value number(std::size_t& i) {
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
    if (is_real) return Value(to_real(first, last));
    const std::size_t digits = static_cast<std::size_t>(last - first) - (*first == '-' ? 1 : 0);
    if (digits <= 18) {
      std::int64_t v = 0;
      std::from_chars(first, last, v);
      return Value(static_cast<long long>(v));
    }
    if (digits > kMaxIntDigits) {
      throw ValueError((source_.empty() ? std::string() : source_ + ": ") +
                       "Exceeds the limit (4300 digits) for integer string conversion: value has " +
                       std::to_string(digits) +
                       " digits; use sys.set_int_max_str_digits() to increase the limit");
    }
    return Value::integer_from_digits(
        std::string_view(first, static_cast<std::size_t>(last - first)));
  }

  static double to_real(const char* first, const char* last) {
    double d = 0;
    auto res = std::from_chars(first, last, d);
    if (res.ec == std::errc()) return d;
    // Out of range: fall back to strtod, which rounds to infinity or zero as Python's float().
    std::string text(first, last);
    return std::strtod(text.c_str(), nullptr);
  }

  // Finds the first byte at or after `k` that is '"', '\\' or a control character.
  std::size_t scan_plain(std::size_t k) const {
    while (k + detail::kScanWidth <= len_) {
      const unsigned mask = detail::mask_string_stop(p0_ + k);
      if (mask != 0) return k + detail::first_set(mask);
      k += detail::kScanWidth;
    }
    while (k < len_) {
      const unsigned char c = static_cast<unsigned char>(p0_[k]);
      if (c == '"' || c == '\\' || c < 0x20) return k;
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

  Value string(std::size_t& i) {
    const std::size_t begin = i;
    std::size_t k = i + 1;
    std::size_t run = scan_plain(k);
    if (run < len_ && p0_[run] == '"') {
      i = run + 1;
      return Value(std::string_view(p0_ + k, run - k));
    }
    scratch_.clear();
    for (;;) {
      run = scan_plain(k);
      if (run >= len_) fail("Unterminated string starting at", begin);
      scratch_.append(p0_ + k, run - k);
      const char c = p0_[run];
      if (c == '"') {
        i = run + 1;
        return Value(std::string_view(scratch_));
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
        scratch_.push_back(out);
        k = run + 2;
        continue;
      }
      const std::size_t digits = run + 2;
      std::size_t end = digits + 4;
      if (end >= len_) fail("Invalid \\uXXXX escape", digits - 1);
      long cp = hex4(digits);
      if (cp < 0) fail("Invalid \\uXXXX escape", digits - 1);
      if (cp >= 0xD800 && cp <= 0xDBFF && end + 6 < len_ && p0_[end] == '\\' &&
          p0_[end + 1] == 'u') {
        const long low = hex4(end + 2);
        if (low < 0) fail("Invalid \\uXXXX escape", end + 1);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + (((cp - 0xD800) << 10) | (low - 0xDC00));
          end += 6;
        }
      }
      append_utf8(static_cast<std::uint32_t>(cp), scratch_);
      k = end;
    }
  }

  void enter(std::size_t i) {
    if (++depth_ > kMaxDepth) {
      fail("Nesting deeper than 1000 levels", i);
    }
  }

  Value array(std::size_t& i) {
    enter(i);
    const std::size_t base = stack_.size();
    std::size_t k = skip_ws(i + 1);
    if (!(k < len_ && p0_[k] == ']')) {
      for (;;) {
        stack_.push_back(value(k));
        k = skip_ws(k);
        if (k < len_ && p0_[k] == ']') break;
        if (k >= len_ || p0_[k] != ',') fail("Expecting ',' delimiter", k);
        k = skip_ws(k + 1);
      }
    }
    i = k + 1;
    Array items;
    items.reserve(stack_.size() - base);
    for (std::size_t j = base; j < stack_.size(); ++j) items.push_back(std::move(stack_[j]));
    stack_.resize(base);
    --depth_;
    return Value(std::move(items));
  }

  Value object(std::size_t& i) {
    enter(i);
    const std::size_t base = stack_.size();
    std::size_t k = skip_ws(i + 1);
    if (!(k < len_ && p0_[k] == '}')) {
      for (;;) {
        if (k >= len_ || p0_[k] != '"') {
          fail("Expecting property name enclosed in double quotes", k);
        }
        stack_.push_back(string(k));
        k = skip_ws(k);
        if (k >= len_ || p0_[k] != ':') fail("Expecting ':' delimiter", k);
        k = skip_ws(k + 1);
        stack_.push_back(value(k));
        k = skip_ws(k);
        if (k < len_ && p0_[k] == '}') break;
        if (k >= len_ || p0_[k] != ',') fail("Expecting ',' delimiter", k);
        k = skip_ws(k + 1);
      }
    }
    i = k + 1;
    Object members;
    members.reserve((stack_.size() - base) / 2);
    for (std::size_t j = base; j < stack_.size(); j += 2) {
      members.append_unchecked(std::move(stack_[j]), std::move(stack_[j + 1]));
    }
    stack_.resize(base);
    members.dedupe();
    --depth_;
    return Value(std::move(members));
  }

  const char* p0_;
  std::size_t len_;
  const std::string& source_;
  ReleaseFn release_;
  void* release_context_;
  std::size_t next_release_ = release_ != nullptr ? 0 : std::string_view::npos;
  std::size_t released_ = 0;  // text below this offset may be gone
  Tally released_tally_;
  std::size_t depth_ = 0;
  std::vector<Value> stack_;  // children of the open arrays and objects, innermost last
  std::string scratch_;       // decoded text of a string with escapes
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

}  // namespace

void check_utf8(std::string_view bytes, const std::string& source) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 64 <= n && detail::all_ascii_64(bytes.data() + i)) {
      // Four vectors at a time while the text is plain ASCII.
      i += 64;
      continue;
    }
    if (i + detail::kScanWidth <= n) {
      const unsigned mask = detail::mask_non_ascii(bytes.data() + i);
      if (mask == 0) {
        i += detail::kScanWidth;
        continue;
      }
      i += detail::first_set(mask);
    } else if (p[i] < 0x80) {
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

Value parse(std::string_view text, const std::string& source) {
  check_utf8(text, source);
  return Reader(text, source, nullptr, nullptr).document();
}

Value parse(std::string_view text, const std::string& source, ReleaseFn release, void* context) {
  check_utf8(text, source);
  return Reader(text, source, release, context).document();
}

}  // namespace qor::json
