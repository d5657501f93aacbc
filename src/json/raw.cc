// Comparison of texts of raw values (json/raw.h). Texts in written form up to spacing denote
// equal values when their tokens are the same bytes; anything else is left to the comparison
// of members.
#include "json/raw.h"

#include <cstring>

#include "json/byte_scan.h"
#include "json/escape.h"

namespace qor::json::detail {

std::size_t string_token_end(std::string_view t, std::size_t k) {
  __builtin_prefetch(t.data() + k + 1024);  // the bytes ahead, as the reader does
  const std::size_t first = ++k;
  // Most strings are short: one look at sixteen bytes finds their end.
  if (k + kScanWidth <= t.size()) {
    const unsigned mask = mask_string_stop(t.data() + k);
    if (mask != 0) {
      k += first_set(mask);
      if (t[k] == '"') return k + 1;
      k = first;
    } else {
      k += kScanWidth;
    }
  }
  // A checked string holds no control character, so its end is the first '"' after an even
  // run of backslashes (none included): memchr finds the quotes, long texts go by fast.
  for (;;) {
    const char* quote = static_cast<const char*>(std::memchr(t.data() + k, '"', t.size() - k));
    const std::size_t at = static_cast<std::size_t>(quote - t.data());
    std::size_t escapes = at;
    while (escapes > first && t[escapes - 1] == '\\') --escapes;
    if (((at - escapes) & 1) == 0) return at + 1;
    k = at + 1;
  }
}

namespace {

// Whether two checked texts have the same tokens, white space between tokens left out.
bool same_tokens(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  for (;;) {
    while (i < a.size() && is_space(a[i])) ++i;
    while (j < b.size() && is_space(b[j])) ++j;
    if (i == a.size() || j == b.size()) return i == a.size() && j == b.size();
    if (a[i] != b[j]) return false;
    if (a[i] == '"') {
      const std::size_t ea = string_token_end(a, i);
      const std::size_t eb = string_token_end(b, j);
      if (ea - i != eb - j || std::memcmp(a.data() + i, b.data() + j, ea - i) != 0) return false;
      i = ea;
      j = eb;
    } else {
      ++i;
      ++j;
    }
  }
}

}  // namespace

bool raw_texts_equal(const RawView& a, const RawView& b) {
  if (a.text.size() == b.text.size() &&
      (a.text.data() == b.text.data() ||
       std::memcmp(a.text.data(), b.text.data(), a.text.size()) == 0)) {
    return true;
  }
  // Two texts in written form that differ may still denote equal values (another key order,
  // 1 and 1.0): not known here.
  if ((a.form & b.form & kExact) != 0) return false;
  return same_tokens(a.text, b.text);
}

}  // namespace qor::json::detail
