// Key value encoding: byte order of encoded keys must equal the order of the
// values, for every field type, both directions and both case modes.
#include "storage/table/key_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "storage/tree/oem_charset.h"

namespace vm::storage {
namespace {

std::string Hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (unsigned char c : s) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    out += buf;
  }
  return out;
}

template <typename T>
std::string Raw(T v) {
  std::string s(sizeof v, '\0');
  std::memcpy(s.data(), &v, sizeof v);  // row images are little-endian
  return s;
}

std::string Encode(uint8_t type, const std::string& bytes, bool desc = false,
                   bool no_case = false) {
  FieldDef f;
  f.type = type;
  f.size = static_cast<uint16_t>(bytes.size());
  std::string out;
  AppendKeyComponent(f, no_case, desc, Collation::BuiltIn(), bytes, &out);
  return out;
}

// Checks that sorting values numerically and sorting their encodings agree.
template <typename T>
void ExpectOrderPreserved(uint8_t type, std::vector<T> values) {
  std::sort(values.begin(), values.end());
  for (bool desc : {false, true}) {
    for (size_t i = 1; i < values.size(); ++i) {
      std::string a = Encode(type, Raw(values[i - 1]), desc);
      std::string b = Encode(type, Raw(values[i]), desc);
      if (values[i - 1] == values[i]) {
        EXPECT_EQ(a, b);
      } else if (desc) {
        EXPECT_GT(a, b) << values[i - 1] << " vs " << values[i];
      } else {
        EXPECT_LT(a, b) << values[i - 1] << " vs " << values[i];
      }
    }
  }
}

TEST(KeyCodecTest, SignedIntegersFlipTheSignBit) {
  EXPECT_EQ(Hex(Encode(kTypeLong, Raw<int32_t>(-1))), "7FFFFFFF");
  EXPECT_EQ(Hex(Encode(kTypeLong, Raw<int32_t>(0))), "80000000");
  EXPECT_EQ(Hex(Encode(kTypeLong, Raw<int32_t>(-1), true)), "80000000");
  EXPECT_EQ(Hex(Encode(kTypeLong, Raw<int32_t>(0), true)), "7FFFFFFF");
  EXPECT_EQ(Hex(Encode(kTypeShort, Raw<int16_t>(0x1234))), "9234");
  EXPECT_EQ(Hex(Encode(kTypeULong, Raw<uint32_t>(0x01020304))), "01020304");

  std::mt19937 rng(7);
  std::vector<int32_t> longs = {INT32_MIN, -1, 0, 1, INT32_MAX};
  std::vector<int16_t> shorts = {INT16_MIN, -1, 0, 1, INT16_MAX};
  std::vector<uint16_t> ushorts = {0, 1, 255, 256, 65535};
  std::vector<uint32_t> ulongs = {0, 1, 0xFFFFFFFFu};
  for (int i = 0; i < 300; ++i) {
    longs.push_back(static_cast<int32_t>(rng()));
    shorts.push_back(static_cast<int16_t>(rng()));
    ushorts.push_back(static_cast<uint16_t>(rng()));
    ulongs.push_back(static_cast<uint32_t>(rng()));
  }
  ExpectOrderPreserved(kTypeLong, longs);
  ExpectOrderPreserved(kTypeShort, shorts);
  ExpectOrderPreserved(kTypeUShort, ushorts);
  ExpectOrderPreserved(kTypeULong, ulongs);
  ExpectOrderPreserved(kTypeDate, ulongs);
}

TEST(KeyCodecTest, FloatingValuesOrderAcrossZeroInBothDirections) {
  EXPECT_LT(Encode(kTypeReal, Raw(-0.5)), Encode(kTypeReal, Raw(0.0)));
  EXPECT_LT(Encode(kTypeReal, Raw(0.0)), Encode(kTypeReal, Raw(0.5)));
  EXPECT_GT(Encode(kTypeReal, Raw(-0.5), true), Encode(kTypeReal, Raw(0.0), true));
  EXPECT_GT(Encode(kTypeReal, Raw(0.0), true), Encode(kTypeReal, Raw(0.5), true));

  std::mt19937 rng(11);
  std::uniform_real_distribution<double> d(-1e6, 1e6);
  std::vector<double> reals = {-1e300, -1.0, -1e-300, 0.0, 1e-300, 1.0, 1e300};
  std::vector<float> sreals = {-3e38f, -1.0f, 0.0f, 1.0f, 3e38f};
  for (int i = 0; i < 300; ++i) {
    reals.push_back(d(rng));
    sreals.push_back(static_cast<float>(d(rng)));
  }
  ExpectOrderPreserved(kTypeReal, reals);
  ExpectOrderPreserved(kTypeSReal, sreals);
}

TEST(KeyCodecTest, DecimalSignNibbleOrdersNegativesBelowPositives) {
  // Packed decimals: high nibble of the first byte is the sign.
  std::string neg12("\xF0\x12", 2), neg5("\xF0\x05", 2), zero("\x00\x00", 2), pos5("\x00\x05", 2),
      pos12("\x00\x12", 2);
  std::vector<std::string> ordered = {neg12, neg5, zero, pos5, pos12};
  for (size_t i = 1; i < ordered.size(); ++i) {
    EXPECT_LT(Encode(kTypeDecimal, ordered[i - 1]), Encode(kTypeDecimal, ordered[i]));
    EXPECT_GT(Encode(kTypeDecimal, ordered[i - 1], true), Encode(kTypeDecimal, ordered[i], true));
  }
  EXPECT_EQ(Hex(Encode(kTypeDecimal, neg5)), "7FFA");
  // A descending negative keeps the bytes of its first steps.
  EXPECT_EQ(Hex(Encode(kTypeDecimal, neg5, true)), "8005");
}

