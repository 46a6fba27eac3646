// Files: positioned I/O, Windows-style byte-range locks and share modes, between
// two handles of one process and between two processes.
#include "platform/file.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vm::platform {
namespace {

using vm::testing::TempDir;

std::unique_ptr<File> MustOpen(const std::string& path, Access access = Access::kReadWrite,
                               Share share = Share::kDenyNone,
                               Disposition disposition = Disposition::kOpenAlways) {
  auto r = Env::Default()->OpenFile(path, access, share, disposition);
  EXPECT_TRUE(r.ok()) << r.status().message();
  return r.ok() ? std::move(r.value()) : nullptr;
}

// Runs `body` in a child process and returns its exit status.
template <typename Body>
int InChild(Body body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(FileIo, WritesReadsAndReportsShortReadAtEnd) {
  TempDir dir;
  auto f = MustOpen(dir.File("a.dat"));
  ASSERT_TRUE(f->WriteAt(100, "hello", 5).ok());
  EXPECT_EQ(*f->Size(), 105u);
  char buf[16] = {};
  size_t got = 0;
  ASSERT_TRUE(f->ReadAt(100, buf, sizeof buf, &got).ok());
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, got), "hello");
  ASSERT_TRUE(f->ReadAt(0, buf, 4, &got).ok());
  EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));  // the hole reads as zeros
  ASSERT_TRUE(f->Truncate(102).ok());
  ASSERT_TRUE(f->ReadAt(100, buf, sizeof buf, &got).ok());
  EXPECT_EQ(got, 2u);
  EXPECT_TRUE(f->Sync().ok());
}

TEST(FileIo, OpenDispositions) {
  TempDir dir;
  std::string path = dir.File("b.dat");
  auto missing =
      Env::Default()->OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), Code::kNotFound);
  {
    auto f = MustOpen(path, Access::kReadWrite, Share::kDenyNone, Disposition::kCreateNew);
    ASSERT_TRUE(f->WriteAt(0, "xyz", 3).ok());
  }
  auto again =
      Env::Default()->OpenFile(path, Access::kReadWrite, Share::kDenyNone, Disposition::kCreateNew);
  EXPECT_EQ(again.status().code(), Code::kExists);
  auto truncated = MustOpen(path, Access::kReadWrite, Share::kDenyNone, Disposition::kCreateAlways);
  EXPECT_EQ(*truncated->Size(), 0u);

  auto reader = MustOpen(path, Access::kRead);
  EXPECT_EQ(reader->WriteAt(0, "q", 1).code(), Code::kAccessDenied);

  std::filesystem::create_directory(dir.path() / "sub");
  auto d = Env::Default()->OpenFile(dir.File("sub"), Access::kRead, Share::kDenyNone,
                                    Disposition::kOpenExisting);
  EXPECT_EQ(d.status().code(), Code::kAccessDenied);
  EXPECT_TRUE(Env::Default()->IsDirectory(dir.File("sub")));
  EXPECT_FALSE(Env::Default()->FileExists(dir.File("sub")));
  EXPECT_TRUE(Env::Default()->DeleteFile(path).ok());
  EXPECT_EQ(Env::Default()->DeleteFile(path).code(), Code::kNotFound);
}

TEST(ByteLocks, TwoHandlesOfOneProcessConflict) {
  TempDir dir;
  auto a = MustOpen(dir.File("l.dat"));
  auto b = MustOpen(dir.File("l.dat"));
  const uint64_t base = 0x80000000ull;
  ASSERT_TRUE(a->TryLock(base + 5, 1).ok());
  EXPECT_EQ(b->TryLock(base + 5, 1).code(), Code::kLockConflict);
  EXPECT_EQ(b->TryLock(base, 1023).code(), Code::kLockConflict);  // a range covering it
  EXPECT_TRUE(b->TryLock(base + 6, 1).ok());                      // the neighbour is free
  ASSERT_TRUE(a->Unlock(base + 5, 1).ok());
  EXPECT_TRUE(b->TryLock(base + 5, 1).ok());
}

