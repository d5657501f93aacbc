// The indented JSON writer: the bytes of CPython's `json.dumps(value, sort_keys=True, indent=1,
// ensure_ascii=False)`, the form Jupyter saves notebooks in. Keys are sorted by their UTF-8
// bytes, which orders them by code point as Python orders str keys (lone surrogates, held as
// three-byte sequences, fall between U+D7FF and U+E000 as their code points do). A value still
// held as the text it was read from is written from that text, with new white space, when its
// tokens and key order are already this form's. The text grows in one buffer that is handed on
// in pieces when a consumer streams it.
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "json/escape.h"
#include "json/raw.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

// Whether the string token `token` of a text in the compact writer's form (json/raw.h) is also
// what this form writes for its string: so it is unless it holds the \u escape of a character
// from U+0020 on (DEL, non-ASCII, surrogates), which this form writes as the character itself.
// A lone surrogate keeps its escape in both forms, but is not told apart here: a string with
// one is written from its value.
bool same_string_token(std::string_view token) {
  std::size_t k = 0;
  for (;;) {
    const void* found = std::memchr(token.data() + k, '\\', token.size() - k);
    if (found == nullptr) return true;
    k = static_cast<std::size_t>(static_cast<const char*>(found) - token.data());
    if (token[k + 1] == 'u') {
      // The compact form's \u escapes below U+0020 are "\u00" and two hex digits from 0 to 1f.
      if (token[k + 2] != '0' || token[k + 3] != '0' || token[k + 4] > '1') return false;
      k += 6;
    } else {
      k += 2;
    }
  }
}

