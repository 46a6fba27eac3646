// The record tree: ordering, record size limit, the split rules, deletes that
// free pages, walking across leaves, renumbered pages and damaged pages.
#include "storage/tree/tree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/file/page_pack.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

std::vector<std::string> WalkForward(RecordTree& tree) {
  std::vector<std::string> keys;
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Seek("", &r, &found).ok());
  while (found) {
    keys.push_back(r.key);
    std::string k = r.key;
    EXPECT_TRUE(tree.Next(k, &r, &found).ok());
  }
  return keys;
}

std::vector<std::string> WalkBackward(RecordTree& tree) {
  std::vector<std::string> keys;
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Last(&r, &found).ok());
  while (found) {
    keys.push_back(r.key);
    std::string k = r.key;
    if (k.empty()) break;
    EXPECT_TRUE(tree.Prev(k, &r, &found).ok());
  }
  return keys;
}

TEST(TreeTest, PrefixSortsFirstAndEmptyRecordLeads) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  ASSERT_TRUE(tree.Insert(std::string("AB\0", 3), "x").ok());
  ASSERT_TRUE(tree.Insert("AB", "y").ok());
  ASSERT_TRUE(tree.Insert("A", "z").ok());
  std::vector<std::string> want = {"", "A", "AB", std::string("AB\0", 3)};
  EXPECT_EQ(WalkForward(tree), want);
  // Byte comparison is unsigned: 0x80 sorts after 0x7F.
  ASSERT_TRUE(tree.Insert("\x80", "").ok());
  ASSERT_TRUE(tree.Insert("\x7F", "").ok());
  EXPECT_EQ(WalkForward(tree).back(), "\x80");

  Status dup = tree.Insert("AB", "again");
  EXPECT_EQ(dup.internal(), kErrDuplicateRecord);
  std::string data;
  bool found = false;
  ASSERT_TRUE(tree.Get("AB", &data, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(data, "y");
  // The empty record can never be deleted.
  ASSERT_TRUE(tree.Delete("", &found).ok());
  EXPECT_FALSE(found);
  EXPECT_TRUE(tree.Verify().ok());
}

TEST(TreeTest, ReadingModeRefusesInserts) {
  class ReadingPages : public MemoryTreePages {
   public:
    bool updating() override { return writable; }
    bool writable = true;
  } pages;
  RecordTree tree(&pages);
  ASSERT_TRUE(tree.Insert("a", "1").ok());
  pages.writable = false;
  EXPECT_EQ(tree.Insert("b", "2").internal(), kErrInsertReadOnly);
  EXPECT_EQ(tree.Put("a", "3").internal(), kErrInsertReadOnly);
  std::string data;
  bool found = false;
  ASSERT_TRUE(tree.Get("a", &data, &found).ok());
  EXPECT_EQ(data, "1");
}

TEST(TreeTest, RecordLengthLimitIs15093) {
  MemoryTreePages pages(true);
  RecordTree tree(&pages);
  EXPECT_TRUE(tree.Insert("K1", std::string(15093 - 2, 'a')).ok());
  EXPECT_EQ(tree.Insert("K2", std::string(15094 - 2, 'a')).internal(), kErrRecordTooLong);
  EXPECT_EQ(tree.Put("K1", std::string(15094 - 2, 'b')).internal(), kErrRecordTooLong);
  // Two near-limit records cannot share a page: the root splits.
  EXPECT_TRUE(tree.Insert("K3", std::string(15000, 'c')).ok());
  EXPECT_GT(pages.page(pages.root())->level, 0);
  EXPECT_TRUE(tree.Verify().ok());
  std::string data;
  bool found = false;
  ASSERT_TRUE(tree.Get("K1", &data, &found).ok());
  EXPECT_EQ(data.size(), 15091u);
}

TEST(TreeTest, TwentyRecordsAtFiveThousandStayTwentyOneSplit) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  // The empty record plus 19 records: 13 + 5 + 19 * 5 + 4887 = 5000.
  size_t total = 0;
  for (int i = 0; i < 19; ++i) {
    size_t len = i == 18 ? 4887 - total : 257;
    std::string key = "k" + std::to_string(10 + i);
    ASSERT_TRUE(tree.Insert(key, std::string(len - key.size(), 'd')).ok());
    total += len;
  }
  auto root = pages.page(pages.root());
  ASSERT_EQ(root->records.size(), 20u);
  ASSERT_EQ(root->ExpandedSize(), 5000u);
  EXPECT_EQ(root->level, 0);

  ASSERT_TRUE(tree.Insert("k99", "").ok());
  root = pages.page(pages.root());
  EXPECT_EQ(root->level, 1);
  ASSERT_EQ(root->records.size(), 2u);
  // 21 records: the lower half keeps 10, the upper half takes 11.
  EXPECT_EQ(pages.page(root->children[0])->records.size(), 10u);
  EXPECT_EQ(pages.page(root->children[1])->records.size(), 11u);
  EXPECT_EQ(root->records[1].key, pages.page(root->children[1])->records[0].key);
  EXPECT_TRUE(tree.Verify().ok());
}

