// Small text helpers shared by the mail object's source files.
// Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "runtime/fixed_text.h"

namespace vm::mail {

// The value without trailing spaces, cut to `width` bytes first (never
// inside a UTF-8 sequence).
inline std::string_view FieldValue(std::string_view value, size_t width) {
  if (value.size() > width) value = runtime::CutUtf8(value, width);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  return value;
}

inline bool Blank(std::string_view value) {
  return value.find_first_not_of(' ') == std::string_view::npos;
}

inline std::string TrimBoth(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace vm::mail
