// Terminal-safe text: runs of printable ASCII are copied in one step; every other byte is decoded
// as UTF-8 and its code point copied, escaped, or replaced by U+FFFD when it is not valid.
#include "qor/printable.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "utf8.h"

namespace qor {
namespace {

// The format characters (category Cf) and the line and paragraph separators (Zl, Zp), as
// ranges of code points sorted by their first.
constexpr std::uint32_t kFormat[][2] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool escaped(std::uint32_t cp) {
  if (cp >= 0x80 && cp <= 0x9F) return true;  // C1 controls
  const auto* after = std::upper_bound(std::begin(kFormat), std::end(kFormat), cp,
                                       [](std::uint32_t c, const auto& r) { return c < r[0]; });
  return after != std::begin(kFormat) && cp <= (*(after - 1))[1];
}

}  // namespace

void append_printable(std::string_view text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  char buf[16];
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F) {
      std::size_t j = i + 1;
      while (j < n && p[j] >= 0x20 && p[j] < 0x7F) ++j;
      out.append(text.data() + i, j - i);
      i = j;
    } else if (c == '\t') {
      out += '\t';
      ++i;
    } else if (c < 0x80) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
      ++i;
    } else if (std::uint32_t cp = 0;
               const std::size_t len = detail::decode_utf8(p + i, n - i, cp, false)) {
      if (!escaped(cp)) {
        out.append(text.data() + i, len);
      } else if (cp <= 0xFFFF) {
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
        out += buf;
      } else {
        std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
        out += buf;
      }
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
}

std::string printable(std::string_view text) {
  std::string out;
  append_printable(text, out);
  return out;
}

std::string printable_line(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (end < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    append_printable(line, out);
    if (end < text.size()) out += ' ';
    at = end + 1;
  }
  return out;
}

}  // namespace qor
