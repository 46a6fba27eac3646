// Memos: chunking of text and binary memos, trailing blanks, OEM conversion,
// and rewrites that keep unchanged chunks.
#include <gtest/gtest.h>

#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

// Counts the pages the tree changes, to see that a rewrite touched nothing.
class CountingPages : public MemoryTreePages {
 public:
  Status Changed(int32_t page, const std::shared_ptr<TreePage>& p) override {
    ++changes;
    return MemoryTreePages::Changed(page, p);
  }
  int changes = 0;
};

class MemoTest : public ::testing::Test {
 protected:
  void Open(bool oem) {
    TableDef def;
    def.record_length = 4;
    def.fields = {MakeField("M:ID", kTypeLong, 0, 4)};
    def.memos = {MemoDef{"", "M:TEXT", 2000, 0}, MemoDef{"", "M:BLOB", 4000, kMemoBinary},
                 MemoDef{"", "M:RAW", 100, kMemoNoOemConvert}};
    ASSERT_TRUE(table_.Create("Memos", def, Collation::BuiltIn(), oem).ok());
  }
  std::vector<std::string> Chunks(uint32_t rn, uint8_t memo) {
    std::vector<std::string> out;
    for (uint16_t c = 0;; ++c) {
      std::string data;
      bool found = false;
      EXPECT_TRUE(tree_.Get(MemoChunkKey(table_.number(), rn, memo, c), &data, &found).ok());
      if (!found) return out;
      out.push_back(data);
    }
  }

  CountingPages pages_;
  RecordTree tree_{&pages_};
  MemoryNumbers numbers_;
  StoredTable table_{&tree_, &numbers_};
};

TEST_F(MemoTest, BinaryMemoOf300BytesIsTwoChunks) {
  Open(false);
  std::string blob(300, '\0');
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7);
  std::vector<std::string> memos = {"", blob};
  uint32_t rn = 0;
  ASSERT_TRUE(table_.Add("row1", &memos, false, &rn).ok());
  std::vector<std::string> chunks = Chunks(rn, 1);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 4u + 256u);
  EXPECT_EQ(chunks[0].substr(0, 4), std::string("\x2C\x01\0\0", 4));  // 300, little-endian
  EXPECT_EQ(chunks[1].size(), 44u);
  std::string back;
  ASSERT_TRUE(table_.ReadMemo(rn, 1, &back).ok());
  EXPECT_EQ(back, blob);               // trailing zero bytes and blanks of a binary memo stay
  EXPECT_TRUE(Chunks(rn, 0).empty());  // an empty memo has no chunks
}

TEST_F(MemoTest, TextMemoDropsTrailingBlanksAndReadsPadded) {
  Open(false);
  std::string text = std::string(600, 'x') + "  end   ";
  std::vector<std::string> memos = {text};
  uint32_t rn = 0;
  ASSERT_TRUE(table_.Add("row1", &memos, false, &rn).ok());
  std::vector<std::string> chunks = Chunks(rn, 0);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 256u);
  EXPECT_EQ(chunks[2], std::string(600 - 512, 'x') + "  end");
  std::string back;
  ASSERT_TRUE(table_.ReadMemo(rn, 0, &back).ok());
  ASSERT_EQ(back.size(), 2000u);
  EXPECT_EQ(back.substr(0, 605), text.substr(0, 605));
  EXPECT_EQ(back.find_last_not_of(' '), 604u);

  // A memo of blanks only is empty: its chunks go.
  ASSERT_TRUE(table_.WriteMemo(rn, 0, "      ").ok());
  EXPECT_TRUE(Chunks(rn, 0).empty());
}

TEST_F(MemoTest, RewriteKeepsUnchangedChunksAndDropsTheTail) {
  Open(false);
  std::string text(1000, 'a');
  uint32_t rn = 0;
  std::vector<std::string> memos = {text};
  ASSERT_TRUE(table_.Add("row1", &memos, false, &rn).ok());
  pages_.changes = 0;
  ASSERT_TRUE(table_.WriteMemo(rn, 0, text).ok());
  EXPECT_EQ(pages_.changes, 0);
  // Shrink: chunk 0 stays, chunk 1 is cut to 44 bytes, chunks 2 and 3 go.
  ASSERT_TRUE(table_.WriteMemo(rn, 0, text.substr(0, 300)).ok());
  std::vector<std::string> chunks = Chunks(rn, 0);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].size(), 44u);
  // Other memos and rows are untouched by the rewrite.
  std::string blob;
  ASSERT_TRUE(table_.ReadMemo(rn, 1, &blob).ok());
  EXPECT_EQ(blob, "");
  // Deleting the row takes every chunk with it.
  ASSERT_TRUE(table_.Delete(rn).ok());
  EXPECT_TRUE(Chunks(rn, 0).empty());
  EXPECT_TRUE(tree_.Verify().ok());
}

TEST_F(MemoTest, OemTablesConvertMemosUnlessFlagged) {
  Open(true);
  std::vector<std::string> memos = {"caf\xE9", "\xE9", "caf\xE9"};
  uint32_t rn = 0;
  ASSERT_TRUE(table_.Add("row1", &memos, false, &rn).ok());
  EXPECT_EQ(Chunks(rn, 0)[0], "caf\x82");
  EXPECT_EQ(Chunks(rn, 1)[0].substr(4), "\x82");
  EXPECT_EQ(Chunks(rn, 2)[0], "caf\xE9");
  std::string back;
  ASSERT_TRUE(table_.ReadMemo(rn, 0, &back).ok());
  EXPECT_EQ(back.substr(0, 4), "caf\xE9");
  ASSERT_TRUE(table_.ReadMemo(rn, 2, &back).ok());
  EXPECT_EQ(back.substr(0, 4), "caf\xE9");
}

TEST_F(MemoTest, DamagedBinaryLengthIsReported) {
  Open(false);
  std::vector<std::string> memos = {"", "payload"};
  uint32_t rn = 0;
  ASSERT_TRUE(table_.Add("row1", &memos, false, &rn).ok());
  ASSERT_TRUE(
      tree_.Put(MemoChunkKey(table_.number(), rn, 1, 0), std::string("\x09\0\0\0xx", 6)).ok());
  std::string back;
  EXPECT_EQ(table_.ReadMemo(rn, 1, &back).internal(), kErrBadRecords);
}

}  // namespace
}  // namespace vm::storage
