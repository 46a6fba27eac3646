// Fixed-width text and the text-to-number rule.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/fixed_text.h"
#include "runtime/text_number.h"

namespace vm::runtime {
namespace {

TEST(FixedText, PadsAndCutsToTheWidth) {
  EXPECT_EQ(FixedText("abc", 5), "abc  ");
  EXPECT_EQ(FixedText("abcdef", 4), "abcd");
  EXPECT_EQ(FixedText("", 3), "   ");
  EXPECT_EQ(FixedText("abc", 0), "");
  char field[6];
  std::memset(field, 'x', sizeof field);
  AssignFixed(field, 5, "hi");
  EXPECT_EQ(std::string(field, 6), "hi   x");  // byte after the field untouched
  AssignFixed(field, 5, "toolongvalue");
  EXPECT_EQ(std::string(field, 6), "toolox");
}

TEST(FixedText, NeverCutsInsideAUtf8Sequence) {
  // "é" is 2 bytes, "€" 3 bytes, "😀" 4 bytes.
  EXPECT_EQ(FixedText("ab\xC3\xA9", 3), "ab ");
  EXPECT_EQ(FixedText("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(FixedText("a\xE2\x82\xAC"
                      "b",
                      3),
            "a  ");
  EXPECT_EQ(FixedText("a\xE2\x82\xAC"
                      "b",
                      4),
            "a\xE2\x82\xAC");
  EXPECT_EQ(FixedText("\xF0\x9F\x98\x80", 3), "   ");
  EXPECT_EQ(FixedText("x\xF0\x9F\x98\x80y", 5), "x\xF0\x9F\x98\x80");
  EXPECT_EQ(CutUtf8("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9");
  // A stray continuation byte is not a sequence start; cutting after it is fine.
  EXPECT_EQ(CutUtf8("a\x80"
                    "bc",
                    2),
            "a\x80");
}

TEST(FixedText, ClipAndCompareIgnoreTrailingBlanksOnly) {
  EXPECT_EQ(Clip("  ab  "), "  ab");
  EXPECT_EQ(Clip("    "), "");
  EXPECT_EQ(Clip("a\t"), "a\t");
  const char field[8] = {'a', 'b', ' ', '\0', 'z', 'z', 'z', 'z'};
  EXPECT_EQ(ClipField(field, 8), "ab");
  EXPECT_EQ(ClipField("abc     ", 8), "abc");

  EXPECT_TRUE(EqualFixed("YES", "YES  "));
  EXPECT_TRUE(EqualFixed("", "   "));
  EXPECT_FALSE(EqualFixed(" YES", "YES"));
  EXPECT_FALSE(EqualFixed("YES", "yes"));
  EXPECT_LT(CompareFixed("AB", "ABC"), 0);
  EXPECT_GT(CompareFixed("ABC  ", "AB"), 0);
  EXPECT_LT(CompareFixed("AB", "AC   "), 0);
  // Bytes compare unsigned: a UTF-8 lead byte sorts after ASCII.
  EXPECT_GT(CompareFixed("\xC3\xA9", "z"), 0);
  EXPECT_TRUE(IsBlank("   "));
  EXPECT_FALSE(IsBlank(" x "));
}

TEST(TextToNumber, FollowsTheRule) {
  EXPECT_EQ(TextToNumber("101"), 101);
  EXPECT_EQ(TextToNumber("0101"), 101);
  EXPECT_EQ(TextToNumber("   42"), 42);
  EXPECT_EQ(TextToNumber("\t 7"), 7);
  EXPECT_EQ(TextToNumber("-12abc"), -12);
  EXPECT_EQ(TextToNumber("+5"), 5);
  EXPECT_EQ(TextToNumber("12 34"), 12);
  EXPECT_EQ(TextToNumber("1e3"), 1);
  EXPECT_EQ(TextToNumber("3.9"), 3);
  EXPECT_EQ(TextToNumber("abc"), 0);
  EXPECT_EQ(TextToNumber(""), 0);
  EXPECT_EQ(TextToNumber("-"), 0);
  EXPECT_EQ(TextToNumber("- 5"), 0);
  EXPECT_EQ(TextToNumber("x12"), 0);
}

TEST(TextToNumber, ClampsAtTheLimits) {
  EXPECT_EQ(TextToNumber("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(TextToNumber("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(TextToNumber("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(TextToNumber("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(TextToNumber("000000000000000000000000012"), 12);
  EXPECT_EQ(TextToShort("99999"), 32767);
  EXPECT_EQ(TextToShort("-40000"), -32768);
  EXPECT_EQ(TextToShort("0102"), 102);
  EXPECT_EQ(TextToLong("3000000000"), 2147483647);
}

}  // namespace
}  // namespace vm::runtime
