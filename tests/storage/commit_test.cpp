// Commits through the journal: data survives reopening; a write failure or a
// crash at any write of a commit leaves exactly the old or the new state;
// processes killed in mid-commit and readers running beside a committer
// never see a torn file.
#include "storage/tree/tree_file.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "page_file_fixture.h"
#include "storage/file/page_codec.h"
#include "storage/table/record_keys.h"

namespace vm::storage {
namespace {

using namespace vm::storage::testing;

TEST(Commit, DataSurvivesReopeningAndFileHasTheFormat) {
  TempFile tmp;
  Rows rows = MakeRows(0, 3000, "v");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), rows, {}).ok());
  }
  auto f = OpenFile(tmp.path());
  Rows back;
  ASSERT_TRUE(ReadAll(f.get(), &back).ok());
  EXPECT_EQ(back, rows);
  ASSERT_TRUE(f->Begin(false).ok());
  EXPECT_TRUE(f->tree().Verify().ok());
  const FileHeader& h = f->header();
  EXPECT_EQ(h.committed_end, h.journal_end);
  EXPECT_EQ(h.committed_end, h.DataEnd());
  f->EndRead();
  // The bytes on disk: magic at 14, a dense page space below the data end.
  std::FILE* fp = std::fopen(tmp.path().c_str(), "rb");
  char header[512];
  ASSERT_EQ(std::fread(header, 1, 512, fp), 512u);
  std::fclose(fp);
  EXPECT_EQ(std::string(header + 14, 4), "kEeL");
  EXPECT_EQ(std::string(header + 4, 2), std::string("\x00\x02", 2));
}

TEST(Commit, EmptyAndDamagedHeaders) {
  TempFile tmp;
  {
    std::FILE* fp = std::fopen(tmp.path().c_str(), "wb");
    std::fclose(fp);
  }
  auto f = OpenFile(tmp.path());
  ASSERT_TRUE(f->Begin(false).ok());  // a zero-length file is an empty file
  EXPECT_EQ(f->header().root, -1);
  f->EndRead();
  f.reset();
  for (size_t len : {1u, 100u, 511u}) {
    std::FILE* fp = std::fopen(tmp.path().c_str(), "wb");
    std::string junk(len, 'x');
    std::fwrite(junk.data(), 1, len, fp);
    std::fclose(fp);
    auto g = OpenFile(tmp.path());
    EXPECT_EQ(g->Begin(false).code(), kErrInvalidDataFile) << len;
  }
  std::FILE* fp = std::fopen(tmp.path().c_str(), "wb");
  FileHeader h;
  std::string bytes = h.Encode();
  bytes[15] = 'e';  // "keeL"
  std::fwrite(bytes.data(), 1, bytes.size(), fp);
  std::fclose(fp);
  auto g = OpenFile(tmp.path());
  EXPECT_EQ(g->Begin(true).code(), kErrInvalidDataFile);
}

TEST(Commit, DeletesShrinkTheFileAndEnciphermentRoundTrips) {
  TempFile tmp;
  TreeFile::Options o;
  o.create = true;
  o.password = "owner";
  std::unique_ptr<TreeFile> f;
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), tmp.path(), o, &f).ok());
  Rows rows = MakeRows(0, 2000, "c");
  ASSERT_TRUE(Apply(f.get(), rows, {}).ok());
  const uint32_t big = f->header().DataEnd();
  std::vector<std::string> gone;
  for (int i = 0; i < 1900; ++i) gone.push_back(MakeRows(i, i + 1, "").begin()->first);
  ASSERT_TRUE(Apply(f.get(), {}, gone).ok());
  EXPECT_LT(f->header().DataEnd(), big / 4);
  f.reset();
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), tmp.path(), o, &f).ok());
  Rows back;
  ASSERT_TRUE(ReadAll(f.get(), &back).ok());
  EXPECT_EQ(back, MakeRows(1900, 2000, "c"));
  f.reset();
  // Without the password the header does not even read as one of ours.
  auto plain = OpenFile(tmp.path());
  EXPECT_EQ(plain->Begin(false).code(), kErrInvalidDataFile);
}

