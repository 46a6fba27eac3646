// Cutting text to a byte limit without splitting a UTF-8 sequence, for the
// framework's fixed-size texts (work buffer, field values, history entries,
// stored message strings). Pure function, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vm::framework {

// At most `limit` bytes of `text`; a cut falls before a sequence it would split.
inline std::string CutUtf8(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n));
}

}  // namespace vm::framework
