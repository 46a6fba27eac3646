// Row statements beyond add/read/put/delete: APPEND with the builds that
// complete its keys, SKIP, BOF/EOF, POSITION/RESET/REGET, memos with NOMEMO,
// EMPTY, REMOVE, and opening a table without a declaration.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"

namespace vm::storage {
namespace {

constexpr size_t kNameSize = 12;

TableDef NotesDef() {
  TableDef d;
  d.record_length = kNameSize + 4;
  d.fields = {MakeField("NOT:NAME", kTypeString, 0, kNameSize),
              MakeField("NOT:N", kTypeLong, kNameSize, 4)};
  MemoDef memo;
  memo.name = "NOT:TEXT";
  memo.size = 2000;
  d.memos = {memo};
  d.keys = {MakeKey("NOT:NAMEKEY", kKeyNoCase, {{0, 0}}),
            MakeKey("NOT:NKEY", kKeyDuplicates | kKeyDeferred, {{1, 0}}),
            MakeKey("NOT:DOWNKEY", kKeyDuplicates | kKeyDynamic, {{1, 1}})};
  return d;
}

class DriverRowsTest : public ::testing::Test {
 protected:
  DriverRowsTest() {
    t_ = Declare();
    EXPECT_EQ(t_->Create(), 0);
    EXPECT_EQ(t_->Open(), 0);
  }
  ~DriverRowsTest() override {
    t_.reset();
    if (std::filesystem::exists(dir_ + "/NOTES.KFS")) testing::ExpectSoundFile(dir_ + "/NOTES.KFS");
  }
  std::unique_ptr<DeclaredTable> Declare(TableDef def = NotesDef()) {
    return std::make_unique<DeclaredTable>(dir_ + "/NOTES\\!N", std::move(def));
  }
  void Fill(const std::string& name, int32_t n, const std::string& memo = "") {
    auto& b = t_->buffer();
    std::fill(b.begin(), b.end(), ' ');
    std::copy(name.begin(), name.end(), b.begin());
    std::memcpy(b.data() + kNameSize, &n, 4);
    t_->memos()[0] = memo;
  }
  std::string Name() const {
    std::string n(t_->buffer().begin(), t_->buffer().begin() + kNameSize);
    return n.substr(0, n.find_last_not_of(' ') + 1);
  }
  // Every row's name in the order of `key` (-1: record order).
  std::vector<std::string> Order(int key) {
    std::vector<std::string> names;
    Fill("", 0);
    EXPECT_EQ(key < 0 ? t_->Set() : t_->SetKeyStart(key), 0);
    while (t_->Next() == 0) names.push_back(Name());
    return names;
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.path();
  std::unique_ptr<DeclaredTable> t_;
};

TEST_F(DriverRowsTest, AppendLeavesKeysToTheBuild) {
  Fill("carol", 3);
  ASSERT_EQ(t_->Add(), 0);
  Fill("alice", 1);
  ASSERT_EQ(t_->Append(), 0);
  Fill("bob", 2);
  ASSERT_EQ(t_->Append(), 0);
  EXPECT_EQ(t_->Records(), 3u);
  EXPECT_EQ(Order(0), (std::vector<std::string>{"carol"}));
  // The deferred key has no entries until a build names it.
  EXPECT_EQ(Order(1), std::vector<std::string>{});
  ASSERT_EQ(t_->BuildFile(false), 0);
  EXPECT_EQ(Order(0), (std::vector<std::string>{"alice", "bob", "carol"}));
  EXPECT_EQ(Order(1), std::vector<std::string>{});
  ASSERT_EQ(t_->BuildKey(1, false), 0);
  EXPECT_EQ(Order(1), (std::vector<std::string>{"alice", "bob", "carol"}));
  // A unique key that a build would break ends it with 40.
  Fill("ALICE", 9);
  ASSERT_EQ(t_->Append(), 0);
  EXPECT_EQ(t_->Pack(false), kErrDuplicateKey);
  // PACK of a closed table opens it for the build.
  ASSERT_EQ(t_->Set(), 0);
  ASSERT_EQ(t_->Skip(3), 0);
  ASSERT_EQ(t_->Next(), 0);
  ASSERT_EQ(t_->Delete(), 0);
  ASSERT_EQ(t_->Close(), 0);
  ASSERT_EQ(t_->Pack(false), 0);
  ASSERT_EQ(t_->Open(), 0);
  EXPECT_EQ(Order(0), (std::vector<std::string>{"alice", "bob", "carol"}));
}

// A dynamic key's entries live in the handle that built them: other handles
// and the file never see them, and they are a snapshot of the build.
TEST_F(DriverRowsTest, DynamicKeyIsBuiltIntoTheHandleOnly) {
  for (int i = 1; i <= 4; ++i) {
    Fill("r" + std::to_string(i), i);
    ASSERT_EQ(t_->Add(), 0);
  }
  EXPECT_EQ(Order(2), std::vector<std::string>{});
  ASSERT_EQ(t_->BuildKey(2, false), 0);
  EXPECT_EQ(Order(2), (std::vector<std::string>{"r4", "r3", "r2", "r1"}));
  auto other = Declare();
  ASSERT_EQ(other->Open(), 0);
  ASSERT_EQ(other->SetKey(2), 0);
  EXPECT_EQ(other->Next(), kErrRecordNotAvailable);
  // A row deleted since the build is passed over; one added is not there.
  ASSERT_EQ(t_->GetByPointer(t_->current_record()), 0);
  Fill("r3", 0);
  ASSERT_EQ(t_->Get(0), 0);
  ASSERT_EQ(t_->Delete(), 0);
  Fill("r5", 5);
  ASSERT_EQ(t_->Add(), 0);
  EXPECT_EQ(Order(2), (std::vector<std::string>{"r4", "r2", "r1"}));
  ASSERT_EQ(t_->BuildFile(false), 0);
  EXPECT_EQ(Order(2), (std::vector<std::string>{"r5", "r4", "r2", "r1"}));
}

TEST_F(DriverRowsTest, SkipEndsAndPositions) {
  for (const char* n : {"a", "b", "c", "d"}) {
    Fill(n, 0);
    ASSERT_EQ(t_->Add(), 0);
  }
  // BOF and EOF tell whether the row read is the first or the last.
  bool end = false;
  ASSERT_EQ(t_->Set(), 0);
  ASSERT_EQ(t_->Next(), 0);
  ASSERT_EQ(t_->Bof(&end), 0);
  EXPECT_TRUE(end);
  ASSERT_EQ(t_->Skip(1), 0);
  ASSERT_EQ(t_->Next(), 0);
  EXPECT_EQ(Name(), "c");
  const std::string at_c = t_->Position();
  ASSERT_EQ(t_->Eof(&end), 0);
  EXPECT_FALSE(end);
  ASSERT_EQ(t_->Next(), 0);
  ASSERT_EQ(t_->Eof(&end), 0);
  EXPECT_TRUE(end);
  EXPECT_EQ(Name(), "d");  // looking ahead reads nothing
  EXPECT_EQ(t_->Skip(1), kErrRecordNotAvailable);
  // Back to c: the next read gives c again, REGET reads it at once.
  ASSERT_EQ(t_->Reset(at_c), 0);
  ASSERT_EQ(t_->Next(), 0);
  EXPECT_EQ(Name(), "c");
  ASSERT_EQ(t_->Next(), 0);
  EXPECT_EQ(Name(), "d");
  ASSERT_EQ(t_->Reget(at_c), 0);
  EXPECT_EQ(Name(), "c");
  ASSERT_EQ(t_->Previous(), 0);
  EXPECT_EQ(Name(), "b");
  // The same in key order, from the end backwards.
  Fill("", 0);
  ASSERT_EQ(t_->SetKey(0), 0);
  ASSERT_EQ(t_->Skip(3), 0);
  ASSERT_EQ(t_->Next(), 0);
  EXPECT_EQ(Name(), "d");
  ASSERT_EQ(t_->Skip(-2), 0);
  ASSERT_EQ(t_->Previous(), 0);
  EXPECT_EQ(Name(), "a");
  const std::string at_a = t_->Position();
  ASSERT_EQ(t_->Bof(&end), 0);
  EXPECT_TRUE(end);
  ASSERT_EQ(t_->Next(), 0);
  ASSERT_EQ(t_->Reset(at_a), 0);
  ASSERT_EQ(t_->Next(), 0);
  EXPECT_EQ(Name(), "a");
  EXPECT_EQ(t_->Reset("junk"), kErrRecordNotFound);
}

TEST_F(DriverRowsTest, MemosTravelWithRowsUnlessNoMemo) {
  const std::string long_memo(1500, 'x');
  Fill("a", 1, "first memo");
  ASSERT_EQ(t_->Add(), 0);
  Fill("b", 2, long_memo);
  ASSERT_EQ(t_->Add(), 0);
  Fill("a", 0, "");
  ASSERT_EQ(t_->Get(0), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 10), "first memo");
  // NOMEMO: the next read leaves the memo buffer as it was.
  Fill("b", 0);
  t_->memos()[0] = "kept";
  t_->NoMemo();
  ASSERT_EQ(t_->Get(0), 0);
  EXPECT_EQ(t_->memos()[0], "kept");
  ASSERT_EQ(t_->Get(0), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 1500), long_memo);
  // PUT stores the memo even when the row itself is unchanged.
  t_->memos()[0] = "short now";
  ASSERT_EQ(t_->Put(), 0);
  ASSERT_EQ(t_->Get(0), 0);
  EXPECT_EQ(t_->memos()[0].substr(0, 10), "short now ");
}

TEST_F(DriverRowsTest, EmptyRemoveAndOpenWithoutDeclaration) {
  Fill("a", 1, "memo");
  ASSERT_EQ(t_->Add(), 0);
  // A handle without a declaration takes the stored definition.
  auto plain = Declare(TableDef());
  ASSERT_EQ(plain->Open(), 0);
  EXPECT_EQ(plain->def(), t_->def());
  EXPECT_EQ(plain->buffer().size(), kNameSize + 4);
  ASSERT_EQ(plain->Set(), 0);
  ASSERT_EQ(plain->Next(), 0);
  EXPECT_EQ(plain->memos()[0].substr(0, 4), "memo");
  ASSERT_EQ(plain->Close(), 0);

  ASSERT_EQ(t_->Empty(), 0);
  EXPECT_EQ(t_->Records(), 0u);
  EXPECT_EQ(Order(0), std::vector<std::string>{});
  Fill("b", 2);
  ASSERT_EQ(t_->Add(), 0);
  EXPECT_EQ(Order(0), (std::vector<std::string>{"b"}));
  ASSERT_EQ(t_->Close(), 0);

  // REMOVE ignores a declaration that no longer matches; the file goes with
  // its last table.
  TableDef other = NotesDef();
  other.fields[1].name = "NOT:RENAMED";
  auto old = Declare(other);
  EXPECT_EQ(old->Open(), kErrBadDeclaration);
  ASSERT_EQ(old->Remove(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/NOTES.KFS"));
  EXPECT_EQ(t_->Open(), kErrFileNotFound);
}

}  // namespace
}  // namespace vm::storage
