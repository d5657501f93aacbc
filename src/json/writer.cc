// The JSON writer: the exact bytes of CPython's `json.dumps(value)` with default options (", "
// and ": " separators, ASCII-only output, reals in repr form). Plain runs of string bytes are
// found sixteen at a time and copied whole; the output grows in large steps and is trimmed once.
#include <emmintrin.h>

#include <charconv>
#include <cmath>

#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// An output buffer over a std::string whose size runs ahead of the written length.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out), len_(out.size()) {}
  ~Sink() { out_.resize(len_); }

  char* reserve(std::size_t n) {
    if (len_ + n > out_.size()) out_.resize(std::max(out_.size() * 2, len_ + n + 4096));
    return out_.data() + len_;
  }
  void advance(std::size_t n) { len_ += n; }
  void put(char c) {
    *reserve(1) = c;
    ++len_;
  }
  void put(std::string_view s) {
    std::memcpy(reserve(s.size()), s.data(), s.size());
    len_ += s.size();
  }

 private:
  std::string& out_;
  std::size_t len_;
};

void put_u_escape(Sink& sink, unsigned cp) {
  char* p = sink.reserve(6);
  p[0] = '\\';
  p[1] = 'u';
  p[2] = kHex[(cp >> 12) & 0xF];
  p[3] = kHex[(cp >> 8) & 0xF];
  p[4] = kHex[(cp >> 4) & 0xF];
  p[5] = kHex[cp & 0xF];
  sink.advance(6);
}

// Index of the first byte at or after `k` that needs an escape: '"', '\\', a control character,
// DEL, or any byte of a non-ASCII character.
std::size_t scan_ascii(const char* s, std::size_t n, std::size_t k) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i del = _mm_set1_epi8(0x7F);
  while (k + 16 <= n) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
    // Signed compare: bytes >= 0x80 are negative and so count as "below space" too.
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                     _mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, del)));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return k + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    k += 16;
  }
  while (k < n) {
    const unsigned char c = static_cast<unsigned char>(s[k]);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7F) return k;
    ++k;
  }
  return k;
}

void write_string(Sink& sink, std::string_view text) {
  const char* s = text.data();
  const std::size_t n = text.size();
  sink.put('"');
  std::size_t k = 0;
  while (k < n) {
    const std::size_t run = scan_ascii(s, n, k);
    if (run > k) sink.put(std::string_view(s + k, run - k));
    if (run >= n) break;
    const unsigned char c = static_cast<unsigned char>(s[run]);
    k = run + 1;
    switch (c) {
      case '"':
        sink.put("\\\"");
        continue;
      case '\\':
        sink.put("\\\\");
        continue;
      case '\n':
        sink.put("\\n");
        continue;
      case '\r':
        sink.put("\\r");
        continue;
      case '\t':
        sink.put("\\t");
        continue;
      case '\b':
        sink.put("\\b");
        continue;
      case '\f':
        sink.put("\\f");
        continue;
      default:
        break;
    }
    if (c < 0x80) {
      put_u_escape(sink, c);
      continue;
    }
    // A UTF-8 sequence (surrogates included, in their 3-byte form). Values hold valid text.
    unsigned cp;
    if (c < 0xE0) {
      cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[k]) & 0x3Fu);
      k += 1;
    } else if (c < 0xF0) {
      cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[k]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(s[k + 1]) & 0x3Fu);
      k += 2;
    } else {
      cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[k]) & 0x3Fu) << 12) |
           ((static_cast<unsigned char>(s[k + 1]) & 0x3Fu) << 6) |
           (static_cast<unsigned char>(s[k + 2]) & 0x3Fu);
      k += 3;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put_u_escape(sink, 0xD800 | (cp >> 10));
      put_u_escape(sink, 0xDC00 | (cp & 0x3FF));
    } else {
      put_u_escape(sink, cp);
    }
  }
  sink.put('"');
}