// For every k: a commit whose writes stop after the k-th, either failing or
// silently vanishing as in a crash; reopening must show exactly the old or
// the new data, and a failed write must leave the old.
TEST(Commit, EveryWritePointOfACommitFailsOrCrashesCleanly) {
  TempFile tmp;
  const Rows before = MakeRows(0, 600, "old");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), before, {}).ok());
  }
  const std::string pristine = tmp.path() + ".pristine";
  std::filesystem::copy_file(tmp.path(), pristine);
  Rows change = MakeRows(300, 900, "new");
  std::vector<std::string> deletes;
  for (int i = 0; i < 100; ++i) deletes.push_back(MakeRows(i, i + 1, "").begin()->first);
  Rows after = before;
  for (auto& [k, v] : change) after[k] = v;
  for (auto& k : deletes) after.erase(k);

  int total_writes = 0;
  {
    FaultyEnv counting(1 << 30, false);
    auto f = OpenFile(tmp.path(), &counting);
    ASSERT_TRUE(Apply(f.get(), change, deletes).ok());
    total_writes = (1 << 30) - counting.budget_;
    std::filesystem::copy_file(pristine, tmp.path(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  ASSERT_GT(total_writes, 5);
  for (bool crash : {false, true}) {
    for (int k = 0; k < total_writes; ++k) {
      std::filesystem::copy_file(pristine, tmp.path(),
                                 std::filesystem::copy_options::overwrite_existing);
      {
        FaultyEnv env(k, crash);
        auto f = OpenFile(tmp.path(), &env);
        Status s = Apply(f.get(), change, deletes);
        if (!crash) {
          EXPECT_FALSE(s.ok()) << "write " << k << " failed but the commit said success";
        }
      }
      auto f = OpenFile(tmp.path());
      Rows seen;
      ASSERT_TRUE(ReadAll(f.get(), &seen, /*changing=*/k % 2 == 0).ok()) << "k=" << k;
      EXPECT_TRUE(seen == before || seen == after)
          << "torn state after write " << k << " crash=" << crash;
      ASSERT_TRUE(f->Begin(false).ok());
      EXPECT_TRUE(f->tree().Verify().ok()) << k;
      f->EndRead();
    }
  }
}

TEST(Commit, CrashBetweenHeaderWritesRollsForwardWithCounterTwoAbove) {
  TempFile tmp;
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), MakeRows(0, 200, "a"), {}).ok());
  }
  uint32_t counter_before = 0;
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(f->Begin(false).ok());
    counter_before = f->header().change_counter;
    f->EndRead();
  }
  // Count the writes of the commit, then stop right after the commit point
  // (the writes of step 7 and the finalize are the last ones).
  const std::string pristine = tmp.path() + ".p";
  std::filesystem::copy_file(tmp.path(), pristine);
  int total = 0;
  {
    FaultyEnv counting(1 << 30, false);
    auto f = OpenFile(tmp.path(), &counting);
    ASSERT_TRUE(Apply(f.get(), MakeRows(0, 200, "b"), {}).ok());
    total = (1 << 30) - counting.budget_;
  }
  std::filesystem::copy_file(pristine, tmp.path(),
                             std::filesystem::copy_options::overwrite_existing);
  int journal_pages = 0;
  {
    FaultyEnv env(1 << 30, true);
    auto f = OpenFile(tmp.path(), &env);
    ASSERT_TRUE(f->Begin(true).ok());
    for (auto& [k, v] : MakeRows(0, 200, "b")) ASSERT_TRUE(f->tree().Put(k, v).ok());
    // Every page existed before, so every page goes through the journal:
    // writes = pages + shadow header + pointer header + pages again + header + finalize.
    journal_pages = (total - 4) / 2;
    env.budget_ = journal_pages + 2;  // pages, shadow header, pointer header
    EXPECT_TRUE(f->Commit().ok());
  }
  auto f = OpenFile(tmp.path());
  Rows seen;
  ASSERT_TRUE(ReadAll(f.get(), &seen, /*changing=*/true).ok());
  EXPECT_EQ(seen, MakeRows(0, 200, "b"));
  ASSERT_TRUE(f->Begin(false).ok());
  EXPECT_EQ(f->header().change_counter, counter_before + 2);
  f->EndRead();
}

