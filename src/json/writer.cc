// The JSON writer: the exact bytes of CPython's `json.dumps(value)` with default options (", "
// and ": " separators, ASCII-only output, reals in repr form). Plain runs of string bytes are
// found sixteen at a time and copied whole; text read lazily whose strings hold non-ASCII
// characters is escaped sixty-four bytes at a time where the processor has AVX-512 VBMI2; the
// output grows in large steps and is trimmed once.

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "json/byte_scan.h"
#include "json/escape.h"
#include "json/raw.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

using detail::put_ascii_escape;
using detail::put_u_escape;

// Starts loading the block at `address` (when not null) into the cache.
inline void prefetch(const void* address) {
#if defined(__GNUC__)
  if (address != nullptr) __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// An output buffer over a std::string whose size runs ahead of the written length: callers
// reserve room once, then write through a raw pointer.
class Sink {
 public:
  // Writes into `out` after what it holds; with `emit`, hands the text over in pieces instead.
  explicit Sink(std::string& out, const std::function<void(std::string_view)>* emit = nullptr)
      : out_(out), emit_(emit), start_(out.size()) {
    cur_ = limit_ = out_.data() + out_.size();
  }
  ~Sink() { out_.resize(static_cast<std::size_t>(cur_ - out_.data())); }

  // Hands over what is left, when emitting.
  void finish() {
    if (emit_ == nullptr) return;
    (*emit_)(std::string_view(out_.data(), static_cast<std::size_t>(cur_ - out_.data())));
    cur_ = out_.data();
    start_ = 0;
  }

  // Room for at least `n` more bytes; returns where to write.
  char* reserve(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - cur_) < n) grow(n);
    return cur_;
  }
  // Marks everything up to `end` (a pointer into the reserved room) as written.
  void commit(char* end) { cur_ = end; }
  void advance(std::size_t n) { cur_ += n; }
  void put(char c) {
    reserve(1);
    *cur_++ = c;
  }
  void put(char a, char b) {
    reserve(2);
    cur_[0] = a;
    cur_[1] = b;
    cur_ += 2;
  }
  void put(std::string_view s) {
    std::memcpy(reserve(s.size()), s.data(), s.size());
    cur_ += s.size();
  }
  // put() for long texts: when emitting, hands them over as they are instead of copying them.
  void put_long(std::string_view s) {
    constexpr std::size_t kDirect = std::size_t{64} << 10;
    if (emit_ == nullptr || s.size() < kDirect) return put(s);
    (*emit_)(std::string_view(out_.data(), static_cast<std::size_t>(cur_ - out_.data())));
    cur_ = out_.data();
    start_ = 0;
    (*emit_)(s);
  }

 private:
  void grow(std::size_t n) {
    if (emit_ != nullptr) {
      // Handing over: the room is one piece, taken once; when it is short, what it holds goes
      // out and the room is used again. Only a single reservation longer than a piece makes it
      // grow, so the memory held stays at a piece whatever the size of the text written.
      constexpr std::size_t kPiece = std::size_t{256} << 10;
      if (cur_ != out_.data()) {
        (*emit_)(std::string_view(out_.data(), static_cast<std::size_t>(cur_ - out_.data())));
        cur_ = out_.data();
        start_ = 0;
        if (static_cast<std::size_t>(limit_ - cur_) >= n) return;
      }
      out_.resize(std::max(n + 256, kPiece));
      cur_ = out_.data();
      limit_ = out_.data() + out_.size();
      return;
    }
    const std::size_t used = static_cast<std::size_t>(cur_ - out_.data());
    // Every resize zero-fills what it adds, so the room grows with what this sink has written
    // (doubling it), never with what the string held before or the capacity it has: a small
    // value written after a large text costs what it writes.
    const std::size_t written = used - start_;
    out_.resize(used + std::max(n + 256, written));
    cur_ = out_.data() + used;
    limit_ = out_.data() + out_.size();
  }

  std::string& out_;
  const std::function<void(std::string_view)>* emit_;
  std::size_t start_;  // the string's size when this sink began (or last handed its text over)
  char* cur_;
  char* limit_;
};