TEST(TreeTest, RandomInsertsAndDeletesMatchAModel) {
  for (bool pack : {false, true}) {
    MemoryTreePages pages(pack);
    RecordTree tree(&pages);
    std::map<std::string, std::string> model;
    std::mt19937 rng(pack ? 5 : 3);
    auto random_key = [&] {
      std::string k(1 + rng() % 12, 'a');
      for (char& c : k) c = static_cast<char>("ab\x00\xff"[rng() % 4]);
      return k + std::to_string(rng() % 500);
    };
    // Decoding every page on every load is slow; the packed run is shorter.
    const int rounds = pack ? 4 : 6;
    const int per_round = pack ? 600 : 1500;
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < per_round; ++i) {
        std::string k = random_key();
        int op = static_cast<int>(rng() % 3);
        bool found = false;
        if (op == 0 || round < 2) {
          std::string v(rng() % (rng() % 8 == 0 ? 3000 : 60), static_cast<char>('0' + i % 10));
          Status s = tree.Insert(k, v);
          if (model.count(k)) {
            EXPECT_EQ(s.internal(), kErrDuplicateRecord);
          } else {
            ASSERT_TRUE(s.ok());
            model[k] = v;
          }
        } else if (op == 1) {
          ASSERT_TRUE(tree.Delete(k, &found).ok());
          EXPECT_EQ(found, model.erase(k) == 1);
        } else {
          std::string v = "put" + k;
          ASSERT_TRUE(tree.Put(k, v).ok());
          model[k] = v;
        }
      }
      ASSERT_TRUE(tree.Verify().ok()) << "round " << round;
      std::vector<std::string> want = {""};
      for (auto& [k, v] : model) want.push_back(k);
      ASSERT_EQ(WalkForward(tree), want);
      std::vector<std::string> back(want.rbegin(), want.rend());
      ASSERT_EQ(WalkBackward(tree), back);
      for (auto& [k, v] : model) {
        std::string data;
        bool found = false;
        ASSERT_TRUE(tree.Get(k, &data, &found).ok());
        ASSERT_TRUE(found);
        ASSERT_EQ(data, v);
      }
    }
    EXPECT_GE(pages.page(pages.root())->level, 1);
    // Deleting everything frees every page except the path from the root to
    // the leaf that keeps the empty record (pages are not merged).
    const size_t levels = pages.page(pages.root())->level + 1u;
    for (auto& [k, v] : model) {
      bool found = false;
      ASSERT_TRUE(tree.Delete(k, &found).ok());
      ASSERT_TRUE(found);
    }
    EXPECT_TRUE(tree.Verify().ok());
    EXPECT_EQ(pages.page_count(), levels);
    EXPECT_EQ(pages.allocated() - pages.freed(), static_cast<int>(levels));
    EXPECT_EQ(WalkForward(tree), std::vector<std::string>{""});
  }
}

TEST(TreeTest, DeletingFirstRecordsReplacesSeparators) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  for (int i = 0; i < 400; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "r%04d", i);
    ASSERT_TRUE(tree.Insert(key, std::string(200, 'x')).ok());
  }
  // Remove from the front: every leaf loses its first record in turn.
  for (int i = 0; i < 395; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "r%04d", i);
    bool found = false;
    ASSERT_TRUE(tree.Delete(key, &found).ok());
    ASSERT_TRUE(found);
    if (i % 50 == 0) {
      ASSERT_TRUE(tree.Verify().ok()) << i;
    }
  }
  EXPECT_TRUE(tree.Verify().ok());
  EXPECT_EQ(WalkForward(tree).size(), 6u);
}

TEST(TreeTest, MovedPagesAreFoundThroughTheirParent) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  for (int i = 0; i < 300; ++i)
    ASSERT_TRUE(tree.Insert("key" + std::to_string(i * 7919 % 300), std::string(150, 'm')).ok());
  // Move every page, the root included, to a new number.
  std::vector<int32_t> numbers;
  for (auto& [n, p] : pages.pages()) numbers.push_back(n);
  for (int32_t n : numbers) {
    int32_t to = n + 10000;
    TreePage copy = *pages.page(n);
    pages.Move(n, to);
    ASSERT_TRUE(tree.PageMoved(n, to, copy).ok()) << n;
  }
  EXPECT_GE(pages.root(), 10000);
  EXPECT_TRUE(tree.Verify().ok());
  EXPECT_EQ(WalkForward(tree).size(), 301u);
  // A page that no parent names cannot be moved.
  TreePage stray = *pages.page(pages.root());
  auto leaf = std::find_if(pages.pages().begin(), pages.pages().end(), [](auto& e) {
    return e.second->leaf() && !e.second->records[0].key.empty();
  });
  ASSERT_NE(leaf, pages.pages().end());
  EXPECT_EQ(tree.PageMoved(55555, 66666, *leaf->second).internal(), kErrParentNoPointer);
  (void)stray;
}