// Opens files whose write number `stop_before` (counting from 0 over every
// file it opens) never happens: the process writes "cut <n>" to `report_fd`
// and waits there to be killed.
class StopBeforeWriteEnv : public platform::EnvWrapper {
 public:
  StopBeforeWriteEnv(int stop_before, int report_fd)
      : EnvWrapper(platform::Env::Default()), stop_before_(stop_before), report_fd_(report_fd) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& p,
                                                             platform::Access a, platform::Share s,
                                                             platform::Disposition d) override {
    auto r = target()->OpenFile(p, a, s, d);
    if (!r.ok()) return r.status();
    return std::unique_ptr<platform::File>(new StoppingFile(std::move(r.value()), this));
  }

 private:
  class StoppingFile : public platform::FileWrapper {
   public:
    StoppingFile(std::unique_ptr<platform::File> f, StopBeforeWriteEnv* env)
        : FileWrapper(std::move(f)), env_(env) {}
    platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
      if (env_->writes_++ == env_->stop_before_) {
        const std::string line = "cut " + std::to_string(env_->stop_before_) + "\n";
        if (::write(env_->report_fd_, line.data(), line.size()) < 0) _exit(5);
        for (;;) pause();
      }
      return target()->WriteAt(o, b, n);
    }

   private:
    StopBeforeWriteEnv* env_;
  };

  int stop_before_;
  int report_fd_;
  int writes_ = 0;
};

// The commit each round makes: three more rows and the count, together.
Status CommitNext(TreeFile* f) {
  Rows rows;
  Status s = ReadAll(f, &rows, /*changing=*/false);
  if (!s.ok()) return s;
  const int n = std::stoi(rows["count"]) + 1;
  Rows puts = MakeRows(n * 3, n * 3 + 3, std::to_string(n));
  puts["count"] = std::to_string(n);
  return Apply(f, puts, {});
}

// Reads one line from `fd`, waiting at most `limit`; empty at end of file
// or on time-out.
std::string ReadLineWithin(int fd, std::chrono::milliseconds limit) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    char c;
    if (::read(fd, &c, 1) != 1) return {};
    if (c == '\n') return line;
    line.push_back(c);
  }
}

// Each round forks a committer that stops before a chosen write of its
// commit and tells the parent so through a pipe; the parent kills it there.
// The chosen writes run from the first journal write to the last write
// home, so some rounds cut before the commit point (the old state must
// come back) and some after it (the new one must).
TEST(Commit, ProcessKilledInMidCommitLeavesAConsistentFile) {
  TempFile tmp;
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), {{"count", "0"}}, {}).ok());
  }
  const std::string scratch = tmp.path() + ".scratch";
  constexpr int kRounds = 10;
  std::mt19937 rng(99);
  int old_seen = 0, new_seen = 0;
  for (int round = 0; round < kRounds; ++round) {
    int before = 0;
    {
      auto f = OpenFile(tmp.path(), platform::Env::Default());
      Rows rows;
      ASSERT_TRUE(ReadAll(f.get(), &rows).ok());
      before = std::stoi(rows["count"]);
    }
    // How many writes the committer makes, found by doing the same on a copy.
    int writes = 0;
    {
      std::filesystem::copy_file(tmp.path(), scratch,
                                 std::filesystem::copy_options::overwrite_existing);
      FaultyEnv counting(1 << 30, false);
      std::unique_ptr<TreeFile> f;
      ASSERT_TRUE(TreeFile::Open(&counting, scratch, TreeFile::Options(), &f).ok());
      ASSERT_TRUE(CommitNext(f.get()).ok());
      writes = (1 << 30) - counting.budget_;
    }
    ASSERT_GT(writes, 2) << "round " << round;
    // Spread the cut over the commit: 1 .. writes-1, with some jitter.
    const int span = writes - 1;
    const int cut = 1 + (round * span / kRounds + static_cast<int>(rng() % 3)) % span;

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
      ::close(report[0]);
      StopBeforeWriteEnv env(cut, report[1]);
      std::unique_ptr<TreeFile> f;
      if (!TreeFile::Open(&env, tmp.path(), TreeFile::Options(), &f).ok()) _exit(3);
      if (!CommitNext(f.get()).ok()) _exit(4);
      _exit(0);  // the commit ended before the chosen write
    }
    ::close(report[1]);
    const std::string line = ReadLineWithin(report[0], std::chrono::seconds(30));
    ::close(report[0]);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(line, "cut " + std::to_string(cut))
        << "round " << round << ": the committer did not stop in its commit"
        << " (exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ")";
    ASSERT_TRUE(WIFSIGNALED(status));

    auto f = OpenFile(tmp.path());
    Rows rows;
    ASSERT_TRUE(ReadAll(f.get(), &rows, /*changing=*/round % 2 == 1).ok()) << "round " << round;
    const int n = std::stoi(rows["count"]);
    EXPECT_TRUE(n == before || n == before + 1)
        << "round " << round << ": count " << n << " after " << before;
    (n == before ? old_seen : new_seen)++;
    // Each commit added three rows and the count together: never one without the other.
    EXPECT_EQ(rows.size(), static_cast<size_t>(1 + 3 * n))
        << "round " << round << " cut before write " << cut;
    ASSERT_TRUE(f->Begin(false).ok());
    EXPECT_TRUE(f->tree().Verify().ok());
    f->EndRead();
  }
  // Both sides of the commit point were hit.
  EXPECT_GT(old_seen, 0);
  EXPECT_GT(new_seen, 0);
}