TEST(KeyCodecTest, CountedAndTerminatedStringsDropTheirTail) {
  EXPECT_EQ(Encode(kTypeCString, std::string("AB\0xy", 5)), std::string("AB\0\0\0", 5));
  EXPECT_EQ(Encode(kTypePString, std::string("\x02"
                                             "ABzz",
                                             5)),
            std::string("AB\0\0\0", 5));
  // A length byte larger than the field is held to the field.
  EXPECT_EQ(Encode(kTypePString, std::string("\x09"
                                             "ABC",
                                             4)),
            std::string("ABC\0", 4));
  EXPECT_EQ(Encode(kTypeString, "Ab "), "Ab ");
}

TEST(KeyCodecTest, CaseInsensitiveStringsCollateThroughTheBlock) {
  EXPECT_EQ(Encode(kTypeString, "apple", false, true), Encode(kTypeString, "APPLE", false, true));
  EXPECT_NE(Encode(kTypeString, "apple"), Encode(kTypeString, "APPLE"));
  // Case-insensitively "apple" < "Banana" although 'B' < 'a' as bytes.
  EXPECT_LT(Encode(kTypeString, "apple ", false, true), Encode(kTypeString, "Banana", false, true));
  EXPECT_GT(Encode(kTypeString, "apple "), Encode(kTypeString, "Banana"));
  // Accented capitals fold too: e-acute equals E-acute.
  EXPECT_EQ(Encode(kTypeString, "\xE9", false, true), Encode(kTypeString, "\xC9", false, true));
  EXPECT_GT(Encode(kTypeString, "b", true, true), Encode(kTypeString, "C", true, true));
}

TEST(KeyCodecTest, KeyValueConcatenatesComponentsAndDetectsEmptyRows) {
  TableDef def;
  def.record_length = 10;
  def.fields = {MakeField("A", kTypeString, 0, 4), MakeField("B", kTypeShort, 4, 2),
                MakeField("C", kTypeCString, 6, 4)};
  KeyDef key = MakeKey("K", kKeyOptional, {{0, 0}, {1, 1}, {2, 0}});
  def.keys = {key};
  ASSERT_EQ(CheckTableDef(def), "");
  EXPECT_EQ(KeyValueLength(def, key), 10u);

  std::string row("ab  \x01\x00x\0yz", 10);
  std::string value;
  AppendKeyValue(def, key, Collation::BuiltIn(), row, &value);
  EXPECT_EQ(Hex(value),
            "616220207FFE"
            "78000000");  // SHORT 1 descending: ~80 01

  std::string blank("    \x00\x00\x00qqq", 10);
  EXPECT_TRUE(KeyValueIsEmpty(def, key, blank));
  blank[5] = 1;
  EXPECT_FALSE(KeyValueIsEmpty(def, key, blank));
  blank[5] = 0;
  blank[6] = 'z';
  EXPECT_FALSE(KeyValueIsEmpty(def, key, blank));
}

TEST(CollationTest, BlockRoundTripsAndRanksArePermutations) {
  Collation c = Collation::BuiltIn();
  std::string block = c.Block();
  ASSERT_EQ(block.size(), kCollationBlockSize);
  for (bool oem : {false, true}) {
    c.set_oem(oem);
    std::set<int> ranks;
    for (int b = 0; b < 256; ++b) ranks.insert(c.Rank(static_cast<uint8_t>(b)));
    EXPECT_EQ(ranks.size(), 256u);
    EXPECT_EQ(c.Upper('q'), 'Q');
    EXPECT_EQ(c.Upper('Q'), 'Q');
    EXPECT_LT(c.Rank('9'), c.Rank('A'));
  }
  // A stored block is used as stored, even when it differs from the built-in one.
  block[256 + 'A'] = 7;
  Collation stored;
  ASSERT_TRUE(Collation::FromBlock(block, true, &stored));
  EXPECT_TRUE(stored.oem());
  stored.set_oem(false);
  EXPECT_EQ(stored.Rank('A'), 7);
  EXPECT_FALSE(Collation::FromBlock(block.substr(1), false, &stored));
}

TEST(OemCharsetTest, ConvertsAccentedLettersBothWays) {
  uint8_t text[] = {'A', 'z', 0xE9, 0xC7, ' '};  // A z e-acute C-cedilla
  AnsiToOem(text, sizeof text);
  EXPECT_EQ(text[0], 'A');
  EXPECT_EQ(text[2], 0x82);
  EXPECT_EQ(text[3], 0x80);
  OemToAnsi(text, sizeof text);
  EXPECT_EQ(text[2], 0xE9);
  EXPECT_EQ(text[3], 0xC7);
  EXPECT_EQ(text[4], ' ');
}

}  // namespace
}  // namespace vm::storage