TEST(PagePackTest, SharesPrefixesUpToSixtyThreeAndWritesChangedLengths) {
  std::vector<Record> records = {{"", ""},
                                 {std::string(100, 'a') + "1", "data"},
                                 {std::string(100, 'a') + "2", "data"},
                                 {std::string(100, 'a') + "3", "dat"}};
  std::string body;
  PackRecords(records, &body);
  // First record: both lengths, nothing shared.
  EXPECT_EQ(static_cast<uint8_t>(body[0]), 0xC0);
  // Second: new lengths, shares nothing with the empty record.
  EXPECT_EQ(static_cast<uint8_t>(body[5]), 0xC0);
  size_t third = 5 + 5 + 105;
  // Third: same lengths, shares 63 of its 100 equal bytes.
  EXPECT_EQ(static_cast<uint8_t>(body[third]), 63);
  size_t fourth = third + 1 + (105 - 63);
  EXPECT_EQ(static_cast<uint8_t>(body[fourth]), 0x80 | 63);
  std::vector<Record> back;
  ASSERT_TRUE(UnpackRecords(body, records.size(), &back));
  ASSERT_EQ(back.size(), records.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].key, records[i].key);
    EXPECT_EQ(back[i].data, records[i].data);
  }
  EXPECT_FALSE(UnpackRecords(body, records.size() + 1, &back));
  EXPECT_FALSE(UnpackRecords(body + "x", records.size(), &back));
  EXPECT_FALSE(UnpackRecords(body.substr(0, body.size() - 1), records.size(), &back));
}

TEST(PagePackTest, DamagedBodiesAreRejectedOrDecodedWithinBounds) {
  std::mt19937 rng(17);
  std::vector<Record> records;
  for (int i = 0; i < 40; ++i)
    records.push_back({"key" + std::to_string(1000 + i * 3), std::string(rng() % 80, 'v')});
  std::string body;
  PackRecords(records, &body);
  int rejected = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string bad = body;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] = static_cast<char>(rng());
    std::vector<Record> out;
    if (!UnpackRecords(bad, records.size(), &out)) {
      ++rejected;
      continue;
    }
    ASSERT_EQ(out.size(), records.size());
    for (size_t i = 1; i < out.size(); ++i) ASSERT_LT(out[i - 1].key, out[i].key);
  }
  EXPECT_GT(rejected, 300);  // most flips that hit lengths or flags
}

TEST(TreeTest, DamagedPagesGiveInternalErrors) {
  std::mt19937 rng(23);
  int errors = 0;
  for (int trial = 0; trial < 60; ++trial) {
    MemoryTreePages pages(true);
    RecordTree tree(&pages);
    std::map<std::string, std::string> model;
    for (int i = 0; i < 200; ++i) {
      std::string k = "k" + std::to_string(i * 37 % 200);
      model[k] = std::string(100, 'v');
      ASSERT_TRUE(tree.Insert(k, model[k]).ok());
    }
    // Damage the structure of one page: its level, a child pointer, or a
    // separator. (Changed bytes inside a leaf's records carry no check in the
    // format and cannot be told from real data.)
    std::vector<int32_t> numbers;
    for (auto& [n, p] : pages.pages()) numbers.push_back(n);
    int32_t victim = numbers[rng() % numbers.size()];
    TreePage page = *pages.page(victim);
    switch (rng() % 3) {
      case 0:
        page.level = static_cast<uint8_t>(page.level + 1 + rng() % 3);
        break;
      case 1:
        if (page.leaf()) {
          page.children.push_back(static_cast<int32_t>(rng() % 20));
        } else {
          page.children[rng() % page.children.size()] = static_cast<int32_t>(rng() % 20);
        }
        break;
      default:
        if (page.leaf()) {
          page.level = 7;
        } else {
          page.records[rng() % page.records.size()].key += "\x01";
        }
        break;
    }
    pages.Repack(victim, page);
    // Every answer is either an internal error or the truth.
    for (auto& [k, v] : model) {
      std::string data;
      bool found = false;
      Status s = tree.Get(k, &data, &found);
      if (!s.ok()) {
        EXPECT_GT(s.internal(), 0);
        ++errors;
        continue;
      }
      EXPECT_TRUE(found) << "a present key reported missing";
      if (found) {
        EXPECT_EQ(data, v);
      }
    }
    Status v = tree.Verify();
    EXPECT_FALSE(v.ok());
  }
  EXPECT_GT(errors, 0);
}

}  // namespace
}  // namespace vm::storage