TEST(Commit, ReadersBesideACommitterNeverSeeATornPair) {
  TempFile tmp;
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), {{"a", "0"}, {"b", "0"}}, {}).ok());
  }
  pid_t pid = fork();
  if (pid == 0) {
    auto f = OpenFile(tmp.path());
    for (int i = 1; i <= 300; ++i) {
      Rows puts = MakeRows(i * 5, i * 5 + 5, "x");
      puts["a"] = puts["b"] = std::to_string(i);
      if (!Apply(f.get(), puts, {}).ok()) _exit(2);
    }
    _exit(0);
  }
  auto f = OpenFile(tmp.path());
  int reads = 0;
  int last = 0;
  for (;;) {
    int status = 0;
    bool done = waitpid(pid, &status, WNOHANG) == pid;
    ASSERT_TRUE(f->Begin(false).ok());
    std::string a, b;
    bool fa = false, fb = false;
    ASSERT_TRUE(f->tree().Get("a", &a, &fa).ok());
    ASSERT_TRUE(f->tree().Get("b", &b, &fb).ok());
    f->EndRead();
    ASSERT_TRUE(fa && fb);
    ASSERT_EQ(a, b) << "torn read";
    EXPECT_GE(std::stoi(a), last) << "went back in time";
    last = std::stoi(a);
    ++reads;
    if (done) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      break;
    }
  }
  EXPECT_EQ(last, 300);
  EXPECT_GT(reads, 1);
}

}  // namespace
}  // namespace vm::storage

namespace vm::storage {
namespace {

std::string Slurp(const std::string& path) {
  std::FILE* fp = std::fopen(path.c_str(), "rb");
  std::string out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) out.append(buf, n);
  std::fclose(fp);
  return out;
}

void Spill(const std::string& path, const std::string& bytes) {
  std::FILE* fp = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), fp);
  std::fclose(fp);
}

TEST(Damage, RandomByteFlipsGiveErrorsNeverCrashesAndReadsWriteNothing) {
  TempFile tmp;
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), MakeRows(0, 400, "d"), {}).ok());
  }
  const std::string good = Slurp(tmp.path());
  std::mt19937 rng(2024);
  int failures = 0;
  for (int iter = 0; iter < 300; ++iter) {
    std::string bad = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
      // Half of the flips hit the header, where every field matters.
      size_t at = rng() % 2 ? rng() % 512 : rng() % bad.size();
      bad[at] = static_cast<char>(bad[at] ^ (1 + rng() % 255));
    }
    Spill(tmp.path(), bad);
    auto f = OpenFile(tmp.path());
    Rows rows;
    Status s = ReadAll(f.get(), &rows);
    if (s.ok()) {
      s = f->Begin(false);
      if (s.ok()) s = f->tree().Verify();
      f->EndRead();
    }
    if (!s.ok()) {
      ++failures;
      EXPECT_TRUE(s.code() == kErrInvalidDataFile || s.code() == 90) << s.code();
    }
    f.reset();
    ASSERT_EQ(Slurp(tmp.path()), bad) << "a reading operation wrote to a damaged file";
  }
  EXPECT_GT(failures, 50);
}

