// Tests of the lazy reader: which arrays and objects stay text, that a value held as text reads,
// compares, copies and writes exactly as the value built from the same text, and that its text
// lives as long as any value refers to it. Agreement with CPython on the conformance corpus and
// random documents, in both readers, is tested from Python (tests/python/test_json.py).
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "json/escape.h"
#include "json/item_texts.h"
#include "json/raw.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "support/expect.h"

namespace qor::json {
namespace {

// Reads `text` lazily from `depth` on, over a copy that the values keep alive.
Value lazy(const std::string& text, std::size_t depth = 1) {
  auto copy = std::make_shared<const std::string>(text);
  const std::string_view view(*copy);
  return parse_lazy(view, "doc.json", std::move(copy), {depth, {}});
}

TEST(JsonLazyReader, KeepsOnlyTheWrittenFormAsText) {
  struct Case {
    const char* inner;  // read as the one item of a list
    bool raw;
  };
  const Case cases[] = {
      {"[1, 2]", true},
      {"[1,2]", true},  // spacing only
      {"[\n 1,\n 2\n]", true},
      {"{\"a\": 1, \"b\": [true, null]}", true},
      {"{\"a\":1}", true},
      {"[\"\\u00e9\\n\\\"\\\\\\t\\b\\f\\r\\u001f\\u007f\"]", true},
      {"[\"\\ud83d\\ude00\", \"\\ud800\", \"\\udc00x\"]", true},
      {"[1.0, -0.0, 1e-05, 1e+16, 0.1, NaN, Infinity, -Infinity]", true},
      {"[123456789012345678901234567890]", true},
      {"[\"a\\/b\"]", false},           // written as "/"
      {"[\"\\u00E9\"]", false},         // upper-case hex
      {"[\"\\u0041\"]", false},         // written as "A"
      {"[\"\\u000a\"]", false},         // written as "\n"
      {"[\"\\ud83D\\ude00\"]", false},  // upper-case hex in a pair
      {"[\"\xc3\xa9\"]", true},         // as Jupyter saves it: escaped as it is written
      {"[\"\x7f\"]", true},
      {"[\"a\xc3\xa9\", \"\\u00e9\", \"\xe2\x82\xac\\n\xf0\x9f\x98\x80\"]", true},
      {"[\n \"\xc3\xa9\",\n 1\n]", true},
      {"{\"k\": \"\xc3\xa9\"}", true},
      {"{\"\xc3\xa9\": 1}", false},  // keys stay comparable by their texts
      {"{\"\xc3\xa9\": 1, \"\\u00e9\": 2}", false},
      {"[\"\xc3\xa9\", \"\\u00E9\"]", false},
      {"[-0]", false},
      {"[1.50]", false},
      {"[1E5]", false},
      {"[1e400]", false},
      {"[100000000000000000.0]", false},  // written as 1e+17
      {"{\"a\": 1, \"a\": 2}", false},    // a repeated key is read once
      {"{\"a\": 1, \"\\u0061\": 2}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner);
    const std::string text = std::string("[") + c.inner + "]";
    const Value doc = lazy(text);
    const Value eager = parse(text);
    EXPECT_EQ(doc.as_array()[0].is_raw(), c.raw);
    EXPECT_EQ(write(doc), write(eager));
    EXPECT_TRUE(doc == eager);
    EXPECT_TRUE(eager == doc);
  }
}

// The end of a string token in a checked text, for strings of every length around the sixteen
// bytes looked at first, with quotes and runs of backslashes anywhere (the escaped quote or
// backslash ends where a quote after an even run would), and another string after it.
TEST(JsonRawText, FindsTheEndOfEveryStringToken) {
  std::mt19937 random(11);
  const std::string alphabet[] = {"a", "\"", "\\", "\u00e9", "\n"};
  for (std::size_t length = 0; length < 80; ++length) {
    for (int round = 0; round < 40; ++round) {
      std::string content;
      for (std::size_t i = 0; i < length; ++i) content += alphabet[random() % 5];
      const std::string token = json::write(Value(content));
      const std::string text = token + ", \"b\\\\\", \"c\"";
      SCOPED_TRACE(text);
      ASSERT_EQ(json::detail::string_token_end(text, 0), token.size());
    }
  }
}

TEST(JsonLazyReader, BuildsWhatIsAboveTheLevelAndEmptyValues) {
  const Value doc = lazy("{\"a\": [[1], {}], \"b\": [], \"c\": {\"d\": {\"e\": 1}}}", 2);
  const Object& top = doc.as_object();
  EXPECT_FALSE(top.at("a").is_raw());
  EXPECT_TRUE(top.at("a").as_array()[0].is_raw());
  EXPECT_FALSE(top.at("a").as_array()[1].is_raw());  // empty
  EXPECT_FALSE(top.at("c").is_raw());
  EXPECT_TRUE(top.at("c").as_object().at("d").is_raw());
}

TEST(JsonLazyReader, ReadsAlwaysBuiltKeysWhole) {
  auto copy = std::make_shared<const std::string>(
      "[{\"metadata\": {\"canvas\": {\"parents\": [{\"id\": \"a\"}]}}, \"outputs\": [1]}]");
  static constexpr std::string_view kBuilt[] = {"metadata"};
  const std::string_view view(*copy);
  const Value doc = parse_lazy(view, {}, copy, {2, kBuilt});
  const Object& cell = doc.as_array()[0].as_object();
  EXPECT_TRUE(cell.at("outputs").is_raw());
  const Value& canvas = cell.at("metadata").as_object().at("canvas");
  EXPECT_FALSE(canvas.is_raw());
  EXPECT_FALSE(canvas.as_object().at("parents").is_raw());
  EXPECT_FALSE(canvas.as_object().at("parents").as_array()[0].is_raw());
}

TEST(JsonLazyReader, ReportsErrorsAsThePlainReader) {
  const char* texts[] = {
      "[[1, 2,]]",       "[{\"a\": 1,}]",
      "[[\"\\x\"]]",     "[[\"\\ud800\\u12\"]]",
      "[[1] [2]]",       "[{\"a\" 1}]",
      "[[\"a\tb\"]]",    "[[1, \"\xc3\"]]",
      "[[tru]]",         "[[1.]]",
      "[[-]]",           "[[1, [2, {\"k\": [}]]]]",
      "{\"a\": [[\"x\"", "[[0, 1]] [[\"\"]]",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    std::string expected;
    try {
      parse(text, "doc.json");
      ADD_FAILURE() << "the plain reader accepted it";
    } catch (const Error& e) {
      expected = std::string(typeid(e).name()) + e.what();
    }
    for (std::size_t depth : {0, 1, 2}) {
      try {
        lazy(text, depth);
        ADD_FAILURE() << "the lazy reader accepted it at depth " << depth;
      } catch (const Error& e) {
        EXPECT_EQ(std::string(typeid(e).name()) + e.what(), expected) << "depth " << depth;
      }
    }
  }
  std::string digits(4301, '7');
  EXPECT_THROW(lazy("[[" + digits + "]]"), ValueError);
}

TEST(JsonLazyReader, ChangesGoToTheMembersAndAreWritten) {
  Value doc = lazy("[{\"a\": [1, 2], \"b\": {\"c\": \"d\"}}, [3]]");
  Array& items = doc.as_array();
  ASSERT_TRUE(items[0].is_raw());
  items[0].as_object().at("a").as_array().push_back(Value(true));
  items[0].as_object().set("e", Value("f"));
  EXPECT_FALSE(items[0].is_raw());
  EXPECT_TRUE(items[1].is_raw());
  EXPECT_EQ(write(doc), "[{\"a\": [1, 2, true], \"b\": {\"c\": \"d\"}, \"e\": \"f\"}, [3]]");
}

TEST(JsonLazyReader, ConstLookupsReadMembersInPlace) {
  const Value doc = lazy("[{\"a\": {\"b\": [1, {\"c\": 2}]}}]");
  const Value& item = doc.as_array()[0];
  ASSERT_TRUE(item.is_raw());
  EXPECT_EQ(item.type(), Type::kObject);
  const Value* b = item.find("a")->find("b");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->as_array()[1].find("c")->as_int(), 2);
  EXPECT_FALSE(item.is_raw());
  EXPECT_THROW_MSG(item.as_array(), TypeError, "expected list, got dict");
}

TEST(JsonLazyReader, CopiesOutliveTheirDocument) {
  Value kept;
  {
    Value doc = lazy(std::string("[[\"") + std::string(5000, 'x') + "\", {\"k\": [1]}]]");
    kept = doc.as_array()[0];
    ASSERT_TRUE(kept.is_raw());
  }
  Value copy = kept;
  EXPECT_EQ(kept.as_array()[0].as_string().size(), 5000u);  // reads kept, copy stays text
  EXPECT_TRUE(copy.is_raw());
  EXPECT_TRUE(kept == copy);
  copy.as_array()[1].as_object().set("k", Value(2));
  EXPECT_FALSE(kept == copy);
  EXPECT_EQ(write(kept.as_array()[1]), "{\"k\": [1]}");
}

TEST(JsonLazyReader, EqualityOfTextsIsStructural) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"[[1, {\"x\": 1, \"y\": 2}]]", "[[1, {\"x\": 1, \"y\": 2}]]", true},
      {"[[1, {\"x\": 1, \"y\": 2}]]", "[[1,{\"x\":1,\"y\":2}]]", true},
      {"[[1, {\"x\": 1, \"y\": 2}]]", "[[1, {\"y\": 2, \"x\": 1}]]", true},
      {"[[1, 2.0]]", "[[1.0, 2]]", true},
      {"[[true, 0]]", "[[1, false]]", true},
      {"[[NaN]]", "[[NaN]]", true},
      {"[[1, 2]]", "[[1, 3]]", false},
      {"[[\"a b\"]]", "[[\"a  b\"]]", false},  // spaces inside strings count
      {"[[\"a\", \"b\"]]", "[[\"a, \", \"b\"]]", false},
      {"[{\"a\": [1]}]", "[{\"a\": [1], \"b\": null}]", false},
      {"[[\"\xc3\xa9\"]]", "[[\"\\u00e9\"]]", true},
      {"[[\"\xc3\xa9\", 1]]", "[[\"\xc3\xa9\",1]]", true},
      {"[[\"\xc3\xa9\"]]", "[[\"\xc3\xa8\"]]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const Value a = lazy(c.a), b = lazy(c.b);
    EXPECT_EQ(a == b, c.equal);
    EXPECT_EQ(b == a, c.equal);
    EXPECT_EQ(parse(c.a) == parse(c.b), c.equal);
  }
}

