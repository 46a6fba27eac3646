// Keys of every length a key entry may have, up to a whole record: inserts
// that split pages of such entries, many of them in random order, deletes,
// reads in key order; random keys at and around every length and page size
// boundary; and the refusal of a key too long for random bytes. Every page
// must stay writable as a file page.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "storage/file/page_codec.h"
#include "storage/table/record_keys.h"
#include "storage/tree/tree.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

// A key entry as a table makes it: table number, key number, a text value
// padded with blanks to `width`, and (`with_number`) the record number.
std::string EntryKey(const std::string& text, size_t width, uint32_t rn, bool with_number) {
  std::string k("\0\0\0\x07\x00", 5);
  std::string value = text;
  value.resize(width, ' ');
  k += value;
  if (with_number) {
    for (int shift = 24; shift >= 0; shift -= 8) k.push_back(static_cast<char>(rn >> shift));
  }
  return k;
}

// Every page encodes as a file page, and the tree is no deeper than a tree
// whose internal pages hold two children or more.
void ExpectWritableAndShallow(MemoryTreePages& pages, size_t records) {
  for (auto& [number, page] : pages.pages()) {
    std::string image;
    Status s = EncodePage(1, *page, &image);
    EXPECT_TRUE(s.ok()) << "page " << number << " (level " << int(page->level) << ", "
                        << page->records.size() << " records): " << s.internal();
  }
  size_t bound = 2;
  for (size_t n = 1; n < records; n *= 2) ++bound;
  EXPECT_LE(pages.page(pages.root())->level, bound);
}

std::vector<std::string> KeysForward(RecordTree& tree) {
  std::vector<std::string> keys;
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Seek("", &r, &found).ok());
  while (found) {
    keys.push_back(r.key);
    const std::string k = r.key;
    Status s = tree.Next(k, &r, &found);
    EXPECT_TRUE(s.ok()) << s.internal();
    if (!s.ok()) break;
  }
  return keys;
}

std::vector<std::string> KeysBackward(RecordTree& tree) {
  std::vector<std::string> keys;
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Last(&r, &found).ok());
  while (found && !r.key.empty()) {
    keys.push_back(r.key);
    const std::string k = r.key;
    Status s = tree.Prev(k, &r, &found);
    EXPECT_TRUE(s.ok()) << s.internal();
    if (!s.ok()) break;
  }
  return keys;
}

TEST(TreeLongKeysTest, ThreeEntriesOfEightThousandBytes) {
  for (bool with_number : {false, true}) {
    MemoryTreePages pages(true);
    RecordTree tree(&pages);
    for (uint32_t rn = 2; rn < 5; ++rn) {
      const std::string key = EntryKey("row " + std::to_string(rn), 8000, rn, with_number);
      Status s = tree.Insert(key, with_number ? "" : std::string(4, '\x01'));
      ASSERT_TRUE(s.ok()) << "row " << rn << ": " << s.internal();
    }
    ASSERT_TRUE(tree.Verify().ok());
    EXPECT_EQ(KeysForward(tree).size(), 4u);
    ExpectWritableAndShallow(pages, 3);
  }
}

TEST(TreeLongKeysTest, ManyLongKeysInRandomOrderWithDeletes) {
  // Lengths from the shortest that needs compression up to a whole record
  // (key plus the 4-byte record number of a unique key's entry).
  std::mt19937 rng(11);
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  std::map<std::string, std::string> model;
  const size_t widths[] = {4990, 6000, 7526, 7527, 8000, 11000, 15084};
  std::vector<std::pair<std::string, std::string>> wanted;
  for (int i = 0; i < 240; ++i) {
    const size_t width = widths[rng() % std::size(widths)];
    const bool dup = rng() % 2 == 0;
    // Values of one key may be equal: the record number then tells them apart.
    const std::string text = "value " + std::to_string(rng() % 60);
    std::string key = EntryKey(text, width, static_cast<uint32_t>(i + 2), dup);
    std::string data = dup ? std::string() : std::string("\0\0\x01\x02", 4);
    if (key.size() + data.size() >= kRecordSizeLimit)
      key.resize(kRecordSizeLimit - 1 - data.size());
    wanted.emplace_back(std::move(key), std::move(data));
  }
  for (const auto& [key, data] : wanted) {
    Status s = tree.Insert(key, data);
    if (model.count(key)) {
      EXPECT_EQ(s.internal(), kErrDuplicateRecord);
      continue;
    }
    ASSERT_TRUE(s.ok()) << key.size() << " bytes: " << s.internal();
    model[key] = data;
  }
  ASSERT_TRUE(tree.Verify().ok());
  ExpectWritableAndShallow(pages, model.size());
  std::vector<std::string> want = {""};
  for (const auto& [k, v] : model) want.push_back(k);
  EXPECT_EQ(KeysForward(tree), want);
  std::vector<std::string> back(want.rbegin(), want.rend() - 1);
  EXPECT_EQ(KeysBackward(tree), back);

  // Delete every other key, then read the rest in key order and by key.
  bool odd = false;
  for (auto it = model.begin(); it != model.end();) {
    odd = !odd;
    if (!odd) {
      ++it;
      continue;
    }
    bool found = false;
    ASSERT_TRUE(tree.Delete(it->first, &found).ok());
    EXPECT_TRUE(found);
    it = model.erase(it);
  }
  ASSERT_TRUE(tree.Verify().ok());
  ExpectWritableAndShallow(pages, model.size());
  want = {""};
  for (const auto& [k, v] : model) want.push_back(k);
  EXPECT_EQ(KeysForward(tree), want);
  for (const auto& [k, v] : model) {
    std::string data;
    bool found = false;
    ASSERT_TRUE(tree.Get(k, &data, &found).ok());
    EXPECT_TRUE(found);
    EXPECT_EQ(data, v);
  }
}

