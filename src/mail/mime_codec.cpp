#include "mail/mime_codec.h"

#include <algorithm>
#include <cstdlib>

#include "platform/hex_text.h"

namespace vm::mail {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kMaxLine = 76;

}  // namespace

void QuotedPrintableEncoder::PutCopied(char c, std::string* out) {
  if (line_len_ + 2 > kMaxLine) {
    out->append("=\r\n");
    line_len_ = 0;
  }
  out->push_back(c);
  ++line_len_;
}

void QuotedPrintableEncoder::PutTriplet(unsigned char c, std::string* out) {
  if (line_len_ + 4 > kMaxLine) {
    out->append("=\r\n");
    line_len_ = 0;
  }
  out->push_back('=');
  platform::AppendHexByte(c, platform::HexCase::kUpper, out);
  line_len_ += 3;
}

void QuotedPrintableEncoder::Encode(std::string_view in, bool at_end, std::string* out) {
  const size_t n = in.size();
  size_t i = 0;
  // A byte is decided once the two bytes after it are known (or the body ended).
  while (i < n && (at_end || i + 2 < n)) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    const bool crlf_next = i + 2 < n && in[i + 1] == '\r' && in[i + 2] == '\n';
    if (c == '\r' && i + 1 < n && in[i + 1] == '\n') {
      out->append("\r\n");
      line_len_ = 0;
      i += 2;
      continue;
    }
    // A blank that ends a line or the body would be taken for transport
    // padding and dropped by the reader: it is encoded.
    const bool body_end = at_end && i + 1 == n;
    if ((c == ' ' || c == '\t') && (crlf_next || body_end)) {
      PutTriplet(c, out);
    } else if (c == ' ' || c == '\t' || (c >= 33 && c <= 126 && c != '=')) {
      PutCopied(static_cast<char>(c), out);
    } else {
      PutTriplet(c, out);
    }
    ++i;
  }
  carry_.assign(in.substr(i));
}

void QuotedPrintableEncoder::Feed(std::string_view in, std::string* out) {
  if (carry_.empty()) {
    Encode(in, false, out);
    return;
  }
  std::string joined = carry_;
  joined.append(in);
  Encode(joined, false, out);
}

void QuotedPrintableEncoder::Finish(std::string* out) {
  std::string rest;
  rest.swap(carry_);
  Encode(rest, true, out);
  carry_.clear();
}

std::string NetQuotedPrintableEncode(std::string_view body) {
  QuotedPrintableEncoder encoder;
  std::string out;
  encoder.Feed(body, &out);
  encoder.Finish(&out);
  return out;
}

size_t Base64LineEncoder::Feed(const unsigned char* in, size_t n, char* out) {
  char* o = out;
  size_t i = 0;
  // Whole lines of 57 input bytes when the line is empty: the common case.
  if (line_len_ == 0) {
    while (n - i >= 57) {
      for (int g = 0; g < 19; ++g, i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        o[0] = kAlphabet[v >> 18];
        o[1] = kAlphabet[(v >> 12) & 63];
        o[2] = kAlphabet[(v >> 6) & 63];
        o[3] = kAlphabet[v & 63];
        o += 4;
      }
      o[0] = '\r';
      o[1] = '\n';
      o += 2;
    }
  }
  while (i < n) {
    const size_t left = n - i;
    const uint32_t b0 = in[i];
    const uint32_t b1 = left > 1 ? in[i + 1] : 0;
    const uint32_t b2 = left > 2 ? in[i + 2] : 0;
    const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = left > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    o[3] = left > 2 ? kAlphabet[v & 63] : '=';
    o += 4;
    i += left > 2 ? 3 : left;
    line_len_ += 4;
    if (line_len_ == kMaxLine) {
      o[0] = '\r';
      o[1] = '\n';
      o += 2;
      line_len_ = 0;
    }
  }
  return static_cast<size_t>(o - out);
}

std::string NetBase64Encode(std::string_view in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  for (size_t i = 0; i < in.size(); i += 3) {
    const size_t left = in.size() - i;
    const uint32_t b0 = static_cast<unsigned char>(in[i]);
    const uint32_t b1 = left > 1 ? static_cast<unsigned char>(in[i + 1]) : 0;
    const uint32_t b2 = left > 2 ? static_cast<unsigned char>(in[i + 2]) : 0;
    const uint32_t v = (b0 << 16) | (b1 << 8) | b2;
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(left > 1 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(left > 2 ? kAlphabet[v & 63] : '=');
  }
  return out;
}

std::string NetBase64Decode(std::string_view in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char ch : in) {
    int v;
    if (ch >= 'A' && ch <= 'Z')
      v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z')
      v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9')
      v = ch - '0' + 52;
    else if (ch == '+')
      v = 62;
    else if (ch == '/')
      v = 63;
    else
      continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return out;
}

std::string NetTimeZoneOffsetText(int offset_minutes) {
  const int a = std::abs(offset_minutes);
  const int hours = a / 60 % 100;
  const int minutes = a % 60;
  std::string s(1, offset_minutes >= 0 ? '+' : '-');
  s.push_back(static_cast<char>('0' + hours / 10));
  s.push_back(static_cast<char>('0' + hours % 10));
  s.push_back(static_cast<char>('0' + minutes / 10));
  s.push_back(static_cast<char>('0' + minutes % 10));
  return s;
}

bool HasHighBytes(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) > 0x7F) return true;
  }
  return false;
}

size_t Utf8CharLength(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return 1;
  size_t len;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(text[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return len;
}

bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8CharLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

const char* CharsetOf(std::string_view text) {
  return IsUtf8(text) ? "utf-8" : "windows-1252";
}

size_t LongestLine(std::string_view text) {
  size_t longest = 0;
  size_t start = 0;
  for (;;) {
    const size_t eol = text.find("\r\n", start);
    const size_t end = eol == std::string_view::npos ? text.size() : eol;
    longest = std::max(longest, end - start);
    if (eol == std::string_view::npos) return longest;
    start = eol + 2;
  }
}

std::string EncodeHeaderWords(std::string_view text) {
  if (!HasHighBytes(text)) return std::string(text);
  const bool utf8 = IsUtf8(text);
  const std::string prefix = std::string("=?") + (utf8 ? "utf-8" : "windows-1252") + "?B?";
  // 75 characters per word: the prefix, "?=" and base64 of at most this many
  // bytes (a multiple of 3 keeps the words free of padding but the last).
  const size_t max_bytes = (75 - prefix.size() - 2) / 4 * 3;
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t take = std::min(max_bytes, text.size() - pos);
    if (utf8) {
      // Whole characters only: back off to the start of a character.
      size_t end = pos;
      while (end < text.size()) {
        const size_t n = Utf8CharLength(text, end);
        if (end + n - pos > take) break;
        end += n;
      }
      take = end - pos;
    }
    if (!out.empty()) out.append("\r\n ");
    out.append(prefix).append(NetBase64Encode(text.substr(pos, take))).append("?=");
    pos += take;
  }
  return out;
}

std::string NormalizeLineEnds(std::string_view body) {
  std::string out;
  out.reserve(body.size() + body.size() / 32);
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r') {
      out.append("\r\n");
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out.append("\r\n");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace vm::mail
