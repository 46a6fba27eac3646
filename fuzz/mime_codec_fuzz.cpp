// The encoders of outgoing mail over any bytes: quoted-printable fed in
// pieces of any size equals the whole body encoded at once, keeps its lines
// within 76 characters and decodes back to the body; base64 (one line, and
// in 76-character lines fed record by record) decodes back to its input;
// line-end repair leaves only CR LF pairs and is idempotent; the zone text
// reads back as its offset. The first byte picks the codec, the second
// seeds the piece sizes.
#include <random>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "mail/mime_codec.h"

namespace vm::mail {
namespace {

using fuzz::Check;
using fuzz::FuzzInput;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes quoted-printable, checking the form of every line on the way.
std::string QuotedPrintableDecode(std::string_view in) {
  std::string out;
  size_t line_start = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '\r') {
      Check(i + 1 < in.size() && in[i + 1] == '\n', "CR only as part of CR LF");
      Check(i - line_start <= 76, "encoded line of at most 76 characters");
      Check(i == line_start || (in[i - 1] != ' ' && in[i - 1] != '\t'), "no space or TAB before a line end");
      out += "\r\n";
      line_start = i + 2;
      ++i;
    } else if (c == '=') {
      Check(i + 2 < in.size() || (i + 1 < in.size() && in[i + 1] == '\r'), "'=' followed by two characters");
      if (in[i + 1] == '\r') {
        Check(i + 2 < in.size() && in[i + 2] == '\n', "soft line break is =CR LF");
        Check(i + 1 - line_start <= 76, "soft-broken line of at most 76 characters with its '='");
        line_start = i + 3;
        i += 2;
        continue;
      }
      const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
      Check(hi >= 0 && lo >= 0, "=XX in upper-case hex");
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      Check(c == ' ' || c == '\t' || (c >= 33 && c <= 126), "only printable ASCII copied");
      out.push_back(c);
    }
  }
  Check(in.size() - line_start <= 76, "last line of at most 76 characters");
  Check(in.empty() || (in.back() != ' ' && in.back() != '\t'), "no space or TAB at the end");
  return out;
}

void QuotedPrintable(std::string_view body, std::mt19937& rng) {
  const std::string whole = NetQuotedPrintableEncode(body);
  QuotedPrintableEncoder pieces;
  std::string fed;
  for (size_t pos = 0; pos < body.size();) {
    const size_t n = std::min<size_t>(body.size() - pos, rng() % 8);
    pieces.Feed(body.substr(pos, n), &fed);
    pos += n;
  }
  pieces.Finish(&fed);
  Check(fed == whole, "quoted-printable fed in pieces equals the whole encoding");
  Check(QuotedPrintableDecode(whole) == body, "quoted-printable round trip");
}

void Base64(std::string_view data, std::mt19937& rng) {
  const std::string one_line = NetBase64Encode(data);
  Check(one_line.size() == (data.size() + 2) / 3 * 4, "base64 length");
  Check(NetBase64Decode(one_line) == data, "base64 round trip");

  Base64LineEncoder lines;
  std::string out;
  for (size_t pos = 0; pos < data.size();) {
    size_t n = 3 * (1 + rng() % 30);
    if (n >= data.size() - pos) n = data.size() - pos;  // the last call takes the rest
    std::vector<char> buf(Base64LineEncoder::MaxOutput(n));
    const size_t wrote = lines.Feed(reinterpret_cast<const unsigned char*>(data.data() + pos), n, buf.data());
    Check(wrote <= buf.size(), "Feed stays within MaxOutput");
    out.append(buf.data(), wrote);
    pos += n;
  }
  std::string joined;
  size_t start = 0;
  for (;;) {
    const size_t crlf = out.find("\r\n", start);
    const std::string_view line = std::string_view(out).substr(start, crlf == std::string::npos ? out.npos : crlf - start);
    Check(line.size() <= 76, "base64 line of at most 76 characters");
    if (crlf == std::string::npos) break;
    Check(line.size() == 76, "only the last base64 line is shorter");
    joined.append(line);
    start = crlf + 2;
  }
  joined.append(out, start);
  Check(joined == one_line, "base64 in lines carries the same text");
  Check(NetBase64Decode(out) == data, "base64 in lines decodes back");
}

void LineEnds(std::string_view body) {
  const std::string fixed = NormalizeLineEnds(body);
  for (size_t i = 0; i < fixed.size(); ++i) {
    if (fixed[i] == '\r') Check(i + 1 < fixed.size() && fixed[i + 1] == '\n', "CR only before LF");
    if (fixed[i] == '\n') Check(i > 0 && fixed[i - 1] == '\r', "LF only after CR");
  }
  Check(NormalizeLineEnds(fixed) == fixed, "line-end repair is idempotent");
  std::string without, fixed_without;
  for (char c : body) if (c != '\r' && c != '\n') without.push_back(c);
  for (char c : fixed) if (c != '\r' && c != '\n') fixed_without.push_back(c);
  Check(without == fixed_without, "line-end repair changes nothing but line ends");
}

void Zone(FuzzInput& in) {
  const int offset = static_cast<int16_t>(in.U16()) % (24 * 60);
  const std::string text = NetTimeZoneOffsetText(offset);
  Check(text.size() == 5 && (text[0] == '+' || text[0] == '-'), "zone text is a sign and four digits");
  const int back = ((text[1] - '0') * 10 + (text[2] - '0')) * 60 + (text[3] - '0') * 10 + (text[4] - '0');
  Check((text[0] == '-' ? -back : back) == offset, "zone text reads back as its offset");
}

}  // namespace
}  // namespace vm::mail

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::fuzz::FuzzInput in(data, size);
  const uint8_t which = in.Byte();
  std::mt19937 rng(in.Byte());
  switch (which % 5) {
    case 0: vm::mail::QuotedPrintable(in.Rest(), rng); break;
    case 1: vm::mail::Base64(in.Rest(), rng); break;
    case 2: (void)vm::mail::NetBase64Decode(in.Rest()); break;
    case 3: vm::mail::LineEnds(in.Rest()); break;
    default: vm::mail::Zone(in); break;
  }
  return 0;
}
