// Table and record lock bytes between two handles and two processes, and the
// kinds that cannot be combined.
#include "storage/file_locks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

std::unique_ptr<platform::File> Open(const std::string& path) {
  auto r = platform::Env::Default()->OpenFile(path, platform::Access::kReadWrite,
                                              platform::Share::kDenyNone,
                                              platform::Disposition::kOpenAlways);
  EXPECT_TRUE(r.ok());
  return std::move(r.value());
}

TEST(FileLocks, RangesOfEveryKind) {
  LockRange r{};
  ASSERT_TRUE(LockRangeFor(kLockReaderSlot, 1024, false, &r).ok());
  EXPECT_EQ(r.offset, 0x80000001ull);
  ASSERT_TRUE(LockRangeFor(kLockCommit, 0, false, &r).ok());
  EXPECT_EQ(r.length, 1023u);
  ASSERT_TRUE(LockRangeFor(kLockUpdate, 0, false, &r).ok());
  EXPECT_EQ(r.offset, 0x800003FFull);
  ASSERT_TRUE(LockRangeFor(kLockRecord, 77, false, &r).ok());
  EXPECT_EQ(r.offset, 0x80000401ull + 77);
  EXPECT_EQ(LockRangeFor(kLockTable | kLockReaderSlot, 1, false, &r).internal(), kErrLockKinds);
  EXPECT_EQ(LockRangeFor(kLockRecord | kLockCommit, 1, true, &r).internal(), kErrUnlockKinds);
}

TEST(FileLocks, SecondHandleAndSecondProcessAreRefused) {
  std::string dir = std::filesystem::temp_directory_path() / "vm-locks-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/L.KFS";
  auto a = Open(path);
  auto b = Open(path);
  ASSERT_TRUE(AcquireLock(a.get(), kLockTable, 5, false).ok());
  EXPECT_EQ(AcquireLock(b.get(), kLockTable, 5, false).code(), 5);
  EXPECT_TRUE(AcquireLock(b.get(), kLockRecord, 6, false).ok());
  pid_t pid = fork();
  if (pid == 0) {
    auto c = Open(path);
    bool refused = AcquireLock(c.get(), kLockTable, 5, false).code() == 5;
    bool other = AcquireLock(c.get(), kLockTable, 7, false).ok();
    _exit(refused && other ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(ReleaseLock(a.get(), kLockTable, 5).ok());
  EXPECT_TRUE(AcquireLock(b.get(), kLockTable, 5, true).ok());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vm::storage