TEST(JsonLazyReader, TextLacksLooksForEveryNeedleEverywhere) {
  constexpr std::string_view kOpen = "<<<<<<<", kClose = ">>>>>>>";
  struct Case {
    std::string inner;  // a list of strings, read as the one item of a list
    bool lacks;
  };
  // A needle at every offset around the first sixteen-byte blocks, and at the very end.
  std::vector<Case> cases = {
      {"[\"a < b > c\", \"<<<<<<\", \">>>>>> <\"]", true},
      {"[\"<<<<<<< HEAD\"]", false},
      {"[\"x\", \">>>>>>>\"]", false},
      {"[\"<<<<<<<>>>>>>>\"]", false},
      {"[{\"<<<<<<< key\": 1}]", false},  // keys count too
  };
  for (std::size_t pad = 0; pad < 40; ++pad) {
    cases.push_back({"[\"" + std::string(pad, ' ') + ">>>>>>>" + "\"]", false});
    cases.push_back({"[\"" + std::string(pad, '<') + ">>>>>>\"]", pad < 7});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner);
    const Value doc = lazy("[" + c.inner + "]");
    const Value& item = doc.as_array()[0];
    ASSERT_TRUE(item.is_raw());
    EXPECT_EQ(item.text_lacks({kOpen, kClose}), c.lacks);
  }
  EXPECT_FALSE(lazy("[1]", 5).text_lacks({kOpen}));  // built: not known
}

