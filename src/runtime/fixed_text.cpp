#include "runtime/fixed_text.h"

#include <algorithm>
#include <cstring>

#include "platform/ascii_text.h"

namespace vm::runtime {
namespace {

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the sequence that a lead byte announces (1 for ASCII and for
// stray bytes that are not valid leads).
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string_view CutUtf8(std::string_view value, size_t max_bytes) {
  if (value.size() <= max_bytes) return value;
  // Find the start of the sequence that contains byte max_bytes (the first
  // byte left out); if that sequence began before the cut, drop all of it.
  size_t start = max_bytes;
  while (start > 0 && IsContinuation(static_cast<unsigned char>(value[start]))) --start;
  const size_t len = SequenceLength(static_cast<unsigned char>(value[start]));
  if (start < max_bytes && start + len > max_bytes) return value.substr(0, start);
  return value.substr(0, max_bytes);
}

std::string FixedText(std::string_view value, size_t width) {
  std::string out(CutUtf8(value, width));
  out.resize(width, ' ');
  return out;
}

void AssignFixed(char* field, size_t width, std::string_view value) {
  const std::string_view cut = CutUtf8(value, width);
  std::memcpy(field, cut.data(), cut.size());
  std::memset(field + cut.size(), ' ', width - cut.size());
}

std::string_view Clip(std::string_view value) {
  return platform::TrimRight(value);
}

std::string_view ClipField(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  const size_t n =
      nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  return Clip(std::string_view(field, n));
}

int CompareFixed(std::string_view a, std::string_view b) {
  a = Clip(a);
  b = Clip(b);
  const size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool IsBlank(std::string_view value) {
  return Clip(value).empty();
}

}  // namespace vm::runtime
