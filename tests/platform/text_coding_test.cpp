// The shared text and byte helpers: ASCII case and blanks, hex digits, and
// fixed-width integers, as every layer's file formats and texts rely on them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "platform/hex_text.h"

namespace vm::platform {
namespace {

TEST(AsciiText, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(AsciiUpperCase("x.wav"), "X.WAV");
  EXPECT_EQ(AsciiUpperCase("<date> 1a"), "<DATE> 1A");
  // Neither a UTF-8 sequence nor a windows-1252 letter changes.
  EXPECT_EQ(AsciiUpperCase("\xC3\xA9t\xC3\xA9"), "\xC3\xA9T\xC3\xA9");
  EXPECT_EQ(AsciiLowerCase("\xC9T\xE9 Us-ASCII@[]`{"), "\xC9t\xE9 us-ascii@[]`{");
  EXPECT_TRUE(EqualsIgnoreCase("Content-Type", "CONTENT-type"));
  EXPECT_FALSE(EqualsIgnoreCase("Subject", "Subjec"));
  // '@' and '`' sit next to the letters: folding must not join them.
  EXPECT_FALSE(EqualsIgnoreCase("@", "`"));
  EXPECT_FALSE(EqualsIgnoreCase("[", "{"));
  EXPECT_FALSE(EqualsIgnoreCase("\xC3\xA9", "\xC3\x89"));
}

TEST(AsciiText, TrimsOnlyTheNamedBlanks) {
  EXPECT_EQ(Trim("  a b  "), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a "), "  a");
  EXPECT_EQ(Trim("    "), "");
  EXPECT_EQ(Trim(""), "");
  // A tab is kept unless named; a CR LF line end goes when named.
  EXPECT_EQ(Trim("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimRight(TrimLeft(" \tkey = v\t\r", " \t"), " \t\r"), "key = v");
  EXPECT_EQ(TrimRight(std::string_view("ab \0 \0", 6), std::string_view(" \0", 2)), "ab");
  // The result views the text it was given.
  const std::string text = "  x  ";
  EXPECT_EQ(Trim(text).data(), text.data() + 2);
}

TEST(HexText, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string upper = HexOf(all, HexCase::kUpper);
  ASSERT_EQ(upper.size(), 512u);
  EXPECT_EQ(upper.substr(0, 6), "000102");
  EXPECT_EQ(upper.substr(508), "FEFF");
  EXPECT_EQ(HexOf("\x7F\xA0", HexCase::kLower), "7fa0");
  std::string back;
  ASSERT_TRUE(DecodeHex(upper, &back));
  EXPECT_EQ(back, all);
  ASSERT_TRUE(DecodeHex("aBcD", &back));
  EXPECT_EQ(back, "\xAB\xCD");
}

TEST(HexText, RefusesWhatIsNotHex) {
  std::string out;
  EXPECT_FALSE(DecodeHex("abc", &out));
  EXPECT_FALSE(DecodeHex("0g", &out));
  EXPECT_FALSE(DecodeHex("+1", &out));  // a sign is not a digit
  EXPECT_FALSE(DecodeHex(" 1", &out));
  EXPECT_EQ(HexValue('/'), -1);
  EXPECT_EQ(HexValue(':'), -1);
  EXPECT_EQ(HexValue('G'), -1);
  EXPECT_EQ(HexValue('f'), 15);
  EXPECT_TRUE(DecodeHex("", &out));
  EXPECT_TRUE(out.empty());
}

TEST(HexText, ShowsControlsOnOneLine) {
  EXPECT_EQ(ShowControls("a\r\nb\x7F\x1B"), "a\\x0D\\x0Ab\\x7F\\x1B");
  // Bytes of UTF-8 and windows-1252 stay as they are.
  EXPECT_EQ(ShowControls("\xC3\xA9\x80"), "\xC3\xA9\x80");
}

TEST(ByteCoding, LittleEndianOfEveryWidth) {
  unsigned char b[8] = {};
  EncodeLittleEndian(b, 0x0102030405060708ULL, 8);
  EXPECT_EQ(b[0], 0x08);
  EXPECT_EQ(b[7], 0x01);
  EXPECT_EQ(DecodeLittleEndian(b, 8), 0x0102030405060708ULL);
  EXPECT_EQ(DecodeLittleEndian(b, 3), 0x060708u);
  // High bytes read unsigned: no sign spreads into the value.
  const unsigned char high[4] = {0xFF, 0x80, 0x00, 0xF0};
  EXPECT_EQ(DecodeFixed32(high), 0xF00080FFu);
  EXPECT_EQ(DecodeFixed16(high), 0x80FFu);
  std::string s;
  PutFixed16(&s, 0xBEEF);
  PutFixed32(&s, 0xDEADBEEF);
  EXPECT_EQ(s, std::string("\xEF\xBE\xEF\xBE\xAD\xDE", 6));
  std::vector<uint8_t> v;
  PutFixed32(&v, 7);
  EXPECT_EQ(v, (std::vector<uint8_t>{7, 0, 0, 0}));
}

TEST(ByteCoding, BigEndianSortsAsTheValue) {
  std::string a, b;
  PutBigEndian32(&a, 0x000000FF);
  PutBigEndian32(&b, 0x00000100);
  EXPECT_LT(a, b);  // byte order is value order
  EXPECT_EQ(DecodeBigEndian32(b.data()), 0x100u);
  std::string c;
  PutBigEndian16(&c, 0x8001);
  EXPECT_EQ(DecodeBigEndian16(c.data()), 0x8001u);
  unsigned char d[4];
  EncodeBigEndian32(d, 0xA1B2C3D4);
  EXPECT_EQ(d[0], 0xA1);
  EXPECT_EQ(DecodeBigEndian32(d), 0xA1B2C3D4u);
}

}  // namespace
}  // namespace vm::platform
