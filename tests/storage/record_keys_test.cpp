// Record kinds and the number counter.
#include "storage/table/record_keys.h"

#include <gtest/gtest.h>

#include "storage/file/record.h"
#include "storage/table/tables.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

TEST(RecordKeysTest, KindsHaveTheirLayouts) {
  EXPECT_EQ(TableNameKey("MAILBOXES"), "\xFEMAILBOXES");
  EXPECT_EQ(RowKey(0x01020304, 0x0A0B0C0D), "\x01\x02\x03\x04\xF3\x0A\x0B\x0C\x0D");
  EXPECT_EQ(MemoChunkKey(1, 2, 3, 0x0102), std::string("\0\0\0\x01\xFC\0\0\0\x02\x03\x01\x02", 12));
  // Definition block numbers are little-endian inside the key.
  EXPECT_EQ(DefinitionKey(1, 0x0102), std::string("\0\0\0\x01\xFA\x02\x01", 7));
  EXPECT_EQ(StatsKey(1, kStatsTable), std::string("\0\0\0\x01\xF6\xF3", 6));
  EXPECT_EQ(CollationKey(1), std::string("\0\0\0\x01\xFB\x01", 6));
  EXPECT_EQ(TransactionKey(), "\xFF");
  // A key entry is 9 bytes longer than its value, whichever side holds the
  // record number; the record number is always its last four bytes.
  std::string unique = KeyEntryKey(7, 1, "VAL", false, 0x55);
  std::string dups = KeyEntryKey(7, 1, "VAL", true, 0x55);
  EXPECT_EQ(unique.size() + 4, 3u + 9u);
  EXPECT_EQ(dups.size(), 3u + 9u);
  EXPECT_EQ(EntryRecordNumber(unique, EncodeNumber(0x55)), 0x55u);
  EXPECT_EQ(EntryRecordNumber(dups, ""), 0x55u);

  uint32_t txn = 0;
  std::string path;
  ASSERT_TRUE(DecodeTransactionRecord(EncodeTransactionRecord(0x01020304, "C:\\keeLfasT.TCF"), &txn,
                                      &path));
  EXPECT_EQ(txn, 0x01020304u);
  EXPECT_EQ(path, "C:\\keeLfasT.TCF");
  EXPECT_FALSE(DecodeTransactionRecord(std::string("\1\2\3\4abc", 7), &txn, &path));
}

TEST(RecordKeysTest, NumbersCarryAndStopBelowFE) {
  uint8_t counter[4] = {0x00, 0x00, 0x01, 0xFF};
  uint32_t n = 0;
  ASSERT_TRUE(TakeNumber(counter, true, &n).ok());
  EXPECT_EQ(n, 0x200u);
  EXPECT_EQ(counter[2], 0x02);
  EXPECT_EQ(counter[3], 0x00);

  EXPECT_EQ(TakeNumber(counter, false, &n).internal(), kErrNumberReadOnly);
  EXPECT_EQ(counter[3], 0x00);

  uint8_t last[4] = {0xFD, 0xFF, 0xFF, 0xFE};
  ASSERT_TRUE(TakeNumber(last, true, &n).ok());
  EXPECT_EQ(n, 0xFDFFFFFFu);
  EXPECT_EQ(TakeNumber(last, true, &n).internal(), kErrNumbersExhausted);
  EXPECT_EQ(last[0], 0xFD);  // the counter is left alone
}

TEST(RecordKeysTest, FirstTableIsOneAndItsFirstRowTwo) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  MemoryNumbers numbers;
  TableDef def;
  def.record_length = 4;
  def.fields = {MakeField("T:A", kTypeLong, 0, 4)};
  StoredTable first(&tree, &numbers);
  ASSERT_TRUE(first.Create("first", def, Collation::BuiltIn(), false).ok());
  EXPECT_EQ(first.number(), 1u);
  uint32_t rn = 0;
  ASSERT_TRUE(first.Add("abcd", nullptr, false, &rn).ok());
  EXPECT_EQ(rn, 2u);
  ASSERT_TRUE(first.Add("efgh", nullptr, false, &rn).ok());
  StoredTable second(&tree, &numbers);
  ASSERT_TRUE(second.Create("second", def, Collation::BuiltIn(), false).ok());
  EXPECT_EQ(second.number(), rn + 1);
  std::string data;
  bool found = false;
  ASSERT_TRUE(tree.Get(TableNameKey("FIRST"), &data, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(data, EncodeNumber(1));
}

}  // namespace
}  // namespace vm::storage