// The bytes that cannot be copied as they are: '"', '\\', controls, DEL and non-ASCII.
constexpr bool needs_escape(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x7F;
}

// Writes the escape of the character starting at s[k] (which needs one); returns the new output
// position and advances `k` past the character. Values hold valid UTF-8 (surrogates included,
// in their 3-byte form).
char* put_escape(char* out, const char* s, std::size_t& k) {
  const unsigned char c = static_cast<unsigned char>(s[k++]);
  if (c < 0x80) return put_ascii_escape(out, c);
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
    out = put_u_escape(out, 0xD800 | (cp >> 10));
    return put_u_escape(out, 0xDC00 | (cp & 0x3FF));
  }
  return put_u_escape(out, cp);
}

// Copies s[k, block_end) of a text of `n` bytes to `out`, each byte that `stops` marks (sixteen
// bytes at a time) or, near the end of the text, that `stop` names written by put_escape();
// moves k to block_end (or past the character begun before it) and returns the end of what it
// wrote. `out` must have room for six bytes per byte, three more, and a last sixteen-byte store.
template <class Stops, class Stop>
char* copy_escaping(char* out, const char* s, std::size_t n, std::size_t& k, std::size_t block_end,
                    Stops stops, Stop stop) {
  while (k < block_end) {
    if (k + detail::kScanWidth <= n) {
      const unsigned mask = stops(s + k);
      // Store all sixteen bytes; only those before the first escape count.
      std::memcpy(out, s + k, detail::kScanWidth);
      if (mask == 0) {
        out += detail::kScanWidth;
        k += detail::kScanWidth;
        continue;
      }
      const std::size_t plain = detail::first_set(mask);
      out += plain;
      k += plain;
    } else if (!stop(static_cast<unsigned char>(s[k]))) {
      *out++ = s[k++];
      continue;
    }
    // Escapes come in runs (a word of accented letters, a line of control characters): the
    // next byte is looked at alone before the next sixteen are.
    do {
      out = put_escape(out, s, k);
    } while (k < block_end && stop(static_cast<unsigned char>(s[k])));
  }
  return out;
}

void write_string(Sink& sink, std::string_view text) {
  // Work in blocks, so that the room reserved for the worst case (six output bytes per input
  // byte, plus sixteen for the last vector store) stays small for long strings.
  constexpr std::size_t kBlock = 4096;
  const char* s = text.data();
  const std::size_t n = text.size();
  char* out = sink.reserve(std::min(n, kBlock) * 6 + 18);
  *out++ = '"';
  std::size_t k = 0;
  while (k < n) {
    out = copy_escaping(
        out, s, n, k, std::min(n, k + kBlock),
        [](const char* p) { return detail::mask_needs_escape(p); },
        [](unsigned char c) { return needs_escape(c); });
    if (k < n) {
      sink.commit(out);
      out = sink.reserve(std::min(n - k, kBlock) * 6 + 18);
    }
  }
  *out++ = '"';
  sink.commit(out);
}

}  // namespace