TEST(ByteLocks, AskingWhetherAnotherHandleHoldsARangeTakesNothing) {
  TempDir dir;
  auto holder = MustOpen(dir.File("l.dat"));
  auto reader =
      MustOpen(dir.File("l.dat"), Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
  ASSERT_TRUE(holder->TryLock(0, 1).ok());
  EXPECT_TRUE(reader->LockedElsewhere(0, 1).value());
  EXPECT_TRUE(reader->LockedElsewhere(0, 10).value());  // a range covering it
  EXPECT_FALSE(reader->LockedElsewhere(1, 1).value());
  EXPECT_FALSE(holder->LockedElsewhere(0, 1).value()) << "its own lock is not another's";
  // The query took nothing: the holder lets go and someone else takes it.
  ASSERT_TRUE(holder->Unlock(0, 1).ok());
  EXPECT_FALSE(reader->LockedElsewhere(0, 1).value());
  auto other = MustOpen(dir.File("l.dat"));
  EXPECT_TRUE(other->TryLock(0, 1).ok());
  EXPECT_EQ(InChild([&] {
              auto r = Env::Default()->OpenFile(dir.File("l.dat"), Access::kRead, Share::kDenyNone,
                                                Disposition::kOpenExisting);
              return r.ok() && r.value()->LockedElsewhere(0, 1).value() ? 0 : 1;
            }),
            0)
      << "another process's lock is seen too";
}

TEST(ByteLocks, SameHandleCannotLockTwiceAndMustUnlockExactly) {
  TempDir dir;
  auto a = MustOpen(dir.File("l.dat"));
  ASSERT_TRUE(a->TryLock(1000, 10).ok());
  EXPECT_EQ(a->TryLock(1005, 1).code(), Code::kLockConflict);
  EXPECT_EQ(a->Lock(1009, 2).code(), Code::kLockConflict);  // would wait for itself forever
  EXPECT_EQ(a->Unlock(1000, 5).code(), Code::kInvalidArgument);
  EXPECT_TRUE(a->Unlock(1000, 10).ok());
  EXPECT_EQ(a->Unlock(1000, 10).code(), Code::kInvalidArgument);
}

TEST(ByteLocks, WaitingLockProceedsWhenReleased) {
  TempDir dir;
  auto a = MustOpen(dir.File("l.dat"));
  auto b = MustOpen(dir.File("l.dat"));
  ASSERT_TRUE(a->TryLock(50, 1).ok());
  auto waiter = std::async(std::launch::async, [&] { return b->Lock(50, 1).ok(); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_TRUE(a->Unlock(50, 1).ok());
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(a->TryLock(50, 1).code(), Code::kLockConflict);
}

TEST(ByteLocks, ConflictBetweenProcessesAndReleaseOnExit) {
  TempDir dir;
  std::string path = dir.File("p.dat");
  auto a = MustOpen(path);
  ASSERT_TRUE(a->TryLock(0x80000401ull, 1).ok());
  // The child sees the parent's lock, takes one of its own and dies holding it.
  int status = InChild([&] {
    auto r = Env::Default()->OpenFile(path, Access::kReadWrite, Share::kDenyNone,
                                      Disposition::kOpenExisting);
    if (!r.ok()) return 1;
    if (r.value()->TryLock(0x80000401ull, 1).code() != Code::kLockConflict) return 2;
    if (!r.value()->TryLock(0x80000402ull, 1).ok()) return 3;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(a->TryLock(0x80000402ull, 1).ok()) << "a dead process's lock must be gone";
}

TEST(ShareModes, ExclusiveKeepsEveryoneOut) {
  TempDir dir;
  std::string path = dir.File("s.dat");
  auto owner = MustOpen(path, Access::kReadWrite, Share::kExclusive);
  auto r =
      Env::Default()->OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
  EXPECT_EQ(r.status().code(), Code::kAccessDenied);
  owner.reset();
  EXPECT_TRUE(Env::Default()
                  ->OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting)
                  .ok());
}

TEST(ShareModes, DenyWriteAdmitsReadersOnly) {
  TempDir dir;
  std::string path = dir.File("s.dat");
  auto owner = MustOpen(path, Access::kReadWrite, Share::kDenyWrite);
  auto writer = Env::Default()->OpenFile(path, Access::kReadWrite, Share::kDenyNone,
                                         Disposition::kOpenExisting);
  EXPECT_EQ(writer.status().code(), Code::kAccessDenied);
  auto reader =
      Env::Default()->OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
  EXPECT_TRUE(reader.ok());
}

TEST(ShareModes, DenyingWhatAnEarlierOpenerDoesFails) {
  TempDir dir;
  std::string path = dir.File("s.dat");
  auto writer = MustOpen(path, Access::kReadWrite, Share::kDenyNone);
  auto late =
      Env::Default()->OpenFile(path, Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting);
  EXPECT_EQ(late.status().code(), Code::kAccessDenied);
  auto excl =
      Env::Default()->OpenFile(path, Access::kRead, Share::kExclusive, Disposition::kOpenExisting);
  EXPECT_EQ(excl.status().code(), Code::kAccessDenied);
  auto shared = Env::Default()->OpenFile(path, Access::kReadWrite, Share::kDenyNone,
                                         Disposition::kOpenExisting);
  EXPECT_TRUE(shared.ok());
}

TEST(ShareModes, AppliesAcrossProcesses) {
  TempDir dir;
  std::string path = dir.File("s.dat");
  auto owner = MustOpen(path, Access::kReadWrite, Share::kDenyWrite);
  int status = InChild([&] {
    auto w = Env::Default()->OpenFile(path, Access::kReadWrite, Share::kDenyNone,
                                      Disposition::kOpenExisting);
    auto r =
        Env::Default()->OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
    return (w.status().code() == Code::kAccessDenied && r.ok()) ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

class FailingWrites : public EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  bool deleted = false;
  Status DeleteFile(const std::string&) override {
    deleted = true;
    return Status::Error(Code::kIoError, "injected");
  }
};

TEST(EnvWrapper, ForwardsAndOverrides) {
  TempDir dir;
  FailingWrites env(Env::Default());
  auto f = env.OpenFile(dir.File("w.dat"), Access::kReadWrite, Share::kDenyNone,
                        Disposition::kOpenAlways);
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(env.FileExists(dir.File("w.dat")));
  EXPECT_EQ(env.DeleteFile(dir.File("w.dat")).code(), Code::kIoError);
  EXPECT_TRUE(env.deleted);
  EXPECT_TRUE(Env::Default()->FileExists(dir.File("w.dat")));
}

}  // namespace
}  // namespace vm::platform
