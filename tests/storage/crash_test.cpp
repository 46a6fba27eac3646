// Crashes the commit tests do not reach: the first commit of a new file, and
// handles with a cache meeting a journal that another handle left behind.
#include "storage/page_file.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

using Rows = std::map<std::string, std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vm-kfs-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(dir_); }
  std::string path() const { return dir_ + "/TEST.KFS"; }

 private:
  std::string dir_;
};

// Writes after the budget vanish silently, as when the machine dies.
class CrashFile : public platform::File {
 public:
  CrashFile(std::unique_ptr<platform::File> f, int* budget) : f_(std::move(f)), budget_(budget) {}
  platform::Status ReadAt(uint64_t o, void* b, size_t n, size_t* got) override { return f_->ReadAt(o, b, n, got); }
  platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
    if (*budget_ <= 0) return platform::Status::Ok();
    --*budget_;
    return f_->WriteAt(o, b, n);
  }
  platform::Status Truncate(uint64_t s) override { return *budget_ <= 0 ? platform::Status::Ok() : f_->Truncate(s); }
  platform::Status Sync() override { return f_->Sync(); }
  platform::Result<uint64_t> Size() override { return f_->Size(); }
  platform::Status TryLock(uint64_t o, uint64_t l) override { return f_->TryLock(o, l); }
  platform::Status Lock(uint64_t o, uint64_t l) override { return f_->Lock(o, l); }
  platform::Status Unlock(uint64_t o, uint64_t l) override { return f_->Unlock(o, l); }
  const std::string& path() const override { return f_->path(); }

 private:
  std::unique_ptr<platform::File> f_;
  int* budget_;
};

class CrashEnv : public platform::EnvWrapper {
 public:
  explicit CrashEnv(int budget) : EnvWrapper(platform::Env::Default()), budget_(budget) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& p, platform::Access a,
                                                             platform::Share s, platform::Disposition d) override {
    auto r = target()->OpenFile(p, a, s, d);
    if (!r.ok()) return r.status();
    return std::unique_ptr<platform::File>(new CrashFile(std::move(r.value()), &budget_));
  }
  int budget_;
};

std::unique_ptr<PageFile> Open(const std::string& path, platform::Env* env = platform::Env::Default()) {
  PageFile::Options o;
  o.create = true;
  std::unique_ptr<PageFile> f;
  EXPECT_TRUE(PageFile::Open(env, path, o, &f).ok());
  return f;
}

Status Put(PageFile* f, const Rows& rows) {
  Status s = f->Begin(true);
  if (!s.ok()) return s;
  for (const auto& [k, v] : rows) {
    s = f->tree().Put(k, v);
    if (!s.ok()) {
      f->Rollback();
      return s;
    }
  }
  return f->Commit();
}

Status ReadAll(PageFile* f, Rows* rows, bool changing) {
  rows->clear();
  Status s = f->Begin(changing);
  if (!s.ok()) return s;
  if (f->header().root >= 0) {
    Record r;
    bool found = false;
    std::string key;
    for (;;) {
      s = f->tree().Next(key, &r, &found);
      if (!s.ok() || !found) break;
      (*rows)[r.key] = r.data;
      key = r.key;
    }
  }
  if (changing) {
    Status c = f->Commit();
    if (s.ok()) s = c;
  } else {
    f->EndRead();
  }
  return s;
}

Rows MakeRows(int from, int to, const std::string& tag) {
  Rows rows;
  for (int i = from; i < to; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%06d", i);
    rows[key] = tag + std::string(20 + (i * 37) % 700, static_cast<char>('a' + i % 26));
  }
  return rows;
}

int CountWrites(const std::string& path, const Rows& rows) {
  const std::string copy = path + ".count";
  if (std::filesystem::exists(path)) std::filesystem::copy_file(path, copy);
  CrashEnv counting(1 << 30);
  {
    auto f = Open(path, &counting);
    EXPECT_TRUE(Put(f.get(), rows).ok());
  }
  std::filesystem::remove(path);
  if (std::filesystem::exists(copy)) std::filesystem::rename(copy, path);
  return (1 << 30) - counting.budget_;
}

