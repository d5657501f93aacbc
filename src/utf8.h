// Decoding one UTF-8 sequence (private to the core): the one rule that printable() and the
// repr of messages share.
#ifndef QOR_UTF8_H_
#define QOR_UTF8_H_

#include <cstddef>
#include <cstdint>

namespace qor::detail {

// The length of the valid UTF-8 sequence at `p` (at most `left` bytes; no overlong forms, nothing
// beyond U+10FFFF, surrogates only with `surrogates`), with its code point in `cp`; 0 when there
// is none.
inline std::size_t decode_utf8(const unsigned char* p, std::size_t left, std::uint32_t& cp,
                               bool surrogates) {
  const unsigned char c = p[0];
  std::size_t n;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (!surrogates && cp >= 0xD800 && cp <= 0xDFFF))) ||
      (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return n;
}

}  // namespace qor::detail

#endif  // QOR_UTF8_H_
