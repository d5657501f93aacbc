// The floor a merge is measured against: a program that parses the three notebook files with
// simdjson's DOM parser (all three documents held at once, as a merge holds them) and writes
// the current one in the merge's output form (`json.dumps` with default options: ", " and ": "
// separators, ASCII only) to a temporary file that then replaces the output path, as the merge
// replaces the current file. Benchmark only: the product never uses simdjson.
//
//   simdjson_floor BASE CURRENT INCOMING OUTPUT
#include <emmintrin.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "simdjson.h"

namespace {

class Out {
 public:
  explicit Out(int fd) : fd_(fd) { buf_.reserve(kPiece + 4096); }
  ~Out() { flush(); }
  void put(std::string_view s) {
    buf_.append(s);
    if (buf_.size() >= kPiece) flush();
  }
  void put(char c) { buf_.push_back(c); }
  std::string& raw() { return buf_; }
  void maybe_flush() {
    if (buf_.size() >= kPiece) flush();
  }
  void flush() {
    std::size_t done = 0;
    while (done < buf_.size()) {
      const ssize_t n = ::write(fd_, buf_.data() + done, buf_.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    buf_.clear();
  }

 private:
  static constexpr std::size_t kPiece = std::size_t{1} << 20;
  int fd_;
  std::string buf_;
};

constexpr char kHex[] = "0123456789abcdef";

void u_escape(std::string& o, unsigned cp) {
  const char e[6] = {
      '\\', 'u', kHex[(cp >> 12) & 15], kHex[(cp >> 8) & 15], kHex[(cp >> 4) & 15], kHex[cp & 15]};
  o.append(e, 6);
}

void write_string(Out& out, std::string_view s) {
  std::string& o = out.raw();
  o.push_back('"');
  std::size_t k = 0;
  const std::size_t n = s.size();
  while (k < n) {
    std::size_t run = k;
    while (run + 16 <= n) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + run));
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')),
                                                    _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
                                       _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)),
                                                    _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F))));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      if (mask != 0) {
        run += static_cast<std::size_t>(__builtin_ctz(mask));
        goto found;
      }
      run += 16;
    }
    while (run < n) {
      const auto c = static_cast<unsigned char>(s[run]);
      if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7F) break;
      ++run;
    }
  found:
    o.append(s.data() + k, run - k);
    k = run;
    if (k >= n) break;
    const auto c = static_cast<unsigned char>(s[k++]);
    switch (c) {
      case '"':
        o += "\\\"";
        continue;
      case '\\':
        o += "\\\\";
        continue;
      case '\n':
        o += "\\n";
        continue;
      case '\r':
        o += "\\r";
        continue;
      case '\t':
        o += "\\t";
        continue;
      case '\b':
        o += "\\b";
        continue;
      case '\f':
        o += "\\f";
        continue;
      default:
        break;
    }
    if (c < 0x80) {
      u_escape(o, c);
      continue;
    }
    unsigned cp;
    if (c < 0xE0) {
      cp = ((c & 0x1Fu) << 6) | (s[k] & 0x3Fu);
      k += 1;
    } else if (c < 0xF0) {
      cp = ((c & 0x0Fu) << 12) | ((s[k] & 0x3Fu) << 6) | (s[k + 1] & 0x3Fu);
      k += 2;
    } else {
      cp = ((c & 0x07u) << 18) | ((s[k] & 0x3Fu) << 12) | ((s[k + 1] & 0x3Fu) << 6) |
           (s[k + 2] & 0x3Fu);
      k += 3;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u_escape(o, 0xD800 | (cp >> 10));
      u_escape(o, 0xDC00 | (cp & 0x3FF));
    } else {
      u_escape(o, cp);
    }
  }
  o.push_back('"');
  out.maybe_flush();
}

void write_value(Out& out, simdjson::dom::element e) {
  using simdjson::dom::element_type;
  char buf[64];
  const auto put_integer = [&](auto v) {
    out.put(
        std::string_view(buf, static_cast<std::size_t>(std::to_chars(buf, buf + 64, v).ptr - buf)));
  };
  switch (e.type()) {
    case element_type::ARRAY: {
      out.put('[');
      bool first = true;
      const simdjson::dom::array items = e.get_array().value_unsafe();
      for (simdjson::dom::element item : items) {
        if (!first) out.put(", ");
        first = false;
        write_value(out, item);
      }
      out.put(']');
      return;
    }
    case element_type::OBJECT: {
      out.put('{');
      bool first = true;
      const simdjson::dom::object members = e.get_object().value_unsafe();
      for (simdjson::dom::key_value_pair m : members) {
        if (!first) out.put(", ");
        first = false;
        write_string(out, m.key);
        out.put(": ");
        write_value(out, m.value);
      }
      out.put('}');
      return;
    }
    case element_type::INT64:
      put_integer(e.get_int64().value_unsafe());
      return;
    case element_type::UINT64:
      put_integer(e.get_uint64().value_unsafe());
      return;
    case element_type::DOUBLE: {
      const double d = e.get_double().value_unsafe();
      std::size_t n = static_cast<std::size_t>(std::to_chars(buf, buf + 60, d).ptr - buf);
      if (std::isfinite(d) && std::string_view(buf, n).find_first_of(".en") == std::string::npos) {
        buf[n++] = '.';
        buf[n++] = '0';
      }
      out.put(std::string_view(buf, n));
      return;
    }
    case element_type::STRING:
      write_string(out, e.get_string().value_unsafe());
      return;
    case element_type::BOOL:
      out.put(e.get_bool().value_unsafe() ? "true" : "false");
      return;
    case element_type::NULL_VALUE:
      out.put("null");
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: simdjson_floor BASE CURRENT INCOMING OUTPUT\n");
    return 2;
  }
  simdjson::dom::parser parsers[3];
  simdjson::dom::element docs[3];
  const char* paths[3] = {argv[2], argv[1], argv[3]};  // current first, as the merge reads
  for (int i = 0; i < 3; ++i) {
    if (parsers[i].load(paths[i]).get(docs[i]) != simdjson::SUCCESS) {
      std::fprintf(stderr, "simdjson_floor: cannot parse %s\n", paths[i]);
      return 1;
    }
  }
  const std::string output = argv[4];
  const std::string temp = output + ".floor-tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  {
    Out out(fd);
    write_value(out, docs[0]);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) return 1;
  if (std::rename(temp.c_str(), output.c_str()) != 0) return 1;
  return 0;
}
