// Page images: run-length coding against a plain reference decoder, the
// choice between packed and unpacked pages, slack, and damaged images.
#include "storage/file/page_codec.h"

#include <random>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

// Independent reference: decodes the group format byte by byte.
std::string ReferenceDecode(const std::string& in, size_t n) {
  std::string out;
  size_t pos = 0;
  auto count = [&] {
    size_t v = 0;
    int shift = 0;
    for (;;) {
      uint8_t b = static_cast<uint8_t>(in.at(pos++));
      v |= size_t(b & 0x7F) << shift;
      shift += 7;
      if (!(b & 0x80)) return v;
    }
  };
  while (out.size() < n) {
    size_t c = count();
    out += in.substr(pos, c);
    pos += c;
    if (out.size() >= n) break;
    size_t r = count();
    out.append(r, out.back());
  }
  return out;
}

TEST(Rle, RunOfFourIsPackedRunOfThreeIsNot) {
  std::string out;
  ASSERT_TRUE(RleEncode("abcdXXXXef", &out));
  EXPECT_EQ(out, std::string("\x05"
                             "abcdX"
                             "\x03"
                             "\x02"
                             "ef",
                             10));
  EXPECT_FALSE(RleEncode("abcXXXef", &out));
  EXPECT_TRUE(out.empty());
}

TEST(Rle, BodyEndingInRunEndsWithZeroCopyCountThatIsNeverRead) {
  std::string out;
  ASSERT_TRUE(RleEncode("ab" + std::string(9, 'z'), &out));
  EXPECT_EQ(out, std::string("\x03"
                             "abz"
                             "\x08"
                             "\x00",
                             6));
  std::string decoded;
  // Without the final count the decoder must still finish: it stops at n.
  ASSERT_EQ(RleDecode(out.substr(0, 5), 11, &decoded), 0);
  EXPECT_EQ(decoded, "ab" + std::string(9, 'z'));
}

TEST(Rle, RandomBodiesRoundTripAgainstReference) {
  std::mt19937 rng(42);
  for (int iter = 0; iter < 3000; ++iter) {
    std::string body;
    int pieces = static_cast<int>(rng() % 12);
    for (int p = 0; p < pieces; ++p) {
      char c = static_cast<char>('a' + rng() % 3);
      size_t len = 1 + rng() % 7;                   // runs of 1..7 around the threshold
      if (rng() % 5 == 0) len = 100 + rng() % 300;  // long runs need two-byte counts
      body.append(len, c);
    }
    std::string packed;
    if (!RleEncode(body, &packed)) {
      for (size_t i = 0; i + 3 < body.size(); ++i) {
        ASSERT_FALSE(body[i] == body[i + 1] && body[i] == body[i + 2] && body[i] == body[i + 3])
            << body;
      }
      continue;
    }
    ASSERT_EQ(ReferenceDecode(packed, body.size()), body);
    std::string decoded;
    ASSERT_EQ(RleDecode(packed, body.size(), &decoded), 0);
    ASSERT_EQ(decoded, body);
  }
}

TEST(Rle, OverrunsAreReported) {
  std::string out;
  EXPECT_EQ(RleDecode(std::string("\x09"
                                  "abc",
                                  4),
                      3, &out),
            kErrCopyOverrun);
  out.clear();
  EXPECT_EQ(RleDecode(std::string("\x01"
                                  "a"
                                  "\x09",
                                  3),
                      5, &out),
            kErrRepeatOverrun);
  out.clear();
  EXPECT_EQ(RleDecode(std::string("\x05"
                                  "ab",
                                  3),
                      5, &out),
            kErrCopyOverrun);  // input ends early
  out.clear();
  EXPECT_EQ(RleDecode(std::string("\x02"
                                  "ab",
                                  3),
                      5, &out),
            kErrRepeatOverrun);
}

TreePage Leaf(std::vector<Record> records) {
  TreePage p;
  p.records = std::move(records);
  return p;
}

TEST(PageImage, UncompressibleLeafIsStoredUnpackedWithSlack) {
  TreePage page = Leaf({{"", ""}, {"key1", "abcdefgh"}});
  std::string image;
  ASSERT_TRUE(EncodePage(7, page, &image).ok());
  EXPECT_EQ(image.size(), 256u);
  EXPECT_EQ(HomeOffsetOf(image), 512u + 256u * 7);
  const uint16_t stored = StoredSizeOf(image);
  EXPECT_EQ(stored,
            static_cast<uint16_t>(uint8_t(image[6]) | (uint8_t(image[7]) << 8)));  // == unpacked
  for (size_t i = stored; i < image.size(); ++i) ASSERT_EQ(uint8_t(image[i]), 0xB0);
  TreePage back;
  ASSERT_TRUE(DecodePage(image, 1, &back).ok());
  ASSERT_EQ(back.records.size(), 2u);
  EXPECT_EQ(back.records[1].data, "abcdefgh");
}

TEST(PageImage, SavingLessThanAUnitStaysUnpackedAndAWholeUnitPacks) {
  // A small run saves a few bytes but not a unit.
  TreePage small = Leaf({{"", ""}, {"k", std::string(60, 'q') + std::string(6, 'r')}});
  std::string image;
  ASSERT_TRUE(EncodePage(0, small, &image).ok());
  EXPECT_EQ(StoredSizeOf(image), uint16_t(uint8_t(image[6]) | (uint8_t(image[7]) << 8)));
  // A long run saves many units.
  TreePage big = Leaf({{"", ""}, {"k", std::string(3000, 'z')}});
  ASSERT_TRUE(EncodePage(0, big, &image).ok());
  const uint16_t unpacked = uint16_t(uint8_t(image[6]) | (uint8_t(image[7]) << 8));
  EXPECT_LT(StoredSizeOf(image), unpacked);
  EXPECT_EQ(image.size(), 256u);
  TreePage back;
  ASSERT_TRUE(DecodePage(image, 1, &back).ok());
  EXPECT_EQ(back.records[1].data, std::string(3000, 'z'));
}

TEST(PageImage, InternalPageKeepsChildArrayOutsideCompression) {
  TreePage page;
  page.level = 1;
  page.records = {{"", ""}, {std::string(40, 'm'), ""}};
  page.children = {12, -3};
  std::string image;
  ASSERT_TRUE(EncodePage(2, page, &image).ok());
  TreePage back;
  ASSERT_TRUE(DecodePage(image, 0, &back).ok());
  EXPECT_EQ(back.level, 1);
  EXPECT_EQ(back.children, (std::vector<int32_t>{12, -3}));
  EXPECT_EQ(back.records[1].key, std::string(40, 'm'));
}

TEST(PageImage, WrongRegionClassAndDamageAreErrorsNeverCrashes) {
  TreePage page = Leaf({{"", ""}, {"alpha", std::string(500, 'x') + "tail"}, {"beta", "b"}});
  std::string image;
  ASSERT_TRUE(EncodePage(0, page, &image).ok());
  const int cls = UnitsFor(StoredSizeOf(image));
  TreePage back;
  EXPECT_EQ(DecodePage(image, cls + 1, &back).internal(), kErrPageClass);
  std::mt19937 rng(7);
  int errors = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string damaged = image;
    int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f)
      damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
    Status s = DecodePage(damaged, cls, &back);
    if (!s.ok()) {
      ++errors;
      EXPECT_EQ(s.code(), 90);
    }
  }
  EXPECT_GT(errors, 0);
}

}  // namespace
}  // namespace vm::storage
