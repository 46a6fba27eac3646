// The user profile: integer and text values of profile.ini in the
// configuration directory, read as the Windows profile calls read win.ini.
// Reads the file at each call (values may change while the program runs).
// Safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace vm::platform {

// The value of `key` in `section` read as an integer: leading blanks, an
// optional '-', then digits up to the first other character ("12abc" is 12,
// "abc" is 0). A missing file, section or key gives `default_value`.
int ProfileInt(std::string_view section, std::string_view key, int default_value);

// The text of `key` in `section`, or `default_value` when it is missing.
std::string ProfileString(std::string_view section, std::string_view key,
                          std::string_view default_value);

}  // namespace vm::platform
