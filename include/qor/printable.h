// Text from notebooks, paths and messages made safe to print on a terminal. Every message of the
// commands that shows such text passes it through printable(), so that a name or a path cannot
// move the cursor, erase what was printed, set the window title or reorder the line around it.
#ifndef QOR_PRINTABLE_H_
#define QOR_PRINTABLE_H_

#include <string>
#include <string_view>

namespace qor {

// Appends `text` to `out` in a form that a terminal shows as characters and never acts on:
// - a tab is kept;
// - the other C0 control characters (line ends included) and DEL become "\xNN" (lowercase hex);
// - the C1 control characters (U+0080 to U+009F), the format characters (Unicode's category Cf:
//   bidirectional embeddings, overrides and isolates, zero-width characters, the byte-order mark,
//   the tag characters, ...) and the line and paragraph separators (U+2028, U+2029) become
//   "\uXXXX" ("\UXXXXXXXX" beyond U+FFFF), lowercase hex;
// - a byte that does not begin a valid UTF-8 sequence (an encoded surrogate included) becomes
//   U+FFFD;
// - everything else is copied as it is. A backslash stays a backslash: the result is for people
//   to read, not for a program to read back.
// The result is valid UTF-8 whatever `text` holds.
void append_printable(std::string_view text, std::string& out);

// append_printable() into a new string.
std::string printable(std::string_view text);

// printable() for a message that must stay on one line: each line end ("\n", "\r\n") becomes a
// blank first; a lone "\r" is escaped like any other control character.
std::string printable_line(std::string_view text);

}  // namespace qor

#endif  // QOR_PRINTABLE_H_
