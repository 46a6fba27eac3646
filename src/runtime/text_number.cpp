#include "runtime/text_number.h"

#include <algorithm>
#include <limits>

#include "platform/ascii_text.h"

namespace vm::runtime {

int64_t TextToNumber(std::string_view text) {
  text = platform::TrimLeft(text, " \t");
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number so that INT64_MIN is reachable.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t acc = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (saturated || acc < (kMin + digit) / 10) {
      saturated = true;
      continue;
    }
    acc = acc * 10 - digit;
  }
  if (saturated) return negative ? kMin : std::numeric_limits<int64_t>::max();
  if (negative) return acc;
  return acc == kMin ? std::numeric_limits<int64_t>::max() : -acc;
}

int16_t TextToShort(std::string_view text) {
  return static_cast<int16_t>(std::clamp<int64_t>(TextToNumber(text),
                                                  std::numeric_limits<int16_t>::min(),
                                                  std::numeric_limits<int16_t>::max()));
}

int32_t TextToLong(std::string_view text) {
  return static_cast<int32_t>(std::clamp<int64_t>(TextToNumber(text),
                                                  std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace vm::runtime
