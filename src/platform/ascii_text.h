// ASCII case and blanks of text, the one place of the program that folds case
// and trims: names, keywords, keys and field values compared or shown without
// regard to case or padding. Bytes outside a-z/A-Z (every byte of a UTF-8
// sequence among them) are never changed. Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace vm::platform {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiLowerCase(std::string_view text);
std::string AsciiUpperCase(std::string_view text);

// Whether `a` and `b` hold the same bytes once ASCII letters are folded.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// `text` without the bytes of `blanks` at its start, at its end, or both.
// The result views `text`.
std::string_view TrimLeft(std::string_view text, std::string_view blanks = " ");
std::string_view TrimRight(std::string_view text, std::string_view blanks = " ");
std::string_view Trim(std::string_view text, std::string_view blanks = " ");

}  // namespace vm::platform
