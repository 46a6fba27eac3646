// Fixed-width text fields: a field of n bytes, blank-padded on the right.
// Values are UTF-8; a field is never cut inside a multi-byte sequence.
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vm::runtime {

// Stores `value` in a field of `width` bytes: cut when longer (back to the
// start of a UTF-8 sequence that would not fit whole, so the field may end in
// extra blanks), blank-padded when shorter. The result is exactly `width` bytes.
std::string FixedText(std::string_view value, size_t width);
// The same into a raw field of `width` bytes (a record buffer).
void AssignFixed(char* field, size_t width, std::string_view value);

// The longest prefix of `value` of at most `max_bytes` bytes that does not end
// inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view value, size_t max_bytes);

// The value without trailing blanks (only ' ' counts as a blank).
std::string_view Clip(std::string_view value);
// The value of a raw field of `width` bytes without trailing blanks; stops at
// a NUL when the field holds one (NUL-terminated text fields).
std::string_view ClipField(const char* field, size_t width);

// Byte-wise comparison that ignores trailing blanks on both sides:
// negative, zero or positive like memcmp.
int CompareFixed(std::string_view a, std::string_view b);
inline bool EqualFixed(std::string_view a, std::string_view b) {
  return CompareFixed(a, b) == 0;
}

// True when the value holds nothing but blanks (or is empty).
bool IsBlank(std::string_view value);

}  // namespace vm::runtime
