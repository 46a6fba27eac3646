// Keys of every length a key entry may have, up to a whole record: inserts
// that split pages of such entries, many of them in random order, deletes,
// reads in key order, and the refusal of a long key that cannot serve as a
// separator. Every page must stay writable as a file page.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "storage/file/page_codec.h"
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

TEST(TreeLongKeysTest, IncompressibleLongKeyIsRefusedAndChangesNothing) {
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  ASSERT_TRUE(tree.Insert("a", "1").ok());
  std::mt19937 rng(5);
  std::string key(kPlainSeparatorKey + 1, ' ');
  for (char& c : key) c = static_cast<char>('a' + rng() % 26);
  EXPECT_EQ(tree.Insert(key, "").internal(), kErrRecordTooLong);
  // At the plain limit, anything goes.
  key.resize(kPlainSeparatorKey);
  EXPECT_TRUE(tree.Insert(key, "").ok());
  EXPECT_EQ(KeysForward(tree).size(), 3u);
  EXPECT_TRUE(tree.Verify().ok());
}

}  // namespace
}  // namespace vm::storage