// Python's repr(float) for finite values: shortest round-trip digits, fixed notation when the
// decimal exponent lies in [-4, 16), otherwise d.ddde+XX.
std::size_t detail::format_finite(double d, char* out) {
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

namespace {

using detail::format_finite;
using detail::is_space;

using detail::string_token_end;

#ifdef QOR_X86_DISPATCH
#define QOR_WIDE_ESCAPE 1
#define QOR_WIDE_TARGET \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2")))

// Whether the writer uses the QOR_WIDE_TARGET functions below (detail::use_wide_escape()).
std::atomic<bool> wide_escape{detail::kCpu.avx512_vbmi2};

// Writes the bytes of `x` that `taken` marks (ASCII without DEL and two-byte sequences, a
// sequence possibly begun before x or going on after it; `prev` holds the byte before each) at
// `out` as a checked text's characters from U+007F on are written: a lead byte as "\u0" and the
// first hex digit of its character, a continuation byte as the two digits it shares with the lead
// byte, an ASCII byte as itself. Each byte takes four bytes of a vector, of which those it needs
// are packed. Stores sixty-four bytes; returns the end of what it wrote.
QOR_WIDE_TARGET inline char* escape_two_byte_text(char* out, __m128i x, __m128i prev,
                                                  unsigned taken) {
  constexpr std::uint64_t kFirst = 0x1111111111111111ull;  // the first of each byte's four places
  const unsigned lead = _mm_cmpge_epu8_mask(x, _mm_set1_epi8(static_cast<char>(0xC0))) & taken;
  const unsigned cont = _mm_movepi8_mask(x) & ~lead & taken;
  const std::uint64_t lead_at = _pdep_u64(lead, kFirst);
  const std::uint64_t cont_at = _pdep_u64(cont, kFirst);
  const std::uint64_t keep =
      _pdep_u64(taken, kFirst) | ((lead_at | cont_at) << 1) | (lead_at << 2) | (lead_at << 3);
  // Each byte, and the byte before it, in its four places.
  const __m512i spread =
      _mm512_set_epi8(15, 15, 15, 15, 14, 14, 14, 14, 13, 13, 13, 13, 12, 12, 12, 12, 11, 11, 11,
                      11, 10, 10, 10, 10, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 6, 6, 6, 6, 5, 5, 5,
                      5, 4, 4, 4, 4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
  // (The masked forms, as the unmasked ones start from an undefined vector that GCC 12 warns of.)
  constexpr __mmask64 kAll = ~__mmask64{0};
  const __m512i c = _mm512_maskz_permutexvar_epi8(kAll, spread, _mm512_zextsi128_si512(x));
  const __m512i p = _mm512_maskz_permutexvar_epi8(kAll, spread, _mm512_zextsi128_si512(prev));
  const __m512i low2 = _mm512_set1_epi8(3);
  // The hex digits: a lead byte's in its fourth place, a continuation byte's in its first two.
  const __m512i lead_digit = _mm512_and_si512(_mm512_srli_epi16(c, 2), _mm512_set1_epi8(7));
  const __m512i cont_high = _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(p, low2), 2),
                                            _mm512_and_si512(_mm512_srli_epi16(c, 4), low2));
  const __m512i cont_low = _mm512_and_si512(c, _mm512_set1_epi8(0xF));
  __m512i digit = _mm512_mask_mov_epi8(lead_digit, kFirst, cont_high);
  digit = _mm512_mask_mov_epi8(digit, kFirst << 1, cont_low);
  alignas(64) static constexpr char kHexes[65] =
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  const __m512i hex = _mm512_shuffle_epi8(_mm512_load_si512(kHexes), digit);
  __m512i r = _mm512_mask_mov_epi8(c, lead_at | (lead_at << 1) | (lead_at << 2),
                                   _mm512_set1_epi32(0x0030755C));  // "\u0" in each four
  r = _mm512_mask_mov_epi8(r, (lead_at << 3) | cont_at | (cont_at << 1), hex);
  _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, r));
  return out + std::popcount(keep);
}
#endif

class Writer {
 public:
  explicit Writer(std::string& out, const std::function<void(std::string_view)>* emit = nullptr)
      : sink_(out, emit) {}

  void finish() { sink_.finish(); }