// ensure_ascii=False escapes only '"', '\\' and the controls below 0x20. A lone surrogate would
// make the text unencodable as UTF-8 (CPython fails when such a text is written to a file), so
// it is written as its escape, which reads back as the same string.
void write_string(std::string& out, std::string_view s) {
  out += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t k = 0; k < s.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(s[k]);
    const bool surrogate =
        c == 0xED && k + 2 < s.size() && static_cast<unsigned char>(s[k + 1]) >= 0xA0;
    if (c >= 0x20 && c != '"' && c != '\\' && !surrogate) continue;
    out.append(s.data() + run, k - run);
    char escape[6];
    const char* end;
    if (surrogate) {
      end = detail::put_u_escape(escape, 0xD000u |
                                             ((static_cast<unsigned char>(s[k + 1]) & 0x3Fu) << 6) |
                                             (static_cast<unsigned char>(s[k + 2]) & 0x3Fu));
      k += 2;
    } else {
      end = detail::put_ascii_escape(escape, c);
    }
    out.append(escape, static_cast<std::size_t>(end - escape));
    run = k + 1;
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

class PrettyWriter {
 public:
  PrettyWriter(std::string& out, const std::function<void(std::string_view)>* emit)
      : out_(out), emit_(emit) {}

  void value(const Value& v) {
    if (v.is_raw()) {
      const detail::RawView held = detail::RawAccess::view(v);
      // Written from its text where it can be, else from its members read into a value of its
      // own: writing never changes what it writes.
      if (!raw(held)) value(detail::RawAccess::read(held));
      flush_full();
      return;
    }
    switch (v.type()) {
      case Type::kNull:
        out_ += "null";
        break;
      case Type::kBool:
        out_ += v.as_bool() ? "true" : "false";
        break;
      case Type::kInt:
        out_ += std::to_string(v.as_int());
        break;
      case Type::kBigInt:
        out_ += v.big_int_digits();
        break;
      case Type::kReal:
        real(v.as_real());
        break;
      case Type::kString:
        write_string(out_, v.as_string());
        break;
      case Type::kArray:
        array(v.as_array());
        break;
      case Type::kObject:
        object(v.as_object());
        break;
    }
    flush_full();
  }

  void finish() {
    if (emit_ != nullptr && !out_.empty()) {
      (*emit_)(out_);
      out_.clear();
    }
  }

 private:
  void real(double d) {
    const std::string_view text = detail::non_finite_text(d);
    if (text.empty()) {
      append_real(d, out_);
    } else {
      out_ += text;
    }
  }

  // Hands the text over once a piece is full, when streaming.
  void flush_full() {
    if (emit_ != nullptr && out_.size() >= kPiece) {
      (*emit_)(out_);
      out_.clear();
    }
  }

  // Writes a value held as text (json/raw.h) from its text, when this form of it differs from
  // the text only in white space: returns false, having written nothing, otherwise. A long text
  // is checked before it is written, so that it can be handed over in pieces.
  bool raw(const detail::RawView& held) {
    if (depth_ + held.depth > kMaxDepth) return false;
    if (held.text.size() < kPiece) return respaced<true>(held.text, false);
    if (!respaced<false>(held.text, false)) return false;
    return respaced<true>(held.text, true);
  }

  // The text of a value in the compact writer's form (json/raw.h), written (kWrite) in this form
  // at the current depth: its tokens as they are, with this form's white space. That is this
  // form of the value when the tokens need no change (same_string_token()) and every object's
  // keys come sorted and without escapes, as they are written. Returns false otherwise, having
  // written nothing; when `streaming`, which needs a text known to be in order, hands full
  // pieces over as it goes.
  template <bool kWrite>
  bool respaced(std::string_view t, bool streaming) {
    const std::size_t start = out_.size();
    const auto fail = [&] {
      if constexpr (kWrite) out_.resize(start);
      return false;
    };
    levels_.clear();
    std::size_t depth = depth_;
    std::size_t k = 0;
    const std::size_t n = t.size();
    while (k < n) {
      const char c = t[k];
      if (detail::is_space(c)) {
        ++k;
      } else if (c == '[' || c == '{') {
        const char close = c == '[' ? ']' : '}';
        std::size_t next = k + 1;
        while (detail::is_space(t[next])) ++next;
        if (t[next] == close) {
          if constexpr (kWrite) out_.append({c, close});
        } else {
          if constexpr (kWrite) {
            out_ += c;
            newline(depth + 1);
          }
          ++depth;
          levels_.push_back({c == '{', c == '{', false, {}});
        }
        k = next + (t[next] == close ? 1 : 0);
      } else if (c == ']' || c == '}') {
        --depth;
        if constexpr (kWrite) {
          newline(depth);
          out_ += c;
        }
        levels_.pop_back();
        ++k;
      } else if (c == ',') {
        if constexpr (kWrite) {
          out_ += ',';
          newline(depth);
        }
        levels_.back().key_next = levels_.back().object;
        ++k;
      } else if (c == ':') {
        if constexpr (kWrite) out_.append(": ");
        ++k;
      } else if (c == '"') {
        const std::size_t end = detail::string_token_end(t, k);
        const std::string_view token = t.substr(k, end - k);
        if (!same_string_token(token)) return fail();
        if (!levels_.empty() && levels_.back().key_next) {
          Level& level = levels_.back();
          const std::string_view key = token.substr(1, token.size() - 2);
          if (key.find('\\') != std::string_view::npos ||
              (level.has_key && !(level.last_key < key))) {
            return fail();
          }
          level.last_key = key;
          level.has_key = true;
          level.key_next = false;
        }
        if constexpr (kWrite) out_.append(token);
        k = end;
      } else {
        std::size_t end = k + 1;
        while (end < n && !detail::is_space(t[end]) && t[end] != ',' && t[end] != ']' &&
               t[end] != '}') {
          ++end;
        }
        if constexpr (kWrite) out_.append(t.substr(k, end - k));
        k = end;
      }
      if constexpr (kWrite) {
        if (streaming) flush_full();
      }
    }
    return true;
  }

  void newline(std::size_t depth) {
    out_ += '\n';
    out_.append(depth, ' ');
  }

  void enter() {
    if (++depth_ > kMaxDepth) throw ValueError("Nesting deeper than 1000 levels");
  }

  void array(const Array& a) {
    if (a.empty()) {
      out_ += "[]";
      return;
    }
    enter();
    out_ += '[';
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i != 0) out_ += ',';
      newline(depth_);
      value(a[i]);
    }
    newline(--depth_);
    out_ += ']';
  }

  void object(const Object& o) {
    if (o.empty()) {
      out_ += "{}";
      return;
    }
    enter();
    std::vector<const Object::Member*> members;
    members.reserve(o.size());
    for (const Object::Member& m : o) members.push_back(&m);
    // std::string_view compares as unsigned bytes, that is by UTF-8 code point order.
    std::sort(members.begin(), members.end(), [](const Object::Member* a, const Object::Member* b) {
      return a->name() < b->name();
    });
    out_ += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (i != 0) out_ += ',';
      newline(depth_);
      write_string(out_, members[i]->name());
      out_ += ": ";
      value(members[i]->value);
    }
    newline(--depth_);
    out_ += '}';
  }

  std::string& out_;
  const std::function<void(std::string_view)>* emit_;
  std::size_t depth_ = 0;
  // An array or object open in respaced(): for an object, whether a key comes next, and the
  // last key read.
  struct Level {
    bool object;
    bool key_next;
    bool has_key;
    std::string_view last_key;
  };
  std::vector<Level> levels_;  // kept between calls for their room
};

}  // namespace

void write_pretty(const Value& value, std::string& out) { PrettyWriter(out, nullptr).value(value); }

void write_pretty(const Value& value, const std::function<void(std::string_view)>& emit) {
  std::string buffer;
  PrettyWriter writer(buffer, &emit);
  writer.value(value);
  writer.finish();
}

}  // namespace qor::json
