// What the two JSON writers write alike (private to src/json): the escapes of characters and
// the text of a double that is not finite.
#ifndef QOR_JSON_ESCAPE_H_
#define QOR_JSON_ESCAPE_H_

#include <cmath>
#include <string_view>

namespace qor::json::detail {

inline constexpr char kHex[] = "0123456789abcdef";

// Writes "\uXXXX" for `cp` (below 0x10000) at `p`; returns the end.
inline char* put_u_escape(char* p, unsigned cp) {
  p[0] = '\\';
  p[1] = 'u';
  p[2] = kHex[(cp >> 12) & 0xF];
  p[3] = kHex[(cp >> 8) & 0xF];
  p[4] = kHex[(cp >> 4) & 0xF];
  p[5] = kHex[cp & 0xF];
  return p + 6;
}

// Writes the escape that json.dumps gives the ASCII character `c` ('"', '\\', a control or
// DEL) at `p`: its two-character escape where JSON has one, else "\u00XX"; returns the end.
inline char* put_ascii_escape(char* p, unsigned char c) {
  char short_form = 0;
  switch (c) {
    case '"':
      short_form = '"';
      break;
    case '\\':
      short_form = '\\';
      break;
    case '\n':
      short_form = 'n';
      break;
    case '\r':
      short_form = 'r';
      break;
    case '\t':
      short_form = 't';
      break;
    case '\b':
      short_form = 'b';
      break;
    case '\f':
      short_form = 'f';
      break;
    default:
      return put_u_escape(p, c);
  }
  p[0] = '\\';
  p[1] = short_form;
  return p + 2;
}

// The text json.dumps gives a double that is not finite ("NaN", "Infinity", "-Infinity");
// empty for a finite one.
inline std::string_view non_finite_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return {};
}

// Turns on (where the processor has AVX-512 VBMI2) or off the writer's vector path for lazily
// read text whose strings hold non-ASCII characters; returns whether the processor has it. For
// the tests, which compare the output of both paths.
bool use_wide_escape(bool on);

// The white space JSON allows between tokens.
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace qor::json::detail

#endif  // QOR_JSON_ESCAPE_H_
