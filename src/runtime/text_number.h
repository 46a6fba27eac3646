// How text is read as a number (a directory name as a mailbox number, a typed
// entry as a numeric field). Pure functions, safe from any thread.
//
// The rule: leading blanks (spaces and tabs) are skipped; then an optional
// sign '+' or '-'; then the decimal digits up to the first byte that is not a
// digit, which ends the number (the rest is ignored). Text with no digits
// there reads as 0. "0101" is 101, " -12abc" is -12, "abc" and "" are 0,
// "1e3" is 1. A value beyond the range of the result type is clamped to its
// nearest limit, so "99999" read as a 16-bit field gives 32767.
#pragma once

#include <cstdint>
#include <string_view>

namespace vm::runtime {

int64_t TextToNumber(std::string_view text);

// The same, clamped to the range of a field of the given type.
int16_t TextToShort(std::string_view text);
int32_t TextToLong(std::string_view text);

}  // namespace vm::runtime
