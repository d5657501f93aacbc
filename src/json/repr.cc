// Python-style rendering of values for messages and debug logs: the text that Python's repr()
// gives for the corresponding Python object (dicts, lists, str with its quoting rules, floats).
#include <charconv>

#include "qor/errors.h"
#include "qor/json.h"
#include "utf8.h"

namespace qor::json {
namespace {

// Characters that Python's str.isprintable() rejects, as far as a log needs: controls, format
// characters, separators other than the space, surrogates and private use.
bool printable(std::uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
  if ((cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F)) return false;
  if ((cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;
  if (cp >= 0xFFF9 && cp <= 0xFFFB) return false;
  if (cp >= 0xF0000) return false;
  return true;
}

// The code point of the UTF-8 sequence at text[k], its length in `len`. A byte that begins
// no complete sequence stands for itself as U+DC80..U+DCFF, the way Python's surrogateescape
// decodes a file name; surrogates in their three-byte form (which values may hold) read as such.
std::uint32_t next_code_point(std::string_view text, std::size_t k, std::size_t& len) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + k;
  len = 1;
  if (p[0] < 0x80) return p[0];
  std::uint32_t cp = 0;
  if (const std::size_t n = qor::detail::decode_utf8(p, text.size() - k, cp, true)) {
    len = n;
    return cp;
  }
  return 0xDC00u | p[0];
}

void append_escape(std::string& out, char kind, std::uint32_t cp, int width) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('\\');
  out.push_back(kind);
  for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kHex[(cp >> shift) & 0xF]);
}

}  // namespace

void append_py_str_repr(std::string_view text, std::string& out) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out.push_back(quote);
  for (std::size_t k = 0; k < text.size();) {
    std::size_t len = 1;
    const std::uint32_t cp = next_code_point(text, k, len);
    if (cp == static_cast<std::uint32_t>(quote) || cp == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(cp));
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (printable(cp)) {
      out.append(text.substr(k, len));
    } else if (cp < 0x100) {
      append_escape(out, 'x', cp, 2);
    } else if (cp < 0x10000) {
      append_escape(out, 'u', cp, 4);
    } else {
      append_escape(out, 'U', cp, 8);
    }
    k += len;
  }
  out.push_back(quote);
}

void append_py_repr(const Value& value, std::string& out) {
  switch (value.type()) {
    case Type::kNull:
      out += "None";
      return;
    case Type::kBool:
      out += value.as_bool() ? "True" : "False";
      return;
    case Type::kInt:
      out += std::to_string(value.as_int());
      return;
    case Type::kBigInt:
      out += value.big_int_digits();
      return;
    case Type::kReal:
      append_real(value.as_real(), out);
      return;
    case Type::kString:
      append_py_str_repr(value.as_string(), out);
      return;
    case Type::kArray: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : value.as_array()) {
        if (!first) out += ", ";
        first = false;
        append_py_repr(item, out);
      }
      out.push_back(']');
      return;
    }
    case Type::kObject: {
      out.push_back('{');
      bool first = true;
      for (const auto& m : value.as_object()) {
        if (!first) out += ", ";
        first = false;
        append_py_str_repr(m.name(), out);
        out += ": ";
        append_py_repr(m.value, out);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace qor::json
