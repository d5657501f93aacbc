// Tests of the JSON value model, reader and writer. Agreement with CPython's json module on
// large random and hostile corpora is tested from Python (tests/python/test_json.py); these
// cases pin the contracts the engines rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "qor/errors.h"
#include "qor/json.h"
#include "support/expect.h"

namespace qor::json {
namespace {

std::string roundtrip(const std::string& text) { return write(parse(text)); }

TEST(JsonRoundTrip, WritesTheDefaultDumpsForm) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"separators", "{\"a\":[1,2,{}],\"b\":{}}", "{\"a\": [1, 2, {}], \"b\": {}}"},
      {"whitespace", " \t\n\r[ 1 ,\n2 ] ", "[1, 2]"},
      {"reals", "[1.0, 100.0, 1E2, 0.0001, 0.00001, 1e16, 1e15, 1.5e300, -0.0, 0.1, 2.5e-7]",
       "[1.0, 100.0, 100.0, 0.0001, 1e-05, 1e+16, 1000000000000000.0, 1.5e+300, -0.0, 0.1, "
       "2.5e-07]"},
      {"real overflow", "[1e400, -1e400, 1e-400, -1e-400]", "[Infinity, -Infinity, 0.0, -0.0]"},
      {"constants", "[NaN, Infinity, -Infinity, true, false, null]",
       "[NaN, Infinity, -Infinity, true, false, null]"},
      {"integers", "[0, -0, 9223372036854775807, -9223372036854775808, 9223372036854775808]",
       "[0, 0, 9223372036854775807, -9223372036854775808, 9223372036854775808]"},
      {"big integer", "-123456789012345678901234567890123456789",
       "-123456789012345678901234567890123456789"},
      {"escapes", R"(["\"\\\/\b\f\n\r\t", "\u0000\u001f\u007f"])",
       R"(["\"\\/\b\f\n\r\t", "\u0000\u001f\u007f"])"},
      {"non-ascii", "\"\xC3\xA9\xF0\x9F\x98\x80\xE2\x82\xAC\"", R"("\u00e9\ud83d\ude00\u20ac")"},
      {"surrogate pair escape", R"("\ud83d\ude00")", R"("\ud83d\ude00")"},
      {"lone surrogates", R"(["\ud800", "\udc00x", "\ud800\u0041", "\uDBFF"])",
       R"(["\ud800", "\udc00x", "\ud800A", "\udbff"])"},
      {"duplicate keys keep the first place and the last value", R"({"a": 1, "b": 2, "a": 3})",
       R"({"a": 3, "b": 2})"},
      {"raw DEL byte", "\"\x7F\"", R"("\u007f")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(roundtrip(c.input), c.expected);
  }
}

TEST(JsonWriter, StreamsTheSameBytesInPieces) {
  Array items;
  for (int i = 0; i < 60000; ++i) {
    items.push_back(
        Value::array({Value("line \u00e9 " + std::to_string(i)), Value(i * 0.5), Value()}));
  }
  items.emplace_back(std::string(3 << 20, 'x'));  // one string longer than a piece
  const Value doc(std::move(items));
  std::string streamed;
  std::vector<std::size_t> pieces;
  write(doc, [&](std::string_view piece) {
    streamed += piece;
    pieces.push_back(piece.size());
  });
  EXPECT_EQ(streamed, write(doc));
  ASSERT_GT(pieces.size(), 2u);
  // The writer holds a piece of a quarter of a megabyte at a time: only the long string, last,
  // goes out in a larger one.
  for (std::size_t k = 0; k + 2 < pieces.size(); ++k) EXPECT_LE(pieces[k], std::size_t{320} << 10);
}

