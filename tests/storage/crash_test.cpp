// Crashes the commit tests do not reach: the first commit of a new file, and
// handles with a cache meeting a journal that another handle left behind.
#include "page_file_fixture.h"
#include "storage/tree/tree_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

using namespace vm::storage::testing;

int CountWrites(const std::string& path, const Rows& rows) {
  const std::string copy = path + ".count";
  if (std::filesystem::exists(path)) std::filesystem::copy_file(path, copy);
  FaultyEnv counting(1 << 30, true);
  {
    auto f = OpenFile(path, &counting);
    EXPECT_TRUE(Apply(f.get(), rows, {}).ok());
  }
  std::filesystem::remove(path);
  if (std::filesystem::exists(copy)) std::filesystem::rename(copy, path);
  return (1 << 30) - counting.budget_;
}

// The very first commit of a new file, stopped after every write: the file
// must read afterwards as empty (before) or as holding the rows (after).
TEST(Crash, FirstCommitOfANewFileStoppedAtEveryWrite) {
  TempFile tmp;
  const Rows rows = MakeRows(0, 300, "first");
  const int total = CountWrites(tmp.path(), rows);
  ASSERT_GT(total, 3);
  for (int k = 0; k < total; ++k) {
    std::filesystem::remove(tmp.path());
    {
      FaultyEnv env(k, true);
      auto f = OpenFile(tmp.path(), &env);
      Apply(f.get(), rows, {});
    }
    auto f = OpenFile(tmp.path());
    Rows seen;
    Status s = ReadAll(f.get(), &seen, false);
    EXPECT_TRUE(s.ok()) << "write " << k << ": code " << s.code();
    EXPECT_TRUE(seen.empty() || seen == rows) << "write " << k;
  }
}

// A handle that read the file before another handle crashed right after its
// commit point must not build its next change on its stale cache: the
// committed journal has to be rolled forward first.
TEST(Crash, HandleWithACacheRollsForwardAJournalLeftByAnotherHandle) {
  TempFile tmp;
  const Rows before = MakeRows(0, 200, "a");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), before, {}).ok());
  }
  const Rows change = MakeRows(0, 200, "b");
  const std::string pristine = tmp.path() + ".p";
  std::filesystem::copy_file(tmp.path(), pristine);
  const int total = CountWrites(tmp.path(), change);
  // writes = journal pages + shadow header + pointer header + pages home + header + finalize
  const int journal_pages = (total - 4) / 2;
  ASSERT_GT(journal_pages, 0);

  auto watcher = OpenFile(tmp.path());  // holds a cache of the old state
  Rows seen;
  ASSERT_TRUE(ReadAll(watcher.get(), &seen, false).ok());
  ASSERT_EQ(seen, before);
  {
    FaultyEnv env(journal_pages + 3, true);  // past the commit point, one page home
    auto f = OpenFile(tmp.path(), &env);
    EXPECT_TRUE(Apply(f.get(), change, {}).ok());
  }
  // The watcher changes one row; everything else must be the committed "b" rows.
  ASSERT_TRUE(Apply(watcher.get(), {{"zzz", "watcher"}}, {}).ok());
  Rows expected = change;
  expected["zzz"] = "watcher";
  auto fresh = OpenFile(tmp.path());
  ASSERT_TRUE(ReadAll(fresh.get(), &seen, false).ok());
  EXPECT_TRUE(seen == expected) << "the committed change was lost or torn";
  ASSERT_TRUE(fresh->Begin(false).ok());
  EXPECT_TRUE(fresh->tree().Verify().ok());
  fresh->EndRead();
}

// A reading handle that cached part of the old state must not mix it with
// pages that a handle which died after its commit point already wrote home.
TEST(Crash, ReaderWithAPartialCacheNeverMixesOldAndNewPages) {
  TempFile tmp;
  const Rows before = MakeRows(0, 1500, "a");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), before, {}).ok());
  }
  const Rows change = MakeRows(0, 1500, "b");
  const int total = CountWrites(tmp.path(), change);
  const int journal_pages = (total - 4) / 2;
  ASSERT_GT(journal_pages, 4);
  auto watcher = OpenFile(tmp.path());
  ASSERT_TRUE(watcher->Begin(false).ok());
  std::string data;
  bool found = false;
  ASSERT_TRUE(watcher->tree().Get("k000000", &data, &found).ok());  // caches the root and one leaf
  watcher->EndRead();
  {
    FaultyEnv env(journal_pages + 2 + journal_pages / 2,
                  true);  // commit point passed, half the pages home
    auto f = OpenFile(tmp.path(), &env);
    EXPECT_TRUE(Apply(f.get(), change, {}).ok());
  }
  Rows seen;
  Status s = ReadAll(watcher.get(), &seen, false);
  ASSERT_TRUE(s.ok()) << s.code();
  EXPECT_TRUE(seen == before || seen == change)
      << "torn read: old cached pages mixed with new pages";
}

}  // namespace
}  // namespace vm::storage
