// Bytes as hexadecimal digits and back, the one hex table of the program:
// registry values, percent and quoted-printable escapes, "\xNN" in lines
// shown to people, identifiers. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm::platform {

enum class HexCase { kUpper, kLower };

// The digit of `nibble` (its low four bits).
char HexDigit(unsigned nibble, HexCase letters);
// Two digits of `byte`, high nibble first, appended to *out.
void AppendHexByte(unsigned char byte, HexCase letters, std::string* out);
// Two digits for each byte of `bytes`.
std::string HexOf(std::string_view bytes, HexCase letters);

// The value of a digit (0-9, a-f, A-F), or -1 for any other byte.
int HexValue(char c);
// The bytes of `hex`, two digits each, into *out; false (and *out
// unspecified) for an odd length or a byte that is no digit.
bool DecodeHex(std::string_view hex, std::string* out);

// `text` in one line for a diagnostic line or a mail: each control byte
// (below 0x20, and 0x7F) as "\xNN" in upper case, every other byte as it is.
std::string ShowControls(std::string_view text);

}  // namespace vm::platform