  void value(const Value& v) {
    if (v.is_raw()) {
      const detail::RawView raw = detail::RawAccess::view(v);
      // Past the depth limit, the members are read (into a value of its own: writing never
      // changes what it writes) so that the error comes as for any value.
      if (depth_ + raw.depth > kMaxDepth) return value(detail::RawAccess::read(raw));
      const bool unicode = (raw.form & detail::kUnicode) != 0;
      if ((raw.form & detail::kExact) == 0) {
        put_spaced(raw.text, unicode);
      } else if (unicode) {
        put_escaping_unicode(raw.text);
      } else {
        sink_.put_long(raw.text);
      }
      return;
    }
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
        const std::size_t n = a.size();
        for (std::size_t i = 0; i < n; ++i) {
          if (i + 4 < n) prefetch(a[i + 4].heap_block());
          if (i + 2 < n) prefetch(a[i + 2].first_item());
          if (i != 0) sink_.put(',', ' ');
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
        const Object& o = v.as_object();
        for (auto it = o.begin(); it != o.end(); ++it) {
          if (o.end() - it > 2) prefetch(it[2].value.heap_block());
          if (o.end() - it > 1) prefetch(it[1].value.first_item());
          const auto& m = *it;
          if (!first) sink_.put(',', ' ');
          first = false;
          write_string(sink_, m.name());
          sink_.put(':', ' ');
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

  // Writes a checked text that is in written form up to the white space between tokens: tokens
  // as they are (with `unicode`, string tokens with their characters from U+007F on escaped),
  // ", " and ": " as separators. (Kept out of value(), whose recursion it would slow.)
  [[gnu::noinline]] void put_spaced(std::string_view t, bool unicode) {
#ifdef QOR_WIDE_ESCAPE
    if (unicode && wide_escape.load(std::memory_order_relaxed)) return put_spaced_wide(t);
#endif
    put_spaced_tokens<false>(t, unicode);
  }

  // put_spaced()'s loop; `wide` (with `unicode`) takes string tokens the vector way. Inlined
  // always, so that it is compiled for the processor of the function it is in.
  template <bool wide>
  [[gnu::always_inline]] inline void put_spaced_tokens(std::string_view t, bool unicode) {
    std::size_t k = 0;
    const std::size_t n = t.size();
    while (k < n) {
      const char c = t[k];
      if (c == '"') {
#ifdef QOR_WIDE_ESCAPE
        if constexpr (wide) {
          const std::size_t end = token_end_wide(t, k);
          put_token_wide(t, k, end);
          k = end;
          continue;
        }
#endif
        const std::size_t end = string_token_end(t, k);
        if (unicode) {
          put_escaping_unicode(t.substr(k, end - k));
        } else {
          sink_.put_long(t.substr(k, end - k));
        }
        k = end;
      } else if (is_space(c)) {
        ++k;
      } else if (c == ',' || c == ':') {
        sink_.put(c, ' ');
        ++k;
      } else {
        std::size_t end = k + 1;
        while (end < n && !is_space(t[end]) && t[end] != '"' && t[end] != ',' && t[end] != ':')
          ++end;
        sink_.put(t.substr(k, end - k));
        k = end;
      }
    }
  }

#ifdef QOR_WIDE_ESCAPE
  // put_spaced() with `unicode`, for processors with AVX-512 VBMI2.
  QOR_WIDE_TARGET void put_spaced_wide(std::string_view t) { put_spaced_tokens<true>(t, true); }

  // string_token_end() that first looks at the sixty-four bytes from k, where there are as many
  // to read: the first '"' after the opening one ends the token unless a backslash precedes it.
  QOR_WIDE_TARGET inline static std::size_t token_end_wide(std::string_view t, std::size_t k) {
    if (t.size() - k >= 64) {
      const __m512i v = _mm512_loadu_si512(t.data() + k);
      const std::uint64_t quotes =
          _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) & ~std::uint64_t{1};
      const std::uint64_t backslashes = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
      if (quotes != 0 && ((backslashes << 1) & quotes & (~quotes + 1)) == 0)
        return k + static_cast<std::size_t>(std::countr_zero(quotes)) + 1;
    }
    return string_token_end(t, k);
  }

  // Writes the string token t[k, end) with its characters from U+007F on escaped, sixty-four bytes
  // at a time while there are sixty-four to read and they hold only ASCII and two-byte sequences:
  // as they are when all ASCII, else in four steps of sixteen bytes without a branch on what they
  // hold. Each step starts where a character does (it takes one byte less when a sequence would
  // go on past it); the rest goes to put_escaping_unicode().
  QOR_WIDE_TARGET inline void put_token_wide(std::string_view t, std::size_t k, std::size_t end) {
    const char* s = t.data() + k;
    const char* const token_end = t.data() + end;
    const char* const text_end = t.data() + t.size();
    const auto load = [](const char* p) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    while (s < token_end && text_end - s >= 64) {
      const auto left = static_cast<std::size_t>(token_end - s);
      const __m512i v = _mm512_loadu_si512(s);
      std::uint64_t taken = left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
      const std::uint64_t del = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(0x7F));
      if (((_mm512_movepi8_mask(v) | del) & taken) == 0) {
        char* out = sink_.reserve(64);
        _mm512_storeu_si512(out, v);
        const std::size_t step = std::min<std::size_t>(left, 64);
        sink_.commit(out + step);
        s += step;
        continue;
      }
      if (((_mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(0xE0))) | del) & taken) !=
          0)
        break;
      if (left > 64 &&
          (_mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(static_cast<char>(0xC0))) >> 63) != 0) {
        taken >>= 1;
      }
      // Three output bytes for each input byte at most, and the last store's sixty-four.
      char* out = sink_.reserve(3 * 64 + 64);
      // A step starts where a character does: the byte before it is never looked at.
      const __m128i first = load(s);
      out = escape_two_byte_text(out, first, _mm_bslli_si128(first, 1),
                                 static_cast<unsigned>(taken & 0xFFFF));
      out = escape_two_byte_text(out, load(s + 16), load(s + 15),
                                 static_cast<unsigned>((taken >> 16) & 0xFFFF));
      out = escape_two_byte_text(out, load(s + 32), load(s + 31),
                                 static_cast<unsigned>((taken >> 32) & 0xFFFF));
      out =
          escape_two_byte_text(out, load(s + 48), load(s + 47), static_cast<unsigned>(taken >> 48));
      sink_.commit(out);
      s += std::popcount(taken);
    }
    if (s < token_end)
      put_escaping_unicode(std::string_view(s, static_cast<std::size_t>(token_end - s)));
  }