// Python's repr(float) for finite values: shortest round-trip digits, fixed notation when the
// decimal exponent lies in [-4, 16), otherwise d.ddde+XX.
std::size_t format_finite(double d, char* out) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t epos = sci.find('e');
  std::string_view mant = sci.substr(0, epos);
  int exp = 0;
  std::from_chars(sci.data() + epos + 1 + (sci[epos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exp);
  char* p = out;
  if (mant[0] == '-') {
    *p++ = '-';
    mant.remove_prefix(1);
  }
  char digits[32] = {};
  std::size_t nd = 0;
  for (char c : mant) {
    if (c != '.') digits[nd++] = c;
  }
  if (exp >= -4 && exp < 16) {
    if (exp < 0) {
      *p++ = '0';
      *p++ = '.';
      for (int z = 0; z < -exp - 1; ++z) *p++ = '0';
      for (std::size_t j = 0; j < nd; ++j) *p++ = digits[j];
    } else {
      const std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
      for (std::size_t j = 0; j < int_digits; ++j) *p++ = j < nd ? digits[j] : '0';
      *p++ = '.';
      if (nd > int_digits) {
        for (std::size_t j = int_digits; j < nd; ++j) *p++ = digits[j];
      } else {
        *p++ = '0';
      }
    }
  } else {
    *p++ = digits[0];
    if (nd > 1) {
      *p++ = '.';
      for (std::size_t j = 1; j < nd; ++j) *p++ = digits[j];
    }
    *p++ = 'e';
    *p++ = exp < 0 ? '-' : '+';
    const int a = exp < 0 ? -exp : exp;
    if (a < 10) *p++ = '0';
    p = std::to_chars(p, p + 8, a).ptr;
  }
  return static_cast<std::size_t>(p - out);
}

class Writer {
 public:
  explicit Writer(std::string& out) : sink_(out) {}

  void value(const Value& v) {
    switch (v.type()) {
      case Type::kNull:
        sink_.put("null");
        return;
      case Type::kBool:
        sink_.put(v.as_bool() ? std::string_view("true") : std::string_view("false"));
        return;
      case Type::kInt: {
        char* p = sink_.reserve(24);
        sink_.advance(static_cast<std::size_t>(std::to_chars(p, p + 24, v.as_int()).ptr - p));
        return;
      }
      case Type::kBigInt:
        sink_.put(v.big_int_digits());
        return;
      case Type::kReal:
        real(v.as_real());
        return;
      case Type::kString:
        write_string(sink_, v.as_string());
        return;
      case Type::kArray: {
        enter();
        const Array& a = v.as_array();
        sink_.put('[');
        for (std::size_t i = 0; i < a.size(); ++i) {
          if (i != 0) sink_.put(", ");
          value(a[i]);
        }
        sink_.put(']');
        --depth_;
        return;
      }
      case Type::kObject: {
        enter();
        bool first = true;
        sink_.put('{');
        for (const auto& m : v.as_object()) {
          if (!first) sink_.put(", ");
          first = false;
          write_string(sink_, m.name());
          sink_.put(": ");
          value(m.value);
        }
        sink_.put('}');
        --depth_;
        return;
      }
    }
  }

 private:
  void enter() {
    if (++depth_ > kMaxDepth) throw ValueError("Nesting deeper than 1000 levels");
  }

  void real(double d) {
    if (std::isnan(d)) {
      sink_.put("NaN");
    } else if (std::isinf(d)) {
      sink_.put(d > 0 ? std::string_view("Infinity") : std::string_view("-Infinity"));
    } else {
      char* p = sink_.reserve(40);
      sink_.advance(format_finite(d, p));
    }
  }

  Sink sink_;
  std::size_t depth_ = 0;
};

}  // namespace

void append_real(double d, std::string& out) {
  if (std::isnan(d)) {
    out += "nan";
  } else if (std::isinf(d)) {
    out += d > 0 ? "inf" : "-inf";
  } else {
    char buf[40];
    out.append(buf, format_finite(d, buf));
  }
}

void write(const Value& value, std::string& out) { Writer(out).value(value); }

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace qor::json
