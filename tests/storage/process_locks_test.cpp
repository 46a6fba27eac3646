// Statements that meet another process: a watched row changed by the other
// process fails PUT with 89, and LOCK with seconds on a table the other
// process has locked tries at once and after each second, then gives 32.
// Children are forked before this process opens anything, so that they do
// not inherit its open files, and are driven through pipes.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {
namespace {

using Clock = std::chrono::steady_clock;

TableDef CountersDef() {
  TableDef d;
  d.record_length = 12;
  d.fields = {MakeField("CNT:NAME", kTypeString, 0, 8), MakeField("CNT:VALUE", kTypeLong, 8, 4)};
  d.keys = {MakeKey("CNT:NAMEKEY", 0, {{0, 0}})};
  return d;
}

// A child process that runs `body` when told, then reports its result.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    if (::pipe(to_) != 0 || ::pipe(from_) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Each side keeps only its own ends, so that a side that dies is seen
      // as the end of the pipe instead of a wait for ever.
      ::close(to_[1]);
      ::close(from_[0]);
      char c = 0;
      if (::read(to_[0], &c, 1) != 1) ::_exit(2);
      ::_exit(body(this) ? 0 : 1);
    }
    ::close(to_[0]);
    ::close(from_[1]);
  }
  ~Child() {
    ::close(to_[1]);
    ::close(from_[0]);
  }
  void Go() { Send(); }
  // Child and parent signal each other with single bytes.
  void Send() { EXPECT_EQ(::write(pid_ == 0 ? from_[1] : to_[1], "x", 1), 1); }
  bool Wait() {
    char c = 0;
    return ::read(pid_ == 0 ? to_[0] : from_[0], &c, 1) == 1;
  }
  int Join() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

 private:
  int to_[2], from_[2];
  pid_t pid_;
};

// Counts the attempts on table and record lock bytes, with their times.
class LockCountingEnv : public platform::EnvWrapper {
 public:
  LockCountingEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    auto r = target()->OpenFile(path, access, share, disposition);
    if (!r.ok()) return r;
    return std::unique_ptr<platform::File>(new Counted(std::move(r.value()), this));
  }
  std::vector<Clock::time_point> attempts;

 private:
  class Counted : public platform::FileWrapper {
   public:
    Counted(std::unique_ptr<platform::File> f, LockCountingEnv* env)
        : FileWrapper(std::move(f)), env_(env) {}
    platform::Status TryLock(uint64_t o, uint64_t l) override {
      if (o >= kTableRecordLockBase) env_->attempts.push_back(Clock::now());
      return target()->TryLock(o, l);
    }

   private:
    LockCountingEnv* env_;
  };
};

class ProcessLocksTest : public ::testing::Test {
 protected:
  ProcessLocksTest() {
    DeclaredTable t(name_, CountersDef());
    EXPECT_EQ(t.Create(), 0);
    EXPECT_EQ(t.Open(), 0);
    Set(&t, "calls", 1);
    EXPECT_EQ(t.Add(), 0);
  }
  ~ProcessLocksTest() override { testing::ExpectSoundFile(name_ + ".KFS"); }

  static void Set(DeclaredTable* t, const char* name, int32_t value) {
    std::fill(t->buffer().begin(), t->buffer().end(), ' ');
    std::memcpy(t->buffer().data(), name, std::strlen(name));
    std::memcpy(t->buffer().data() + 8, &value, 4);
  }
  static int32_t Value(DeclaredTable* t) {
    int32_t v = 0;
    std::memcpy(&v, t->buffer().data() + 8, 4);
    return v;
  }
  // Reads row "calls" into the buffer.
  static int GetCalls(DeclaredTable* t) {
    Set(t, "calls", 0);
    return t->Get(0);
  }

  testing::TempDir dir_;
  const std::string name_ = dir_.path() + "/COUNTERS";
};

TEST_F(ProcessLocksTest, WatchedRowChangedByAnotherProcessFailsPutWith89) {
  Child other([this](Child*) {
    DeclaredTable t(name_, CountersDef());
    if (t.Open() != 0 || GetCalls(&t) != 0) return false;
    Set(&t, "calls", Value(&t) + 10);
    return t.Put() == 0;
  });
  DeclaredTable t(name_, CountersDef());
  ASSERT_EQ(t.Open(), 0);
  t.Watch();
  ASSERT_EQ(GetCalls(&t), 0);
  ASSERT_EQ(Value(&t), 1);
  other.Go();
  ASSERT_EQ(other.Join(), 0);
  Set(&t, "calls", 2);
  EXPECT_EQ(t.Put(), kErrChangedByOther);
  // The other process's change stands; read again under watch, the put goes.
  t.Watch();
  ASSERT_EQ(GetCalls(&t), 0);
  EXPECT_EQ(Value(&t), 11);
  Set(&t, "calls", 12);
  EXPECT_EQ(t.Put(), 0);
  ASSERT_EQ(GetCalls(&t), 0);
  EXPECT_EQ(Value(&t), 12);
}

