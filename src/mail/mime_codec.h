// Encoders used when a mail message is composed and sent: quoted-printable
// over a body fed in pieces, base64 in 76-character lines fed record by
// record, the one-line base64 of the AUTH LOGIN texts, and the zone text of
// the Date line. Value types and pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vm::mail {

// Quoted-printable encoding of one body, fed in pieces of any size; the
// output is that of the whole body encoded as one stream. CR LF is copied as
// a line end; a space or TAB directly before CR LF or at the very end of the
// body, "=", lone CR or LF,
// control bytes and bytes above 126 become "=XX"; soft line breaks keep
// every output line at 76 characters or fewer including its "=".
class QuotedPrintableEncoder {
 public:
  // Appends the encoding of what can already be decided to *out. Up to two
  // bytes are held back until the bytes after them are known.
  void Feed(std::string_view in, std::string* out);
  // Encodes the held-back bytes as the end of the body.
  void Finish(std::string* out);

 private:
  void Encode(std::string_view in, bool at_end, std::string* out);
  void PutCopied(char c, std::string* out);
  void PutTriplet(unsigned char c, std::string* out);

  std::string carry_;  // the held-back bytes
  int line_len_ = 0;
};

// The quoted-printable encoding of a whole body.
std::string NetQuotedPrintableEncode(std::string_view body);

// Base64 in lines of 76 characters, each followed by CR LF; a last shorter
// line has no line end. Feed it the file record by record.
class Base64LineEncoder {
 public:
  // Largest output Feed can write for n input bytes.
  static size_t MaxOutput(size_t n) { return (n + 2) / 3 * 4 + ((n + 2) / 3 * 4 / 76 + 1) * 2; }
  // The exact output for n bytes fed in whole: the characters and a CR LF
  // after every full line.
  static uint64_t EncodedLength(uint64_t n) {
    const uint64_t chars = (n + 2) / 3 * 4;
    return chars + chars / 76 * 2;
  }
  // Encodes n bytes into out (room for MaxOutput(n)); returns the bytes
  // written. REQUIRES: every call but the last has n divisible by 3.
  size_t Feed(const unsigned char* in, size_t n, char* out);

 private:
  int line_len_ = 0;
};

// Base64 of `in` on one line, without line ends (the AUTH LOGIN texts).
std::string NetBase64Encode(std::string_view in);
// Decodes standard base64, ignoring CR, LF and anything outside the alphabet.
std::string NetBase64Decode(std::string_view in);

// "+hhmm" or "-hhmm" for a zone `offset_minutes` east of UTC (negative: west).
std::string NetTimeZoneOffsetText(int offset_minutes);

// True when `text` holds a byte above 0x7F.
bool HasHighBytes(std::string_view text);
// Length of the UTF-8 character starting at text[i], or 0 when the bytes
// there are not a well-formed character. REQUIRES: i < text.size().
size_t Utf8CharLength(std::string_view text, size_t i);
// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view text);
// The charset of 8-bit text: "utf-8" when it is valid UTF-8, else
// "windows-1252" (every byte means something there).
const char* CharsetOf(std::string_view text);
// Length of the longest line of a CR LF text, line end not counted.
size_t LongestLine(std::string_view text);

// Header text for a header line: unchanged when it is all ASCII, else RFC
// 2047 encoded words ("=?utf-8?B?...?=" or "=?windows-1252?B?...?="), each at
// most 75 characters and never cutting a UTF-8 character, joined by a folded
// line break (CR LF + space).
std::string EncodeHeaderWords(std::string_view text);

// Line ends of a text body made fit for SMTP: CR LF stays, a lone LF or a
// lone CR becomes CR LF. A body already in CR LF comes back unchanged.
std::string NormalizeLineEnds(std::string_view body);

}  // namespace vm::mail