TEST(JsonReader, ReportsErrorsAsCPythonDoes) {
  struct Case {
    std::string input;
    std::string message;
  } cases[] = {
      {"", "Expecting value: line 1 column 1 (char 0)"},
      {"[1,]", "Expecting value: line 1 column 4 (char 3)"},
      {"{\"a\":1,}", "Expecting property name enclosed in double quotes: line 1 column 8 (char 7)"},
      {"{\"a\" 1}", "Expecting ':' delimiter: line 1 column 6 (char 5)"},
      {"[1 2]", "Expecting ',' delimiter: line 1 column 4 (char 3)"},
      {"[1]x", "Extra data: line 1 column 4 (char 3)"},
      {"\"abc", "Unterminated string starting at: line 1 column 1 (char 0)"},
      {"\"a\x01\"", "Invalid control character at: line 1 column 3 (char 2)"},
      {R"("\x")", "Invalid \\escape: line 1 column 2 (char 1)"},
      {R"("\u12")", "Invalid \\uXXXX escape: line 1 column 3 (char 2)"},
      {"\xEF\xBB\xBF{}", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"},
      {"[\n\"\xC3\xA9\",\n  x]", "Expecting value: line 3 column 3 (char 9)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_THROW_MSG(parse(c.input), DecodeError, c.message);
  }
}

TEST(JsonReader, NamesTheSourceInErrors) {
  EXPECT_THROW_MSG(parse("[", "nb.ipynb"), DecodeError,
                   "nb.ipynb: Expecting value: line 1 column 2 (char 1)");
  EXPECT_THROW_MSG(parse("\"\xFF\"", "nb.ipynb"), UnicodeError,
                   "nb.ipynb: 'utf-8' codec can't decode byte 0xff in position 1: invalid start "
                   "byte");
}

TEST(JsonReader, RejectsInvalidUtf8AsCPythonDecodingDoes) {
  struct Case {
    std::string input;
    std::size_t start, end;
    std::string reason;
  } cases[] = {
      {"\"\xC0\x80\"", 1, 2, "invalid start byte"},
      {"\"\xE2\x28\xA1\"", 1, 2, "invalid continuation byte"},
      {"\"\xF0\x9F\x98\x28\"", 1, 4, "invalid continuation byte"},
      {"\"\xED\xA0\x80\"", 1, 2, "invalid continuation byte"},  // an encoded surrogate
      {"\"\xF4\x90\x80\x80\"", 1, 2, "invalid continuation byte"},
      {"\"\xE2\x82", 1, 3, "unexpected end of data"},
  };
  // Each case also after valid text of every length up to a few blocks of the vector checks
  // (ASCII and two-byte letters mixed, so that sequences straddle the blocks' edges): the error
  // is found at its place, and the valid text alone is accepted.
  for (std::size_t length = 0; length < 200; ++length) {
    std::string text;
    for (std::size_t k = 0; text.size() < length; ++k) text += (k * 7) % 5 < 2 ? "a" : "\xC3\xA9";
    EXPECT_NO_THROW(parse("\"" + text + "\""));
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(text.size()) + " bytes before " + c.input);
      try {
        parse("\"" + text + c.input.substr(1));
        ADD_FAILURE() << "accepted";
      } catch (const UnicodeError& e) {
        EXPECT_EQ(e.start(), c.start + text.size());
        EXPECT_EQ(e.end(), c.end + text.size());
        EXPECT_EQ(e.reason(), c.reason);
      }
    }
  }
}

TEST(JsonReader, LimitsIntegerDigitsAsCPythonDoes) {
  EXPECT_NO_THROW(parse(std::string(4300, '7')));
  EXPECT_THROW_MSG(parse(std::string(4301, '7')), ValueError,
                   "Exceeds the limit (4300 digits) for integer string conversion: value has 4301 "
                   "digits; use sys.set_int_max_str_digits() to increase the limit");
}

TEST(JsonReader, LimitsNestingWithAClearError) {
  const std::string ok = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  EXPECT_EQ(roundtrip(ok), ok.substr(0, kMaxDepth) + ok.substr(kMaxDepth));
  const std::string deep = std::string(100000, '[');
  EXPECT_THROW_MSG(parse(deep), DecodeError,
                   "Nesting deeper than 1000 levels: line 1 column 1001 (char 1000)");
}

TEST(JsonValue, EqualityIsStructuralAcrossNumberKinds) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  } cases[] = {
      {"1", "1.0", true},
      {"true", "1", true},
      {"false", "0.0", true},
      {"true", "true", true},
      {"1", "1.5", false},
      {"NaN", "NaN", true},
      {"-0.0", "0", true},
      {"100000000000000000000", "1e20", true},
      {"100000000000000000001", "1e20", false},
      {"9007199254740993", "9007199254740992.0", false},
      {"{\"a\": 1, \"b\": [2]}", "{\"b\": [2.0], \"a\": true}", true},
      {"{\"a\": 1}", "{\"a\": 1, \"b\": 2}", false},
      {"[1, 2]", "[2, 1]", false},
      {"\"1\"", "1", false},
      {"null", "false", false},
      {"[]", "{}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(parse(c.a) == parse(c.b), c.equal);
    EXPECT_EQ(parse(c.b) == parse(c.a), c.equal);
  }
}

TEST(JsonObject, KeepsInsertionOrderAndPlaces) {
  Object o;
  o.set("b", 1);
  o.set("a", 2);
  o.set("b", 3);  // keeps its place
  o["c"] = Value("x");
  EXPECT_EQ(write(Value(o)), R"({"b": 3, "a": 2, "c": "x"})");
  EXPECT_TRUE(o.erase("b"));
  EXPECT_FALSE(o.erase("b"));
  EXPECT_EQ(write(Value(o)), R"({"a": 2, "c": "x"})");
  EXPECT_THROW_MSG(o.at("zz"), KeyError, "'zz'");
}