#endif

  // Writes a checked text (or a part of one made of whole tokens) in which only the characters
  // from U+007F on (DEL and non-ASCII, found inside strings only) differ from their written
  // form: the rest as it is, those characters as their \u escapes. Works in blocks, as
  // write_string() does.
  void put_escaping_unicode(std::string_view t) {
    constexpr std::size_t kBlock = 4096;
    const char* s = t.data();
    const std::size_t n = t.size();
    std::size_t k = 0;
    while (k < n) {
      const std::size_t block_end = std::min(n, k + kBlock);
      // At most six bytes for each byte (DEL), a character begun in the block may end three
      // bytes past it, and the last vector store writes sixteen.
      char* out = sink_.reserve((block_end - k + 3) * 6 + detail::kScanWidth);
      out = copy_escaping(
          out, s, n, k, block_end,
          [](const char* p) { return detail::mask_non_ascii(p) | detail::mask_equal(p, '\x7f'); },
          [](unsigned char c) { return c >= 0x7F; });
      sink_.commit(out);
    }
  }

  void real(double d) {
    if (const std::string_view text = detail::non_finite_text(d); !text.empty()) {
      sink_.put(text);
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

bool detail::use_wide_escape(bool on) {
#ifdef QOR_WIDE_ESCAPE
  wide_escape.store(on && detail::kCpu.avx512_vbmi2);
  return detail::kCpu.avx512_vbmi2;
#else
  (void)on;
  return false;
#endif
}

void write(const Value& value, std::string& out) { Writer(out).value(value); }

void write(const Value& value, const std::function<void(std::string_view)>& emit) {
  std::string buffer;
  Writer writer(buffer, &emit);
  writer.value(value);
  writer.finish();
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace qor::json