TEST(JsonLazyReader, GivesTheTextsOfTheItemsUnderOneTopLevelKey) {
  struct Case {
    std::string text;
    std::vector<std::string_view> items;
  };
  const Case cases[] = {
      {R"({"cells": [{"a": [1, 2]}, [3],"x" , 4]})", {R"({"a": [1, 2]})", "[3]", R"("x")", "4"}},
      {"{\n \"cells\": [\n  {\n   \"b\": 1\n  }\n ]\n}", {"{\n   \"b\": 1\n  }"}},
      {R"({"cells": [1], "other": [2], "cells": [[5], 6]})", {"[5]", "6"}},  // the last counts
      {R"({"other": {"cells": [1]}, "x": [[2]]})", {}},                      // top level only
      {R"({"cells": {"a": [1]}})", {}},
      {R"([{"cells": [1]}])", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::string_view> texts = {"stale"};
    detail::parse_lazy_with_item_texts(c.text, "doc.json", nullptr, {2, {}}, "cells", &texts);
    if (c.items.empty()) {
      EXPECT_TRUE(texts.empty() || texts == std::vector<std::string_view>{"stale"});
    } else {
      EXPECT_EQ(texts, c.items);
    }
  }
}

// A text whose strings hold characters from U+007F on as themselves (as Jupyter saves notebooks)
// stays text; it is written with those characters escaped (in pieces across the writer's blocks
// and the pieces it hands over), and in the indented form as it is. (That form writes the
// escape \u00e9 as the character itself, so a text holding one is read to be written there.)
TEST(JsonLazyWriter, EscapesCharactersBeyondAsciiOfTextHeldValues) {
  const char* const kChars[] = {"a",    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                "\x7f", "\\n",      "\\u00e9"};
  std::string long_string;
  for (std::size_t i = 0; long_string.size() < (std::size_t{600} << 10); ++i) {
    long_string += kChars[i % 7];
    if (i % 11 == 0) long_string += "bcdefghijklmnopq";
  }
  for (const std::string& inner :
       {"[\"" + long_string + "\", {\"a\": \"\xc3\xa9\"}]", "[\n \"" + long_string + "\",\n 2\n]",
        std::string("{\"a\": [\"x\xc3\xa9\", \"\xf0\x9f\x98\x80\"], \"b\": \"\x7f\"}")}) {
    SCOPED_TRACE(inner.substr(0, 40));
    const std::string text = "[" + inner + ", [1, 2]]";
    const Value doc = lazy(text);
    const Value eager = parse(text);
    ASSERT_TRUE(doc.as_array()[0].is_raw());
    EXPECT_EQ(write(doc), write(eager));
    std::string streamed;
    write(doc, [&](std::string_view piece) { streamed.append(piece); });
    EXPECT_EQ(streamed, write(eager));
    std::string pretty, eager_pretty;
    write_pretty(doc, pretty);
    write_pretty(eager, eager_pretty);
    EXPECT_EQ(pretty, eager_pretty);
    // Writing never changes what it writes: a value whose indented form is not its text
    // respaced (an escape the form writes as the character) is read into a copy.
    EXPECT_TRUE(doc.as_array()[0].is_raw());
  }
}

// Lines of every length up to past sixty-four bytes, of ASCII and two-byte characters in every
// phase (so that a character falls across each sixteen- and sixty-four-byte step), some with a
// longer character or DEL, the last ones ending the text: written as the value read whole is, by
// the vector path (where the processor has it) and by the portable one.
TEST(JsonLazyWriter, EscapesNonAsciiLinesOfEveryLengthOnEveryPath) {
  const char* const kRare[] = {"\xe2\x82\xac", "\x7f", "\xf0\x9f\x98\x80"};
  std::vector<std::string> lines;
  for (std::size_t length = 0; length <= 140; ++length) {
    for (std::size_t phase = 0; phase < 3; ++phase) {
      std::string line;
      for (std::size_t i = 0; line.size() < length; ++i) {
        line += (i + phase) % 3 == 0 ? "a" : "\xc3\xa9";
      }
      lines.push_back(line);
      if (phase == 0 && length > 0) lines.push_back(line + kRare[length % 3] + line);
    }
  }
  std::string jupyter = "[\n [", exact = "[[";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    jupyter += (i == 0 ? "\n  \"" : ",\n  \"") + lines[i] + "\"";
    exact += (i == 0 ? "\"" : ", \"") + lines[i] + "\"";
  }
  jupyter += "\n ]\n]";
  exact += "]]";
  for (const bool wide : {true, false}) {
    SCOPED_TRACE(wide ? "vector path" : "portable path");
    const bool has_wide = detail::use_wide_escape(wide);
    if (wide && !has_wide) continue;
    for (const std::string& text : {jupyter, exact}) {
      const Value doc = lazy(text);
      ASSERT_TRUE(doc.as_array()[0].is_raw());
      EXPECT_EQ(write(doc), write(parse(text)));
    }
  }
  detail::use_wide_escape(true);
}