TEST_F(ProcessLocksTest, LockWithSecondsTriesNowAndEverySecondThenGives32) {
  Child holder([this](Child* self) {
    DeclaredTable t(name_, CountersDef());
    if (t.Open() != 0 || t.LockTable() != 0) return false;
    self->Send();  // locked
    self->Wait();  // until told to let go
    return t.UnlockTable() == 0;
  });
  holder.Go();
  ASSERT_TRUE(holder.Wait());
  LockCountingEnv env;
  DeclaredTable t(name_, CountersDef(), &env);
  ASSERT_EQ(t.Open(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(t.LockTable(2), kErrFileLocked);
  const auto end = Clock::now();
  ASSERT_EQ(env.attempts.size(), 2u);
  EXPECT_LT(env.attempts[0] - start, std::chrono::milliseconds(500));  // at once
  EXPECT_GE(env.attempts[1] - env.attempts[0], std::chrono::milliseconds(1000));
  EXPECT_GE(end - start, std::chrono::milliseconds(2000));
  // Released by the other process, the lock is had at the first attempt.
  holder.Send();
  ASSERT_EQ(holder.Join(), 0);
  env.attempts.clear();
  EXPECT_EQ(t.LockTable(2), 0);
  EXPECT_EQ(env.attempts.size(), 1u);
  EXPECT_EQ(t.UnlockTable(), 0);
}

// A row held by another process: a read with hold and seconds gives 43 and
// stays where it was; PUT gives 5 and DELETE 33; a read without hold goes on.
TEST_F(ProcessLocksTest, RowHeldByAnotherProcess) {
  Child holder([this](Child* self) {
    DeclaredTable t(name_, CountersDef());
    if (t.Open() != 0) return false;
    t.Hold();
    if (GetCalls(&t) != 0) return false;
    self->Send();  // held
    self->Wait();  // until told to let go
    t.Release();
    return true;
  });
  DeclaredTable t(name_, CountersDef());
  ASSERT_EQ(t.Open(), 0);
  Set(&t, "other", 7);
  ASSERT_EQ(t.Add(), 0);
  holder.Go();
  ASSERT_TRUE(holder.Wait());
  ASSERT_EQ(t.Set(), 0);
  t.Hold(1);
  EXPECT_EQ(t.Next(), kErrRecordHeld);
  ASSERT_EQ(t.Next(), 0);  // the same row, read without hold
  EXPECT_EQ(Value(&t), 1);
  Set(&t, "calls", 5);
  EXPECT_EQ(t.Put(), kErrAccessDenied);
  EXPECT_EQ(t.Delete(), kErrRecordNotAvailable);
  // The other row is free to hold and change.
  t.Hold(0);
  ASSERT_EQ(t.Next(), 0);
  Set(&t, "other", 8);
  EXPECT_EQ(t.Put(), 0);
  holder.Send();
  ASSERT_EQ(holder.Join(), 0);
  ASSERT_EQ(GetCalls(&t), 0);
  Set(&t, "calls", 5);
  EXPECT_EQ(t.Put(), 0);
}

// CLOSE cuts the file at the end of its data: the end as it is on disk, not
// as this handle last saw it before another process made the file grow.
TEST_F(ProcessLocksTest, CloseAfterAnotherProcessGrewTheFileKeepsItsRows) {
  Child grower([this](Child*) {
    DeclaredTable t(name_, CountersDef());
    if (t.Open() != 0) return false;
    for (int i = 0; i < 300; ++i) {
      Set(&t, ("r" + std::to_string(i)).c_str(), i);
      if (t.Add() != 0) return false;
    }
    return t.Close() == 0;
  });
  DeclaredTable t(name_, CountersDef());
  ASSERT_EQ(t.Open(), 0);
  ASSERT_EQ(GetCalls(&t), 0);
  grower.Go();
  ASSERT_EQ(grower.Join(), 0);
  ASSERT_EQ(t.Close(), 0);
  ASSERT_EQ(t.Open(), 0);
  EXPECT_EQ(t.Records(), 301u);
  int rows = 0;
  ASSERT_EQ(t.Set(), 0);
  while (t.Next() == 0) ++rows;
  EXPECT_EQ(t.error(), kErrRecordNotAvailable);
  EXPECT_EQ(rows, 301);
}

// A process that commits again the moment it has committed must not keep a
// writer or a reader that waits out (the open below reads the header): the
// waiter gets its turn at the next commit, well within its lock wait,
// instead of only when it happens to poll in the gap.
TEST_F(ProcessLocksTest, WriterThatNeverPausesLetsAWaitingWriterAndReaderIn) {
  const std::string stop = dir_.path() + "/stop";
  Child busy([this, &stop](Child* self) {
    DeclaredTable t(name_, CountersDef());
    if (t.Open() != 0) return false;
    // Until the parent is done (a bound of its own in case it never is).
    const auto until = Clock::now() + std::chrono::seconds(60);
    for (int i = 0; !std::filesystem::exists(stop) && Clock::now() < until; ++i) {
      Set(&t, ("c" + std::to_string(i)).c_str(), i);
      if (t.Add() != 0) return false;
      if (i == 0) self->Send();  // committing without pause from here on
    }
    return t.Close() == 0;
  });
  busy.Go();
  ASSERT_TRUE(busy.Wait());
  platform::Env::Default()->SetLockWaitMs(1500);
  DeclaredTable t(name_, CountersDef());
  ASSERT_EQ(t.Open(), 0);
  int read = 0;
  for (int i = 0; i < 50; ++i) {
    if (GetCalls(&t) != 0) break;
    ++read;
  }
  int added = 0;
  for (int i = 0; i < 20; ++i) {
    Set(&t, ("p" + std::to_string(i)).c_str(), i);
    if (t.Add() != 0) break;
    ++added;
  }
  platform::Env::Default()->SetLockWaitMs(platform::kDefaultLockWaitMs);
  EXPECT_EQ(read, 50);
  EXPECT_EQ(added, 20);
  std::ofstream(stop).put('x');
  EXPECT_EQ(busy.Join(), 0);
  ASSERT_EQ(t.Close(), 0);
}

}  // namespace
}  // namespace vm::storage
