// Files: positioned I/O, Windows-style byte-range locks and share modes, between
// two handles of one process and between two processes.
#include "platform/file.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/append_file.h"
#include "platform/diag_sink.h"
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

// Anyone who can open a file can hold a range of it: no wait for a lock is
// longer than the Env's lock wait, the share check of an open included.
TEST(ByteLocks, EveryWaitIsBounded) {
  TempDir dir;
  Env* env = Env::Default();
  env->SetLockWaitMs(300);
  const std::string path = dir.File("held.dat");
  auto holder = MustOpen(path);
  auto waiter = MustOpen(path);
  ASSERT_TRUE(holder->TryLock(50, 1).ok());
  const Status waited = waiter->Lock(50, 1);
  EXPECT_EQ(waited.code(), Code::kLockConflict);
  EXPECT_NE(waited.message().find("for more than 300 ms"), std::string::npos) << waited.message();
  // The byte every opener takes for its share check, held for good.
  ASSERT_TRUE(holder->TryLock(kShareLockBase, 1).ok());
  auto blocked =
      env->OpenFile(path, Access::kReadWrite, Share::kDenyNone, Disposition::kOpenExisting);
  EXPECT_EQ(blocked.status().code(), Code::kAccessDenied) << blocked.status().message();
  ASSERT_TRUE(holder->Unlock(kShareLockBase, 1).ok());
  EXPECT_TRUE(
      env->OpenFile(path, Access::kReadWrite, Share::kDenyNone, Disposition::kOpenExisting).ok());
  env->SetLockWaitMs(kDefaultLockWaitMs);
}

TEST(FileModes, FilesTheProgramMakesAreItsUsersOnly) {
  TempDir dir;
  const mode_t before = umask(0);
  MustOpen(dir.File("table.kfs"), Access::kReadWrite, Share::kDenyNone, Disposition::kCreateNew);
  EXPECT_TRUE(AppendToFile(dir.File("errors.log"), "line\n"));
  EXPECT_NE(FileSink::Open(dir.File("trace.log")), nullptr);
  umask(before);
  for (const char* name : {"table.kfs", "errors.log", "trace.log"}) {
    struct stat st;
    ASSERT_EQ(stat(dir.File(name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

TEST(OpenForReading, OnlyRegularFilesNoLinksNoLocksAndTheFileThatWasListed) {
  TempDir dir;
  Env* env = Env::Default();
  const std::string rec = dir.File("rec.wav");
  {
    auto f = MustOpen(rec);
    ASSERT_TRUE(f->WriteAt(0, "audio", 5).ok());
  }
  ASSERT_EQ(symlink(rec.c_str(), dir.File("link.wav").c_str()), 0);
  ASSERT_EQ(mkfifo(dir.File("pipe.wav").c_str(), 0600), 0);

  // Another opener that denies everyone and locks every byte changes nothing.
  auto hog = MustOpen(rec, Access::kReadWrite, Share::kExclusive);
  ASSERT_TRUE(hog->TryLock(0, 1ull << 40).ok());
  auto id = env->IdentifyRegular(rec);
  ASSERT_TRUE(id.ok()) << id.status().message();
  auto r = env->OpenForReading(rec, &id.value());
  ASSERT_TRUE(r.ok()) << r.status().message();
  char buf[8] = {};
  size_t got = 0;
  ASSERT_TRUE(r.value()->ReadAt(0, buf, sizeof buf, &got).ok());
  EXPECT_EQ(std::string(buf, got), "audio");
  EXPECT_EQ(r.value()->WriteAt(0, "x", 1).code(), Code::kAccessDenied);

  for (const char* name : {"link.wav", "pipe.wav"}) {
    EXPECT_EQ(env->OpenForReading(dir.File(name)).status().code(), Code::kAccessDenied) << name;
    EXPECT_EQ(env->IdentifyRegular(dir.File(name)).status().code(), Code::kAccessDenied) << name;
  }
  EXPECT_NE(env->OpenForReading(dir.File("link.wav")).status().message().find("a symbolic link"),
            std::string::npos);

  // The name now names another file than the one identified.
  {
    auto other = MustOpen(dir.File("other.wav"));
    ASSERT_TRUE(other->WriteAt(0, "secret", 6).ok());
  }
  ASSERT_EQ(rename(dir.File("other.wav").c_str(), rec.c_str()), 0);
  auto swapped = env->OpenForReading(rec, &id.value());
  EXPECT_EQ(swapped.status().code(), Code::kAccessDenied);
  EXPECT_NE(swapped.status().message().find("no longer the file that was listed"),
            std::string::npos);
  EXPECT_TRUE(env->OpenForReading(rec).ok());
}

}  // namespace
}  // namespace vm::platform