// The strings of an array, joined, whether it is held as text or read: as its items read one by
// one, escapes and characters beyond ASCII decoded, the array itself left as it was.
TEST(JsonLazyReader, JoinsTheStringsOfAnArrayWithoutReadingIt) {
  struct Case {
    const char* items;
    bool strings;
  };
  const Case cases[] = {
      {"[]", true},
      {"[\"a\\n\", \"b\"]", true},
      {"[\n  \"x\",\n  \"\\u00e9\\ud83d\\ude00\\\"\\t\"\n ]", true},
      {"[\"\xc3\xa9\x7f\", \"\\ud800 lone\"]", true},
      {"[\"a\", 1]", false},
      {"[\"a\", [\"b\"]]", false},
      {"[null]", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items);
    const std::string text = std::string("[") + c.items + ", {}]";
    for (bool held : {true, false}) {
      const Value doc = held ? lazy(text) : parse(text);
      const Value& array = doc.as_array()[0];
      ASSERT_EQ(array.is_raw(), held && std::string(c.items) != "[]");
      std::string joined = "before|";
      EXPECT_EQ(append_string_items(array, joined), c.strings);
      EXPECT_EQ(array.is_raw(), held && std::string(c.items) != "[]");
      std::string expected = "before|";
      if (c.strings) {
        const Value items = parse(c.items);
        for (const Value& item : items.as_array()) expected += item.as_string();
      }
      EXPECT_EQ(joined, expected);
    }
  }
  std::string out;
  EXPECT_FALSE(append_string_items(parse("\"a\""), out));
  EXPECT_FALSE(append_string_items(lazy("[{\"a\": \"b\"}]").as_array()[0], out));
  EXPECT_EQ(out, "");
}