TEST(TreeLongKeysTest, AscendingLongKeysKeepTheTreeShallow) {
  // Appending in key order is the worst case for pages of one separator.
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  for (uint32_t rn = 0; rn < 300; ++rn) {
    char text[16];
    std::snprintf(text, sizeof text, "%08u", rn);
    Status s = tree.Insert(EntryKey(text, 9000, rn, true), "");
    ASSERT_TRUE(s.ok()) << rn << ": " << s.internal();
  }
  ASSERT_TRUE(tree.Verify().ok());
  ExpectWritableAndShallow(pages, 300);
  EXPECT_EQ(KeysForward(tree).size(), 301u);
}

// Random bytes after a key entry's table and key number: nothing compresses.
std::string RandomKey(std::mt19937& rng, size_t length) {
  std::string k("\0\0\0\x07\x00", 5);
  while (k.size() < length) k.push_back(static_cast<char>(rng()));
  k.resize(length);
  return k;
}

// Inserts `count` distinct random keys of `length` (and 4-byte data) in
// random order, then deletes every other key twice over; after each round
// the tree must be sound, every page storable, and walks both ways and
// reads by key must give the keys left.
void RoundTripRandomKeys(size_t length, int count, uint32_t seed) {
  SCOPED_TRACE("keys of " + std::to_string(length) + " bytes");
  std::mt19937 rng(seed);
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  std::map<std::string, std::string> model;
  while (model.size() < static_cast<size_t>(count)) {
    const std::string key = RandomKey(rng, length);
    if (model.count(key)) continue;
    const std::string data = EncodeNumber(static_cast<uint32_t>(model.size() + 2));
    Status s = tree.Insert(key, data);
    ASSERT_TRUE(s.ok()) << "key " << model.size() << ": " << s.internal();
    model[key] = data;
  }
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(tree.Verify().ok());
    ExpectWritableAndShallow(pages, model.size());
    std::vector<std::string> want = {""};
    for (const auto& [k, v] : model) want.push_back(k);
    EXPECT_EQ(KeysForward(tree), want);
    EXPECT_EQ(KeysBackward(tree), std::vector<std::string>(want.rbegin(), want.rend() - 1));
    for (const auto& [k, v] : model) {
      std::string data;
      bool found = false;
      ASSERT_TRUE(tree.Get(k, &data, &found).ok());
      EXPECT_TRUE(found);
      EXPECT_EQ(data, v);
    }
    bool odd = false;
    for (auto it = model.begin(); it != model.end();) {
      odd = !odd;
      if (!odd) {
        ++it;
        continue;
      }
      bool found = false;
      ASSERT_TRUE(tree.Delete(it->first, &found).ok());
      EXPECT_TRUE(found);
      it = model.erase(it);
    }
  }
}

TEST(TreeLongKeysTest, RandomKeysAroundEveryLengthBoundary) {
  // Around the longest shared prefix, the split size of a page of more than
  // 20 records, the plain limit of earlier versions (4995), and the longest
  // key three of which share a page (the longest value of a key with
  // duplicates, and without, ends 4 and 0 bytes before it).
  const size_t lengths[] = {9,    62,   63,   64,   190,  191,  192,          193,
                            4995, 4996, 5009, 5013, 5014, 5017, kMaxKeyLength};
  uint32_t seed = 1;
  for (size_t length : lengths) RoundTripRandomKeys(length, 80, seed++);
}

TEST(TreeLongKeysTest, ManyPagesOfLongestRandomKeys) {
  // Enough keys for several levels of internal pages of long separators.
  RoundTripRandomKeys(kMaxKeyLength, 400, 99);
}

