// How the commands print stored text that may hold anything (file names from
// the voice-mail tree, server replies, hand-typed settings) without ever
// writing a raw control character or a byte that is not UTF-8, and how
// `settings set` reads the escapes `settings show` writes. Pure functions;
// safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace vm::cli {

// A settings value as `settings show` prints it on one line: "\\" for a
// backslash, "\n", "\r" and "\t", and "\xNN" for any other control character
// and for each byte that is not part of a UTF-8 character.
std::string EscapeValue(std::string_view value);
// The reverse for a value typed after KEY=: "\\", "\n", "\r" and "\t" are
// read; a backslash before anything else stands for itself.
std::string UnescapeValue(std::string_view typed);

// A column of a text listing: control characters (tab included, since tabs
// separate the columns; C1 controls too) and bytes that are not part of a
// UTF-8 character as "\xNN"; everything else as it is.
std::string ShownText(std::string_view text);

// `text` as a JSON string with its quotes. Valid UTF-8 comes out as it is
// (control characters as \uNNNN); text that is not valid UTF-8 is given as
// ShownText would with every backslash doubled first, so each odd byte reads
// "\xNN" and the string stays valid UTF-8. *escaped is set when that happened.
std::string JsonString(std::string_view text, bool* escaped);

}  // namespace vm::cli
