#include "platform/hex_text.h"

namespace vm::platform {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

}  // namespace

char HexDigit(unsigned nibble, HexCase letters) {
  return (letters == HexCase::kUpper ? kUpperDigits : kLowerDigits)[nibble & 0x0F];
}

void AppendHexByte(unsigned char byte, HexCase letters, std::string* out) {
  out->push_back(HexDigit(byte >> 4, letters));
  out->push_back(HexDigit(byte, letters));
}

std::string HexOf(std::string_view bytes, HexCase letters) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) AppendHexByte(static_cast<unsigned char>(c), letters, &out);
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeHex(std::string_view hex, std::string* out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  out->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

std::string ShowControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      AppendHexByte(c, HexCase::kUpper, &out);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace vm::platform