// A member found through objects held as text: the value an eager read finds by the same keys
// (strings decoded, a nested array or object equal to it and held as text unless empty), or
// nothing where the eager walk meets no object or no key; the objects held as text on the way
// are left unread.
TEST(JsonLazyReader, FindsAPathWithoutReadingTheObjectsOnIt) {
  const std::string padding = std::string("\"pad\": \"") + std::string(140, 'p') + "\"";
  const std::string inner =
      "{\"ab\": 0, \"x\": {\"id\": \"not this\"}, \"s\": \"}\\\"{ \\\"id\\\": 1\",\n"
      "  \"metadata\": {\"canvas\": {\"id\": \"c\\u00e9\\n\", \"name\": \"\xc3\xa9t\xc3\xa9\",\n"
      "    \"parents\": [{\"id\": \"p\"}], \"list\": [1, {\"a\": 2}], \"n\": -1.5e-07,\n"
      "    \"big\": {" +
      padding + ", \"k\": [true, null]}}, \"t\": NaN}, \"id\": 7, " + padding + "}";
  const std::vector<std::vector<std::string_view>> paths = {
      {"id"},
      {"ab"},
      {"a"},
      {"s"},
      {"x", "id"},
      {"metadata", "canvas", "id"},
      {"metadata", "canvas", "name"},
      {"metadata", "canvas", "parents"},
      {"metadata", "canvas", "n"},
      {"metadata", "canvas", "big"},
      {"metadata", "canvas", "big", "k"},
      {"metadata", "canvas", "list", "a"},
      {"metadata", "canvas", "missing"},
      {"metadata", "t"},
      {"metadata", "t", "id"},
      {"id", "x"},
      {"metadata", "canvas"},
  };
  const Value eager = parse(inner);
  // As written (spaced, characters beyond ASCII as themselves), and in the written form.
  for (const std::string& text : {inner, write(eager)}) {
    SCOPED_TRACE(text);
    const Value doc = lazy("[" + text + "]", 1);
    const Value& held = doc.as_array()[0];
    ASSERT_TRUE(held.is_raw());
    for (const auto& path : paths) {
      SCOPED_TRACE(path.back());
      const Value* expected = &eager;
      for (std::string_view key : path) expected = expected ? expected->find(key) : nullptr;
      std::optional<Value> found;
      switch (path.size()) {
        case 1:
          found = find_path(held, {path[0]});
          break;
        case 2:
          found = find_path(held, {path[0], path[1]});
          break;
        case 3:
          found = find_path(held, {path[0], path[1], path[2]});
          break;
        default:
          found = find_path(held, {path[0], path[1], path[2], path[3]});
          break;
      }
      ASSERT_EQ(found.has_value(), expected != nullptr);
      if (found) {
        if (found->is_container()) {
          EXPECT_EQ(found->is_raw(), write(*expected).size() > 2);
        }
        EXPECT_EQ(write(*found), write(*expected));
        EXPECT_EQ(*found, *expected);
      }
      EXPECT_TRUE(held.is_raw());
    }
    // Through objects already read, and from a value that is not an object.
    const Value read = parse(inner);
    EXPECT_EQ(*find_path(read, {"metadata", "canvas", "id"}), Value("c\u00e9\n"));
    EXPECT_FALSE(find_path(Value(1), {"id"}).has_value());
  }
}

