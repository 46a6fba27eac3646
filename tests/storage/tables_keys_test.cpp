// Key flags that change when entries are made: deferred keys and pending
// marks, appends, dynamic keys built into a private tree, key builds.
#include <gtest/gtest.h>

#include <cstring>

#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/private_tree.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

std::vector<uint32_t> KeyOrder(RecordTree& tree, uint32_t table, uint8_t key) {
  std::vector<uint32_t> out;
  const std::string prefix = KeyPrefix(table, key);
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Seek(prefix, &r, &found).ok());
  while (found && r.key.compare(0, prefix.size(), prefix) == 0) {
    out.push_back(EntryRecordNumber(r.key, r.data));
    std::string k = r.key;
    EXPECT_TRUE(tree.Next(k, &r, &found).ok());
  }
  return out;
}

std::string Row(int32_t a, int32_t b) {
  std::string row(8, '\0');
  std::memcpy(row.data(), &a, 4);
  std::memcpy(row.data() + 4, &b, 4);
  return row;
}

class KeyFlagsTest : public ::testing::Test {
 protected:
  void Create(uint8_t second_flags) {
    TableDef def;
    def.record_length = 8;
    def.fields = {MakeField("K:A", kTypeLong, 0, 4), MakeField("K:B", kTypeLong, 4, 4)};
    def.keys = {MakeKey("K:AKEY", 0, {{0, 0}}), MakeKey("K:BKEY", second_flags, {{1, 1}})};
    ASSERT_TRUE(table_.Create("K", def, Collation::BuiltIn(), false).ok());
  }
  uint32_t Add(int32_t a, int32_t b, bool append = false) {
    uint32_t rn = 0;
    EXPECT_TRUE(table_.Add(Row(a, b), nullptr, append, &rn).ok());
    return rn;
  }
  uint32_t Mark(uint8_t key) {
    TableStats st;
    EXPECT_TRUE(table_.ReadStats(key, &st).ok());
    return st.second;
  }

  MemoryTreePages pages_;
  RecordTree tree_{&pages_};
  MemoryNumbers numbers_;
  StoredTable table_{&tree_, &numbers_};
};

TEST_F(KeyFlagsTest, DeferredKeyLowersItsMarkAndIsBuiltFromTheStart) {
  Create(kKeyDeferred | kKeyDuplicates);
  uint32_t r1 = Add(1, 10), r2 = Add(2, 30), r3 = Add(3, 20);
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), (std::vector<uint32_t>{r1, r2, r3}));
  EXPECT_TRUE(KeyOrder(tree_, table_.number(), 1).empty());
  EXPECT_EQ(Mark(1), r1);  // lowered to the first row, not raised later
  ASSERT_TRUE(table_.BuildKey(1, true, &tree_).ok());
  // Descending component: 30, 20, 10.
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 1), (std::vector<uint32_t>{r2, r3, r1}));
  EXPECT_EQ(Mark(1), 0u);
  TableStats st;
  ASSERT_TRUE(table_.ReadStats(1, &st).ok());
  EXPECT_EQ(st.count, 3u);
}

TEST_F(KeyFlagsTest, AppendLeavesKeysPendingUntilTheyAreBuilt) {
  Create(kKeyDuplicates);
  uint32_t r1 = Add(5, 1);
  uint32_t r2 = Add(6, 2, true);
  uint32_t r3 = Add(4, 3, true);
  EXPECT_EQ(Mark(0), r2);
  EXPECT_EQ(Mark(1), r2);
  // Rows at or above the mark are left alone by key maintenance, even by an
  // ordinary add.
  uint32_t r4 = Add(1, 4);
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), std::vector<uint32_t>{r1});
  ASSERT_TRUE(table_.Change(r3, Row(9, 3), nullptr).ok());
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), std::vector<uint32_t>{r1});
  ASSERT_TRUE(table_.BuildKey(0, false, &tree_).ok());
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), (std::vector<uint32_t>{r4, r1, r2, r3}));
  EXPECT_EQ(Mark(0), 0u);
  EXPECT_EQ(Mark(1), r2);  // the other key is still pending
  // An incremental build of a unique key stops at a duplicate.
  uint32_t r5 = Add(6, 5, true);
  (void)r5;
  EXPECT_EQ(table_.BuildKey(0, false, &tree_).code(), kErrDuplicateKey);
}

TEST_F(KeyFlagsTest, DynamicKeyLivesOnlyInAPrivateTree) {
  Create(kKeyDynamic | kKeyDuplicates);
  uint32_t r1 = Add(1, 7), r2 = Add(2, 9);
  EXPECT_TRUE(KeyOrder(tree_, table_.number(), 1).empty());
  PrivateTree own;
  ASSERT_TRUE(table_.BuildKey(1, false, &own.tree()).ok());
  EXPECT_EQ(KeyOrder(own.tree(), table_.number(), 1), (std::vector<uint32_t>{r2, r1}));
  EXPECT_TRUE(KeyOrder(tree_, table_.number(), 1).empty());
  // Deleting a row touches no dynamic entries in the file.
  ASSERT_TRUE(table_.Delete(r1).ok());
  EXPECT_TRUE(tree_.Verify().ok());
}

TEST_F(KeyFlagsTest, DuplicateOnChangeUndoesEarlierKeys) {
  Create(0);  // both keys unique
  uint32_t r1 = Add(1, 100);
  uint32_t r2 = Add(2, 200);
  // Key 0 changes first (to 3, free), then key 1 clashes with r1's 100.
  EXPECT_EQ(table_.Change(r2, Row(3, 100), nullptr).code(), kErrDuplicateKey);
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), (std::vector<uint32_t>{r1, r2}));
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 1), (std::vector<uint32_t>{r2, r1}));
  std::string row;
  bool found = false;
  ASSERT_TRUE(table_.ReadRow(r2, &row, &found).ok());
  EXPECT_EQ(row, Row(2, 200));
  // The same on add: key 0 entry for 4 must not stay behind.
  uint32_t rn = 0;
  EXPECT_EQ(table_.Add(Row(4, 200), nullptr, false, &rn).code(), kErrDuplicateKey);
  EXPECT_EQ(KeyOrder(tree_, table_.number(), 0), (std::vector<uint32_t>{r1, r2}));
  TableStats st;
  ASSERT_TRUE(table_.ReadStats(kStatsTable, &st).ok());
  EXPECT_EQ(st.count, 2u);
  ASSERT_TRUE(table_.ReadStats(0, &st).ok());
  EXPECT_EQ(st.count, 2u);
  // A later add gets a fresh number: the failed add's number stays used.
  EXPECT_EQ(Add(5, 500), r2 + 2);
}

}  // namespace
}  // namespace vm::storage
