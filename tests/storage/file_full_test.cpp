// A file may not grow past what its 32-bit offsets address: a commit that
// would put data or journal beyond the limit is refused with "file full"
// before anything is written, and the file stays as it was and usable. The
// limit is lowered for the tests instead of filling 4 GiB.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/driver/kfs_transaction.h"
#include "storage/driver/shared_file.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"

namespace vm::storage {
namespace {

using namespace vm::storage::testing;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Remembers how far into the file any write reached.
class ExtentEnv : public platform::EnvWrapper {
 public:
  ExtentEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    auto r = target()->OpenFile(path, access, share, disposition);
    if (!r.ok()) return r;
    return std::unique_ptr<platform::File>(new Watched(std::move(r.value()), &extent));
  }
  uint64_t extent = 0;

 private:
  class Watched : public platform::FileWrapper {
   public:
    Watched(std::unique_ptr<platform::File> f, uint64_t* extent)
        : FileWrapper(std::move(f)), extent_(extent) {}
    platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
      *extent_ = std::max<uint64_t>(*extent_, o + n);
      return target()->WriteAt(o, b, n);
    }

   private:
    uint64_t* extent_;
  };
};

// A table of 1004-byte rows that do not compress, keyed by their first
// four bytes.
TableDef BigDef() {
  TableDef def;
  def.record_length = 1004;
  def.fields = {MakeField("BIG:NAME", kTypeString, 0, 4),
                MakeField("BIG:DATA", kTypeString, 4, 1000)};
  def.keys = {MakeKey("BIG:KEY", 0, {{0, 0}})};
  return def;
}

std::string BigRow(int i) {
  std::string row(1004, ' ');
  const std::string name = std::to_string(1000 + i);
  std::copy(name.begin(), name.end(), row.begin());
  for (int j = 4; j < 1004; ++j) row[j] = static_cast<char>('!' + (i * 7 + j * 13) % 90);
  return row;
}

TEST(FileFull, DataEndIsNotCutToThirtyTwoBits) {
  FileHeader h;
  h.start[59] = 0;
  h.end[59] = 59u * 300000u;  // 4.5 GB of pages
  EXPECT_EQ(h.DataEnd(), 512 + 256ull * 59u * 300000u);
  EXPECT_FALSE(h.Consistent(uint64_t{1} << 40))
      << "a header past 32-bit offsets must read as damaged";
}

// The limit is exact: a commit whose journal ends right at it goes through,
// one byte less refuses it and leaves every byte of the file as it was; a
// smaller change then still commits, and the file checks sound.
TEST(FileFull, CommitPastTheLimitIsRefusedBeforeAnyWrite) {
  TempFile tmp;
  const Rows before = MakeRows(0, 300, "a");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), before, {}).ok());
  }
  Rows grown = MakeRows(100, 6000, "b");  // rewrites old pages (journal) and adds new ones
  const std::string pristine = Slurp(tmp.path());
  const std::string copy = tmp.path() + ".copy";
  std::filesystem::copy_file(tmp.path(), copy);
  uint64_t needed = 0;
  {
    ExtentEnv env;
    auto f = OpenFile(copy, &env);
    ASSERT_TRUE(Apply(f.get(), grown, {}).ok());
    needed = env.extent;
  }
  std::filesystem::remove(copy);
  ASSERT_GT(needed, pristine.size() + 65536);

  auto f = OpenFile(tmp.path());
  f->set_size_limit(needed - 1);
  Status s = Apply(f.get(), grown, {});
  EXPECT_TRUE(s.file_full()) << "code " << s.code() << " internal " << s.internal();
  EXPECT_EQ(s.internal(), 0);
  EXPECT_TRUE(Slurp(tmp.path()) == pristine) << "a refused commit wrote to the file";
  Rows seen;
  ASSERT_TRUE(ReadAll(f.get(), &seen).ok());
  EXPECT_EQ(seen, before);

  // The same handle goes on: a change that fits commits.
  ASSERT_TRUE(Apply(f.get(), {{"k000005", "small"}}, {}).ok());
  Rows expected = before;
  expected["k000005"] = "small";
  ASSERT_TRUE(ReadAll(f.get(), &seen).ok());
  EXPECT_EQ(seen, expected);
  f.reset();
  ExpectSoundFile(tmp.path());

  // Exactly at the limit the grown change fits.
  std::ofstream(tmp.path(), std::ios::binary | std::ios::trunc) << pristine;
  auto g = OpenFile(tmp.path());
  g->set_size_limit(needed);
  ASSERT_TRUE(Apply(g.get(), grown, {}).ok());
  Rows after = before;
  for (const auto& [k, v] : grown) after[k] = v;
  ASSERT_TRUE(ReadAll(g.get(), &seen).ok());
  EXPECT_EQ(seen, after);
  g.reset();
  ExpectSoundFile(tmp.path());
}

