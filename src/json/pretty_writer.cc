// The indented JSON writer: the bytes of CPython's `json.dumps(value, sort_keys=True, indent=1,
// ensure_ascii=False)`, the form Jupyter saves notebooks in. Keys are sorted by their UTF-8
// bytes, which orders them by code point as Python orders str keys (lone surrogates, held as
// three-byte sequences, fall between U+D7FF and U+E000 as their code points do). The text grows
// in one buffer that is handed on in pieces when a consumer streams it.
#include <algorithm>
#include <string_view>
#include <vector>

#include "json/escape.h"
#include "qor/errors.h"
#include "qor/json.h"

namespace qor::json {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

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
    if (emit_ != nullptr && out_.size() >= kPiece) {
      (*emit_)(out_);
      out_.clear();
    }
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