TEST(JsonLazyWriter, KeepsTheDepthLimitForTextHeldValues) {
  const Value inner = lazy("[[[[1]]]]", 1).as_array()[0];
  ASSERT_TRUE(inner.is_raw());
  Value deep = inner;
  for (int i = 0; i < 997; ++i) deep = Value::array({std::move(deep)});  // 1000 levels
  EXPECT_EQ(write(deep).size(), 997 * 2 + 7u);
  deep = Value::array({std::move(deep)});
  EXPECT_THROW_MSG(write(deep), ValueError, "Nesting deeper than 1000 levels");
}

TEST(JsonLazyWriter, StreamsLongTextsInPieces) {
  const std::string big = "[[\"" + std::string(3 << 20, 'y') + "\"], [1,2]]";
  const Value doc = lazy(big);
  std::string streamed;
  write(doc, [&](std::string_view piece) { streamed.append(piece); });
  EXPECT_EQ(streamed, write(parse(big)));
}

// In the indented form, a long value held as text and written from its text goes out in pieces
// like any other; one whose keys are out of order is written from its members.
TEST(JsonLazyWriter, IndentedFormStreamsLongTextsInPieces) {
  const std::string y(3 << 20, 'y');
  for (const std::string& inner :
       {"{\"a\": 1, \"b\": [\"" + y + "\", 2.5]}", "{\"b\": [\"" + y + "\", 2.5], \"a\": 1}"}) {
    const std::string big = "[" + inner + ", [1, 2]]";
    const Value doc = lazy(big);
    ASSERT_TRUE(doc.as_array()[0].is_raw());
    std::string streamed;
    int pieces = 0;
    write_pretty(doc, [&](std::string_view piece) {
      streamed.append(piece);
      ++pieces;
    });
    std::string expected;
    write_pretty(parse(big), expected);
    EXPECT_EQ(streamed, expected);
    EXPECT_GT(pieces, 1);
  }
}

}  // namespace
}  // namespace qor::json