// Through the driver: the refused statement reports 90 with "file full",
// the table does not count as damaged, and later statements work.
TEST(FileFull, DriverReportsFileFullAndTheTableGoesOn) {
  TempDir dir;
  const TableDef def = BigDef();
  DeclaredTable t(dir.path() + "/BIG\\!BIG", def);
  ASSERT_EQ(t.Create(), 0);
  ASSERT_EQ(t.Open(), 0);
  std::shared_ptr<SharedFile> shared;
  ASSERT_TRUE(
      AcquireSharedFile(platform::Env::Default(), dir.path() + "/BIG.KFS", 0x42, false, &shared)
          .ok());
  const uint64_t size = std::filesystem::file_size(dir.path() + "/BIG.KFS");
  shared->file->set_size_limit(size + 3 * 15104);
  auto add = [&](int i) {
    const std::string row = BigRow(i);
    std::copy(row.begin(), row.end(), t.buffer().begin());
    return t.Add();
  };
  int i = 0;
  int rc = 0;
  while (i < 200 && (rc = add(i)) == 0) ++i;
  ASSERT_EQ(rc, kErrFileSystem) << "the file never filled up";
  EXPECT_EQ(t.file_error_text(), "file full");
  EXPECT_GT(i, 0);
  EXPECT_EQ(t.Records(), static_cast<uint32_t>(i)) << "the refused row must not count";
  // Room again: every statement works as before.
  shared->file->set_size_limit(kMaxFileBytes);
  EXPECT_EQ(add(i), 0);
  EXPECT_EQ(t.Records(), static_cast<uint32_t>(i + 1));
  EXPECT_EQ(t.Close(), 0);
  shared.reset();
  ExpectSoundFile(dir.path() + "/BIG.KFS");
}

// A transaction over two files whose second file is full fails as a whole:
// COMMIT says "file full", both files keep their old rows, and the control
// file keeps no number.
TEST(FileFull, TransactionWithOneFullFileChangesNoFile) {
  TempDir dir;
  const TableDef def = BigDef();
  std::unique_ptr<DeclaredTable> tables[2];
  for (int f = 0; f < 2; ++f) {
    tables[f] =
        std::make_unique<DeclaredTable>(dir.path() + (f == 0 ? "/ONE" : "/TWO") + "\\!BIG", def);
    ASSERT_EQ(tables[f]->Create(), 0);
    ASSERT_EQ(tables[f]->Open(), 0);
    std::string r = BigRow(0);
    std::copy(r.begin(), r.end(), tables[f]->buffer().begin());
    ASSERT_EQ(tables[f]->Add(), 0);
  }
  std::shared_ptr<SharedFile> two;
  ASSERT_TRUE(
      AcquireSharedFile(platform::Env::Default(), dir.path() + "/TWO.KFS", 0x42, false, &two).ok());
  const std::string two_before = Slurp(dir.path() + "/TWO.KFS");
  two->file->set_size_limit(two_before.size() + 4 * 15104);
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(tables[f]->Logout(), 0);
    for (int i = 1; i < (f == 0 ? 3 : 60); ++i) {
      std::string r = BigRow(i);
      std::copy(r.begin(), r.end(), tables[f]->buffer().begin());
      ASSERT_EQ(tables[f]->Add(), 0);
    }
  }
  EXPECT_EQ(DeclaredTable::CommitTransaction(platform::Env::Default(), tables[0].get()),
            kErrFileSystem);
  EXPECT_EQ(tables[0]->file_error_text(), "file full");
  // ONE reached its journal before TWO was refused and dropped it again
  // (its rows are checked below); TWO was not written at all.
  EXPECT_TRUE(Slurp(dir.path() + "/TWO.KFS") == two_before);
  EXPECT_EQ(tables[0]->Records(), 1u);
  EXPECT_EQ(tables[1]->Records(), 1u);
  // Whatever number the failed COMMIT took is gone from the control file.
  std::unique_ptr<TreeFile> control;
  ASSERT_TRUE(
      TreeFile::Open(platform::Env::Default(), dir.path() + "/keelfast.tcf", {}, &control).ok());
  Rows numbers;
  ASSERT_TRUE(ReadAll(control.get(), &numbers).ok());
  EXPECT_TRUE(numbers.empty()) << numbers.size() << " numbers left behind";
  control.reset();
  // Both files go on.
  for (int f = 0; f < 2; ++f) {
    std::string r = BigRow(99);
    std::copy(r.begin(), r.end(), tables[f]->buffer().begin());
    EXPECT_EQ(tables[f]->Add(), 0);
    EXPECT_EQ(tables[f]->Records(), 2u);
    EXPECT_EQ(tables[f]->Close(), 0);
  }
  two.reset();
  for (const char* name : {"/ONE.KFS", "/TWO.KFS", "/keelfast.tcf"})
    ExpectSoundFile(dir.path() + name);
}

}  // namespace
}  // namespace vm::storage