TEST(TreeLongKeysTest, AscendingAndDescendingLongestKeysKeepTheTreeShallow) {
  // Keys in order always land on the same edge of the tree: the pattern
  // that would stack up pages of one child if a split left one behind.
  for (bool ascending : {true, false}) {
    std::mt19937 rng(ascending ? 21 : 22);
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) keys.push_back(RandomKey(rng, kMaxKeyLength));
    std::sort(keys.begin(), keys.end());
    if (!ascending) std::reverse(keys.begin(), keys.end());
    MemoryTreePages pages(true);
    RecordTree tree(&pages);
    for (const std::string& k : keys) {
      Status s = tree.Insert(k, "1234");
      ASSERT_TRUE(s.ok()) << s.internal();
    }
    ASSERT_TRUE(tree.Verify().ok());
    ExpectWritableAndShallow(pages, keys.size());
    EXPECT_EQ(KeysForward(tree).size(), keys.size() + 1);
  }
}

TEST(TreeLongKeysTest, PagesAtTheSplitSize) {
  // Two leaf records whose page is exactly at the split size stay on one
  // page; one byte more splits it. Random data: nothing compresses.
  std::mt19937 rng(3);
  for (size_t extra : {0u, 1u}) {
    MemoryTreePages pages(true);
    RecordTree tree(&pages);
    ASSERT_TRUE(tree.EnsureRoot().ok());
    // The page header, the empty record (0 + 5), then two records.
    const size_t total = kPageSplitSize - 13 - 5 - 2 * 5 + extra;
    const std::string a = "\x01" + RandomKey(rng, 200).substr(1);
    const std::string b = "\x02" + RandomKey(rng, 200).substr(1);
    std::string data_a(total / 2 - a.size(), '\0');
    std::string data_b(total - total / 2 - b.size(), '\0');
    for (char& c : data_a) c = static_cast<char>(rng());
    for (char& c : data_b) c = static_cast<char>(rng());
    ASSERT_TRUE(tree.Insert(a, data_a).ok());
    ASSERT_TRUE(tree.Insert(b, data_b).ok());
    ASSERT_TRUE(tree.Verify().ok());
    const TreePage& root = *pages.page(pages.root());
    EXPECT_EQ(root.leaf(), extra == 0) << "expanded size " << kPageSplitSize + extra;
    ExpectWritableAndShallow(pages, 3);
  }
}

TEST(TreeLongKeysTest, ThreeEntriesOfTheLongestKeyFillAPageExactly) {
  // Entries of a unique key at the limit (key plus 4-byte record number):
  // three make a page of exactly the split size, unpacked; a fourth splits
  // it two and two. The same holds for their separators.
  std::mt19937 rng(8);
  std::vector<std::string> keys;
  for (int i = 0; i < 5; ++i) keys.push_back(RandomKey(rng, kMaxKeyLength));
  std::sort(keys.begin(), keys.end());
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  // The first leaf keeps the empty record: after four keys it is ["", K0]
  // and [K1, K2, K3].
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(tree.Insert(keys[i], "1234").ok());
  auto leaf_of = [&](const std::string& key) {
    const TreePage& root = *pages.page(pages.root());
    size_t i = 0;
    while (i + 1 < root.records.size() && !(key < root.records[i + 1].key)) ++i;
    return pages.page(root.children[i]);
  };
  EXPECT_EQ(pages.page(pages.root())->level, 1);
  EXPECT_EQ(leaf_of(keys[3])->records.size(), 3u);
  EXPECT_EQ(leaf_of(keys[3])->ExpandedSize(), kPageSplitSize);
  ASSERT_TRUE(tree.Insert(keys[4], "1234").ok());
  EXPECT_EQ(leaf_of(keys[4])->records.size(), 2u);
  ASSERT_TRUE(tree.Verify().ok());
  ExpectWritableAndShallow(pages, 5);
  // An internal page of three such separators: also exactly the split size.
  TreePage internal;
  internal.level = 1;
  for (int i = 0; i < 3; ++i) {
    internal.records.push_back(Record{keys[i], std::string()});
    internal.children.push_back(i + 1);
  }
  EXPECT_EQ(internal.ExpandedSize(), kPageSplitSize);
  EXPECT_FALSE(internal.NeedsSplit());
  std::string image;
  EXPECT_TRUE(EncodePage(1, internal, &image).ok());
}

TEST(TreeLongKeysTest, KeyTooLongForAnyBytesIsRefusedAndChangesNothing) {
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  ASSERT_TRUE(tree.Insert("a", "1").ok());
  std::mt19937 rng(5);
  std::string key = RandomKey(rng, kMaxKeyLength + 1);
  EXPECT_EQ(tree.Insert(key, "").internal(), kErrRecordTooLong);
  EXPECT_EQ(KeysForward(tree).size(), 2u);
  // At the limit, any bytes go.
  key.resize(kMaxKeyLength);
  EXPECT_TRUE(tree.Insert(key, "").ok());
  EXPECT_EQ(KeysForward(tree).size(), 3u);
  EXPECT_TRUE(tree.Verify().ok());
}

}  // namespace
}  // namespace vm::storage
