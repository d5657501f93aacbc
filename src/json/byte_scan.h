// Sixteen-byte scans shared by the JSON reader and writer (private to src/json). Each mask
// function looks at the 16 bytes at `p` and returns a mask whose bit i is set when byte p[i]
// belongs to the class; SSE2 does it in a few instructions where the target has it, and a
// portable loop gives the same masks elsewhere.
#ifndef QOR_JSON_BYTE_SCAN_H_
#define QOR_JSON_BYTE_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::json::detail {

inline constexpr std::size_t kScanWidth = 16;

#if defined(__x86_64__) && defined(__GNUC__)
#define QOR_X86_DISPATCH 1
// What the processor offers beyond the build's baseline, checked once as the program starts: the
// reader and the writer choose the functions they compile for more by it.
struct CpuFeatures {
  bool avx2;          // the reader's UTF-8 check
  bool avx512_vbmi2;  // with AVX-512 BW and VL and BMI2: the writer's escape of non-ASCII text
};
inline const CpuFeatures kCpu = [] {
  __builtin_cpu_init();  // this runs among the static initializers
  return CpuFeatures{
      __builtin_cpu_supports("avx2") != 0,
      __builtin_cpu_supports("avx512vbmi2") != 0 && __builtin_cpu_supports("avx512vl") != 0 &&
          __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("bmi2") != 0};
}();
#endif

// The bytes a string's scan stops at: '"', '\\' and control characters (below 0x20; bytes of
// UTF-8 sequences, 0x80 and above, do not count).
inline unsigned mask_string_stop(const char* p) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Unsigned "below 0x20" as a signed compare after flipping the top bit.
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i ctrl =
      _mm_cmplt_epi8(_mm_xor_si128(x, flip), _mm_xor_si128(_mm_set1_epi8(0x20), flip));
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      ctrl);
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
#else
  unsigned mask = 0;
  for (std::size_t i = 0; i < kScanWidth; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c == '"' || c == '\\' || c < 0x20) mask |= 1u << i;
  }
  return mask;
#endif
}

// The bytes that the writer cannot copy as they are: '"', '\\', controls, DEL and non-ASCII.
inline unsigned mask_needs_escape(const char* p) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compare: bytes >= 0x80 are negative and so count as "below space" too.
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F))));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
#else
  unsigned mask = 0;
  for (std::size_t i = 0; i < kScanWidth; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7F) mask |= 1u << i;
  }
  return mask;
#endif
}

// The bytes at or above 0x80.
inline unsigned mask_non_ascii(const char* p) {
#if defined(__SSE2__)
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
  unsigned mask = 0;
  for (std::size_t i = 0; i < kScanWidth; ++i) {
    if (static_cast<unsigned char>(p[i]) >= 0x80) mask |= 1u << i;
  }
  return mask;
#endif
}

// The bytes of the 16 at `p` that continue a UTF-8 sequence (0x80 to 0xBF) in `cont`, those that
// start a two-byte sequence (0xC2 to 0xDF) in `lead2`; returns the bytes at or above 0x80.
inline unsigned mask_utf8_two_byte(const char* p, unsigned& cont, unsigned& lead2) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compares: 0x80..0xBF are -128..-65, 0xC2..0xDF are -62..-33.
  cont = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(0xC0)))));
  lead2 = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(0xC1))),
                                      _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(0xE0))))));
  return static_cast<unsigned>(_mm_movemask_epi8(x));
#else
  unsigned any = 0;
  cont = lead2 = 0;
  for (std::size_t i = 0; i < kScanWidth; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (c >= 0x80) any |= 1u << i;
    if (c >= 0x80 && c <= 0xBF) cont |= 1u << i;
    if (c >= 0xC2 && c <= 0xDF) lead2 |= 1u << i;
  }
  return any;
#endif
}

// The bytes equal to `c`.
inline unsigned mask_equal(const char* p, char c) {
#if defined(__SSE2__)
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(c))));
#else
  unsigned mask = 0;
  for (std::size_t i = 0; i < kScanWidth; ++i) {
    if (p[i] == c) mask |= 1u << i;
  }
  return mask;
#endif
}

// Whether the 64 bytes at `p` are all ASCII.
inline bool all_ascii_64(const char* p) {
#if defined(__SSE2__)
  const auto* v = reinterpret_cast<const __m128i*>(p);
  const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(v), _mm_loadu_si128(v + 1)),
                                   _mm_or_si128(_mm_loadu_si128(v + 2), _mm_loadu_si128(v + 3)));
  return _mm_movemask_epi8(any) == 0;
#else
  unsigned char any = 0;
  for (std::size_t i = 0; i < 64; ++i) any |= static_cast<unsigned char>(p[i]);
  return any < 0x80;
#endif
}

// The position of the lowest set bit of a non-zero mask.
inline std::size_t first_set(unsigned mask) {
  return static_cast<std::size_t>(std::countr_zero(mask));
}

}  // namespace qor::json::detail

#endif  // QOR_JSON_BYTE_SCAN_H_
