// Arrays and objects held as the text they were read from (private to src/json).
//
// A raw value is a slice of a text that the reader has checked completely: it is valid JSON,
// and it is either exactly what the writer would write for the value it denotes (kExact), or
// that up to the white space between tokens (kSpaced); either may hold characters from U+007F
// on as themselves where the writer writes their \u escapes (kUnicode: as Jupyter saves
// notebooks, ensure_ascii=False), which the writer escapes as it copies the text, and which the
// indented writer's form keeps as they are. Nothing ever changes a raw value: the
// first look into one replaces it by its members (arrays and objects among them may again be
// raw), so a value that is still raw is written by copying its text. All raw values read from
// one text share a RawBlock, which keeps the text alive and holds their nodes.
#ifndef QOR_JSON_RAW_H_
#define QOR_JSON_RAW_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "qor/json.h"

namespace qor::json::detail {

// Forms of a raw text.
inline constexpr std::uint8_t kExact = 1;   // the written form itself
inline constexpr std::uint8_t kSpaced = 2;  // the written form up to white space between tokens
// Added to kExact or kSpaced: strings may hold DEL and non-ASCII characters as themselves (never
// in an object's key), where the written form has their \u escapes.
inline constexpr std::uint8_t kUnicode = 4;

struct RawBlock;

// Where one raw value's text starts, and the block that owns it. Never freed on its own.
struct RawNode {
  RawBlock* block;
  const char* begin;
};

// The text shared by raw values, and their nodes. Freed with the last value that refers to it.
struct RawBlock {
  explicit RawBlock(std::shared_ptr<const void> text_owner) : owner(std::move(text_owner)) {}

  void retain() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
  void release() noexcept {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  RawNode* new_node(const char* begin);

  std::atomic<std::size_t> refs{1};
  std::shared_ptr<const void> owner;
  // Held while the members of one of the block's values are read (which adds nodes), so that
  // two threads may each read a different value of one document.
  std::mutex reading;
  std::vector<std::unique_ptr<RawNode[]>> chunks;
  std::size_t used = 0;  // nodes used in the last chunk
};

// What a raw value holds: its node, text, form and the depth of its nesting (1 for an array
// or object without arrays or objects inside).
struct RawView {
  const RawNode* node;
  std::string_view text;
  std::uint8_t form;
  std::uint16_t depth;
  bool is_object;
};

struct RawAccess {
  // A raw value over `text` (a complete array or object of `block`'s text); takes a reference
  // on `block`.
  static Value make(RawBlock* block, std::string_view text, std::uint8_t form, std::size_t depth);
  static RawView view(const Value& v);
  // The members of a raw value, read from its text (nested arrays and objects may stay raw).
  static Value read(const RawView& raw);
};

// Whether two raw texts are known to denote equal values: the same bytes, or the same bytes
// once white space between tokens is left out. False means "not known".
bool raw_texts_equal(const RawView& a, const RawView& b);

// The end (one past the closing quote) of the string token that starts at t[k], a '"', in a
// checked text.
std::size_t string_token_end(std::string_view t, std::size_t k);

// Writes Python's repr() of a finite double into `out` (room for 32 bytes); returns the length.
std::size_t format_finite(double d, char* out);

// Reads one JSON value from `text` that is known to be valid, with arrays and objects nested
// one level or more below its top-level value left raw (in `block`) when large; used to read
// the members of a raw value of form `form`.
Value read_trusted(std::string_view text, RawBlock* block, std::uint8_t form);

}  // namespace qor::json::detail

#endif  // QOR_JSON_RAW_H_
