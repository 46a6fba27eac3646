#include "cli/text_escape.h"

#include "mail/mime_codec.h"
#include "platform/hex_text.h"

namespace vm::cli {
namespace {

void PutHexByte(unsigned char c, std::string* out) {
  *out += "\\x";
  platform::AppendHexByte(c, platform::HexCase::kLower, out);
}

bool IsC0(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// A UTF-8 character of the C1 control range (U+0080 to U+009F): two bytes,
// C2 80 to C2 9F.
bool IsC1(std::string_view text, size_t i, size_t length) {
  return length == 2 && static_cast<unsigned char>(text[i]) == 0xC2 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

// Copies `text`, each character through `put` and each odd byte as "\xNN".
template <typename Put>
std::string Walk(std::string_view text, Put put) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = mail::Utf8CharLength(text, i);
    if (n == 0) {
      PutHexByte(static_cast<unsigned char>(text[i]), &out);
      ++i;
      continue;
    }
    put(text.substr(i, n), IsC1(text, i, n), &out);
    i += n;
  }
  return out;
}

}  // namespace

std::string EscapeValue(std::string_view value) {
  return Walk(value, [](std::string_view ch, bool c1, std::string* out) {
    const unsigned char c = static_cast<unsigned char>(ch[0]);
    if (c == '\\') {
      *out += "\\\\";
    } else if (c == '\n') {
      *out += "\\n";
    } else if (c == '\r') {
      *out += "\\r";
    } else if (c == '\t') {
      *out += "\\t";
    } else if (IsC0(c) || c1) {
      for (char b : ch) PutHexByte(static_cast<unsigned char>(b), out);
    } else {
      *out += ch;
    }
  });
}

std::string UnescapeValue(std::string_view typed) {
  std::string out;
  out.reserve(typed.size());
  for (size_t i = 0; i < typed.size(); ++i) {
    const char c = typed[i];
    if (c != '\\' || i + 1 == typed.size()) {
      out += c;
      continue;
    }
    switch (typed[i + 1]) {
      case '\\':
        out += '\\';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      default:
        out += c;  // a backslash before anything else is itself
        continue;
    }
    ++i;
  }
  return out;
}

std::string ShownText(std::string_view text) {
  return Walk(text, [](std::string_view ch, bool c1, std::string* out) {
    if (IsC0(static_cast<unsigned char>(ch[0])) || c1) {
      for (char b : ch) PutHexByte(static_cast<unsigned char>(b), out);
    } else {
      *out += ch;
    }
  });
}

std::string JsonString(std::string_view text, bool* escaped) {
  std::string source;
  if (!mail::IsUtf8(text)) {
    // Backslashes doubled, then odd bytes as \xNN: unambiguous, and UTF-8.
    std::string doubled;
    for (char c : text) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
    source = Walk(doubled, [](std::string_view ch, bool, std::string* out) { *out += ch; });
    *escaped = true;
  } else {
    source = std::string(text);
  }
  std::string out = "\"";
  for (char ch : source) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      platform::AppendHexByte(c, platform::HexCase::kLower, &out);
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

}  // namespace vm::cli