// The very first commit of a new file, stopped after every write: the file
// must read afterwards as empty (before) or as holding the rows (after).
TEST(Crash, FirstCommitOfANewFileStoppedAtEveryWrite) {
  TempDir tmp;
  const Rows rows = MakeRows(0, 300, "first");
  const int total = CountWrites(tmp.path(), rows);
  ASSERT_GT(total, 3);
  for (int k = 0; k < total; ++k) {
    std::filesystem::remove(tmp.path());
    {
      CrashEnv env(k);
      auto f = Open(tmp.path(), &env);
      Put(f.get(), rows);
    }
    auto f = Open(tmp.path());
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
  TempDir tmp;
  const Rows before = MakeRows(0, 200, "a");
  {
    auto f = Open(tmp.path());
    ASSERT_TRUE(Put(f.get(), before).ok());
  }
  const Rows change = MakeRows(0, 200, "b");
  const std::string pristine = tmp.path() + ".p";
  std::filesystem::copy_file(tmp.path(), pristine);
  const int total = CountWrites(tmp.path(), change);
  // writes = journal pages + shadow header + pointer header + pages home + header + finalize
  const int journal_pages = (total - 4) / 2;
  ASSERT_GT(journal_pages, 0);

  auto watcher = Open(tmp.path());  // holds a cache of the old state
  Rows seen;
  ASSERT_TRUE(ReadAll(watcher.get(), &seen, false).ok());
  ASSERT_EQ(seen, before);
  {
    CrashEnv env(journal_pages + 3);  // past the commit point, one page home
    auto f = Open(tmp.path(), &env);
    EXPECT_TRUE(Put(f.get(), change).ok());
  }
  // The watcher changes one row; everything else must be the committed "b" rows.
  ASSERT_TRUE(Put(watcher.get(), {{"zzz", "watcher"}}).ok());
  Rows expected = change;
  expected["zzz"] = "watcher";
  auto fresh = Open(tmp.path());
  ASSERT_TRUE(ReadAll(fresh.get(), &seen, false).ok());
  EXPECT_TRUE(seen == expected) << "the committed change was lost or torn";
  ASSERT_TRUE(fresh->Begin(false).ok());
  EXPECT_TRUE(fresh->tree().Verify().ok());
  fresh->EndRead();
}


// A reading handle that cached part of the old state must not mix it with
// pages that a handle which died after its commit point already wrote home.
TEST(Crash, ReaderWithAPartialCacheNeverMixesOldAndNewPages) {
  TempDir tmp;
  const Rows before = MakeRows(0, 1500, "a");
  {
    auto f = Open(tmp.path());
    ASSERT_TRUE(Put(f.get(), before).ok());
  }
  const Rows change = MakeRows(0, 1500, "b");
  const int total = CountWrites(tmp.path(), change);
  const int journal_pages = (total - 4) / 2;
  ASSERT_GT(journal_pages, 4);
  auto watcher = Open(tmp.path());
  ASSERT_TRUE(watcher->Begin(false).ok());
  std::string data;
  bool found = false;
  ASSERT_TRUE(watcher->tree().Get("k000000", &data, &found).ok());  // caches the root and one leaf
  watcher->EndRead();
  {
    CrashEnv env(journal_pages + 2 + journal_pages / 2);  // commit point passed, half the pages home
    auto f = Open(tmp.path(), &env);
    EXPECT_TRUE(Put(f.get(), change).ok());
  }
  Rows seen;
  Status s = ReadAll(watcher.get(), &seen, false);
  ASSERT_TRUE(s.ok()) << s.code();
  EXPECT_TRUE(seen == before || seen == change) << "torn read: old cached pages mixed with new pages";
}

}  // namespace
}  // namespace vm::storage
