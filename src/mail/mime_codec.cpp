#include "mail/mime_codec.h"

#include <cstdlib>

namespace vm::mail {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
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
  out->push_back(kHex[c >> 4]);
  out->push_back(kHex[c & 0x0F]);
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
    if ((c == ' ' || c == '\t') && crlf_next) {
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
    if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
    else if (ch == '+') v = 62;
    else if (ch == '/') v = 63;
    else continue;
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