TEST(JsonObject, MembersHeldWithTheirValueMoveGrowAndCopy) {
  // An object read or stored in a value keeps its members in the value's block; growing it,
  // moving it out and copying it must keep every member.
  Value v = parse("{\"a\": [1], \"b\": \"a string longer than fourteen\", \"a\": 2}");
  Object& held = v.as_object();
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held.at("a").as_int(), 2);
  for (int i = 0; i < 20; ++i) {
    std::string key = "k";
    key += std::to_string(i);
    held.set(key, i);  // grows, then indexes
  }
  EXPECT_EQ(held.size(), 22u);
  EXPECT_EQ(held.at("k19").as_int(), 19);
  Object taken = std::move(held);
  EXPECT_EQ(taken.size(), 22u);
  EXPECT_TRUE(v.as_object().empty());
  EXPECT_EQ(taken.at("b").as_string(), "a string longer than fourteen");
  Value back(taken);
  Value copy = back;
  taken.erase("b");
  EXPECT_EQ(back.as_object().size(), 22u);
  EXPECT_TRUE(copy == back);
  copy.as_object().erase("a");
  EXPECT_TRUE(write(copy).starts_with("{\"b\": \"a string longer than fourteen\", \"k0\": 0, "))
      << write(copy);
  Object assigned;
  assigned = back.as_object();
  EXPECT_TRUE(Value(assigned) == back);
}

TEST(JsonObject, LargeObjectsStayIndexedThroughEdits) {
  std::string text = "{";
  for (int i = 0; i < 2000; ++i)
    text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  text += "\"k7\": -7}";
  Value v = parse(text);
  Object& o = v.as_object();
  ASSERT_EQ(o.size(), 2000u);
  EXPECT_EQ(o.at("k7").as_int(), -7);
  EXPECT_EQ(o.begin()[7].name(), "k7");
  EXPECT_TRUE(o.erase("k0"));
  EXPECT_EQ(o.at("k1999").as_int(), 1999);
  o.set("new", true);
  EXPECT_EQ((o.end() - 1)->name(), "new");
  EXPECT_EQ(o.find("k0"), nullptr);
  Value copy = v;
  EXPECT_TRUE(copy == v);
  copy.as_object().set("k5", 0);
  EXPECT_FALSE(copy == v);
}

TEST(JsonValue, CopiesAreDeepAndMovesDetach) {
  Value a = parse(R"({"list": [1, {"x": "a string longer than fourteen bytes"}]})");
  Value b = a;
  b.as_object().at("list").as_array()[1].as_object().set("x", "changed");
  EXPECT_EQ(write(a), R"({"list": [1, {"x": "a string longer than fourteen bytes"}]})");
  // Assigning a value from inside its own tree must not read freed memory.
  Value inner = a.as_object().at("list");
  a = std::move(a.as_object().at("list"));
  EXPECT_TRUE(a == inner);
}

TEST(JsonValue, TypedAccessNamesPythonTypes) {
  EXPECT_THROW_MSG(parse("[]").as_string(), TypeError, "expected str, got list");
  EXPECT_THROW_MSG(parse("{}").as_array(), TypeError, "expected list, got dict");
  EXPECT_THROW_MSG(parse("null").as_object(), TypeError, "expected dict, got NoneType");
  EXPECT_THROW_MSG(parse("1.5").as_int(), TypeError, "expected int, got float");
}

TEST(JsonReprs, RenderAsPythonDoes) {
  std::string out;
  append_py_repr(parse(R"({"a": [true, null, 1.5, 1e-05, NaN, "it's", "q\"\n\u00e9\u0001"]})"),
                 out);
  EXPECT_EQ(out, "{'a': [True, None, 1.5, 1e-05, nan, \"it's\", 'q\"\\n\xC3\xA9\\x01']}");
}

// Texts that are not valid UTF-8 (file names from the command line) quote as Python quotes
// them decoded with surrogateescape: each byte that begins no complete sequence is \udcXX, and
// the bytes after it are read on their own.
TEST(JsonReprs, QuoteBytesThatAreNotUtf8AsSurrogateEscapes) {
  const struct {
    std::string text, quoted;
  } cases[] = {
      {"nope\xfe"
       "ABC.ipynb",
       "'nope\\udcfeABC.ipynb'"},
      {"\xc3", "'\\udcc3'"},                                   // cut short at the end
      {"\xc3(", "'\\udcc3('"},                                 // a lead byte before ASCII
      {"\xe2\x82", "'\\udce2\\udc82'"},                        // a three-byte sequence cut short
      {"\xc0\xaf", "'\\udcc0\\udcaf'"},                        // overlong
      {"\xf4\x90\x80\x80", "'\\udcf4\\udc90\\udc80\\udc80'"},  // beyond U+10FFFF
      {"\xed\xa0\x80", "'\\ud800'"},                           // a surrogate a value may hold
      {"\xf0\x9f\x98\x80 \xe2\x82\xac", "'\xf0\x9f\x98\x80 \xe2\x82\xac'"},
  };
  for (const auto& c : cases) EXPECT_EQ(qor::py_quote(c.text), c.quoted) << c.text;
}

}  // namespace
}  // namespace qor::json
