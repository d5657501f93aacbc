// Tests of the terminal-safe form of text that every command prints names, paths and messages
// in: what is escaped, what is kept, and that nothing a terminal acts on survives.
#include "qor/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace qor {
namespace {

TEST(Printable, EscapesWhatATerminalActsOnAndKeepsTheRest) {
  struct Case {
    const char* name;
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text and a tab", "train model\tv2", "train model\tv2"},
      {"line ends", "a\r\nb\n", "a\\x0d\\x0ab\\x0a"},
      {"an erased line and a window title", "train\r\x1b[2K\x1b]0;owned\x07",
       "train\\x0d\\x1b[2K\\x1b]0;owned\\x07"},
      {"NUL and DEL", std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
      {"C1 controls (CSI, NEL, OSC)",
       "\xc2\x9b"
       "2J\xc2\x85\xc2\x9d",
       "\\u009b2J\\u0085\\u009d"},
      {"bidi override and isolate",
       "abc\xe2\x80\xae"
       "fed\xe2\x81\xa6x",
       "abc\\u202efed\\u2066x"},
      {"zero-width space, byte-order mark, soft hyphen", "a\xe2\x80\x8b\xef\xbb\xbf\xc2\xad",
       "a\\u200b\\ufeff\\u00ad"},
      {"line and paragraph separators", "a\xe2\x80\xa8\xe2\x80\xa9", "a\\u2028\\u2029"},
      {"a tag character beyond the BMP", "\xf3\xa0\x80\x81", "\\U000e0001"},
      {"letters, symbols and emoji stay", "Zürich → 東京 \xf0\x9f\x98\x80 \xc2\xa0",
       "Zürich → 東京 \xf0\x9f\x98\x80 \xc2\xa0"},
      {"invalid UTF-8, a surrogate, a cut sequence", "a\xff\xed\xa0\x80z\xe2\x80",
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"an overlong form", "\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a backslash stays", "C:\\x1b", "C:\\x1b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(printable(c.text), c.shown);
    std::string out = "kept ";
    append_printable(c.text, out);
    EXPECT_EQ(out, "kept " + c.shown);
  }
}

TEST(Printable, ALineKeepsItsWordsApartOnOneLine) {
  EXPECT_EQ(printable_line("fatal: one\nerror: two\r\nthree\n"), "fatal: one error: two three ");
  EXPECT_EQ(printable_line("over\rwritten\x1b[2K"), "over\\x0dwritten\\x1b[2K");
  EXPECT_EQ(printable_line(""), "");
}

// Every code point, alone between two letters: what comes out holds no byte below 0x20 but tab,
// no DEL, and no encoding of a C1 control, a bidi control or another format character.
TEST(Printable, NoCodePointThatActsOnATerminalSurvives) {
  const auto encode = [](char32_t cp) {
    std::string s;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
  };
  const std::string forbidden[] = {
      "\xc2\x80",     "\xc2\x9b",     "\xc2\x9f",     "\xe2\x80\x8e",
      "\xe2\x80\x8f", "\xe2\x80\xaa", "\xe2\x80\xae", "\xe2\x81\xa6",
      "\xe2\x81\xa9", "\xd8\x9c",     "\xef\xbb\xbf",
  };
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string shown = printable("a" + encode(cp) + "b");
    for (unsigned char c : shown) {
      ASSERT_TRUE(c >= 0x20 || c == '\t') << "U+" << std::hex << static_cast<unsigned>(cp);
      ASSERT_NE(c, 0x7F) << "U+" << std::hex << static_cast<unsigned>(cp);
    }
    for (const std::string& f : forbidden) {
      ASSERT_EQ(shown.find(f), std::string::npos) << "U+" << std::hex << static_cast<unsigned>(cp);
    }
  }
}

}  // namespace
}  // namespace qor