TEST(Damage, JournalCutShortIsRolledBack) {
  TempFile tmp;
  const Rows before = MakeRows(0, 300, "a");
  {
    auto f = OpenFile(tmp.path());
    ASSERT_TRUE(Apply(f.get(), before, {}).ok());
  }
  const std::string pristine = Slurp(tmp.path());
  int total = 0;
  {
    FaultyEnv counting(1 << 30, false);
    auto f = OpenFile(tmp.path(), &counting);
    ASSERT_TRUE(Apply(f.get(), MakeRows(0, 300, "b"), {}).ok());
    total = (1 << 30) - counting.budget_;
  }
  Spill(tmp.path(), pristine);
  {
    // Every page changes and existed before, so all go through the journal;
    // stop once the journal and the commit point are written.
    FaultyEnv env((total - 4) / 2 + 2, true);
    auto f = OpenFile(tmp.path(), &env);
    ASSERT_TRUE(Apply(f.get(), MakeRows(0, 300, "b"), {}).ok());
  }
  FileHeader h;
  ASSERT_TRUE(FileHeader::Decode(Slurp(tmp.path()).substr(0, 512), &h));
  ASSERT_LT(h.committed_end, h.journal_end) << "the journal should be pending";
  std::filesystem::resize_file(tmp.path(), h.committed_end + (h.journal_end - h.committed_end) / 2);
  auto f = OpenFile(tmp.path());
  Rows seen;
  ASSERT_TRUE(ReadAll(f.get(), &seen, /*changing=*/false).ok());
  EXPECT_EQ(seen, before);
  ASSERT_TRUE(ReadAll(f.get(), &seen, /*changing=*/true).ok());
  EXPECT_EQ(seen, before);
  ASSERT_TRUE(FileHeader::Decode(Slurp(tmp.path()).substr(0, 512), &h));
  EXPECT_EQ(h.committed_end, h.journal_end) << "a changing operation discards the broken journal";
}

// A journal whose transaction record names a transaction still listed in its
// control file is rolled back; one that is no longer listed stands.
TEST(Damage, TransactionCheckDecidesAPendingJournal) {
  for (bool still_open : {true, false}) {
    TempFile tmp;
    const Rows before = MakeRows(0, 200, "a");
    {
      auto f = OpenFile(tmp.path());
      ASSERT_TRUE(Apply(f.get(), before, {}).ok());
    }
    const std::string pristine = Slurp(tmp.path());
    Rows change = MakeRows(0, 200, "b");
    change[TransactionKey()] = EncodeTransactionRecord(7, "C:\\keeLfasT.TCF");
    int total = 0;
    {
      FaultyEnv counting(1 << 30, false);
      auto f = OpenFile(tmp.path(), &counting);
      ASSERT_TRUE(Apply(f.get(), change, {}).ok());
      total = (1 << 30) - counting.budget_;
    }
    Spill(tmp.path(), pristine);
    {
      FaultyEnv env((total - 4) / 2 + 2, true);  // stop after the commit point
      auto f = OpenFile(tmp.path(), &env);
      ASSERT_TRUE(Apply(f.get(), change, {}).ok());
    }
    std::string asked_path;
    uint32_t asked_txn = 0;
    TreeFile::Options o;
    o.transaction_check = [&](uint32_t txn, const std::string& control, bool* pending) {
      asked_txn = txn;
      asked_path = control;
      *pending = still_open;
      return Status::Ok();
    };
    std::unique_ptr<TreeFile> f;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), tmp.path(), o, &f).ok());
    Rows seen;
    ASSERT_TRUE(ReadAll(f.get(), &seen, /*changing=*/true).ok());
    EXPECT_EQ(asked_txn, 7u);
    EXPECT_EQ(asked_path,
              std::filesystem::path(tmp.path()).parent_path().string() + "/keelfast.tcf");
    if (still_open) {
      EXPECT_EQ(seen, before);
    } else {
      EXPECT_EQ(seen, change);
    }
  }
}

}  // namespace
}  // namespace vm::storage
