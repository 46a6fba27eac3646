// Which handles share one physical file object (the file itself decides,
// not the spelling of its name), and how an open that cannot decide a
// pending journal fails: at once, or after a bounded wait, with the path and
// the system's cause in the driver's file error text. Opens that could hang
// run in a child process watched with a deadline.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_driver.h"
#include "storage/driver/kfs_ops.h"
#include "storage/driver/kfs_transaction.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/table/record_keys.h"

namespace vm::storage {
namespace {

constexpr size_t kNameSize = 20;

TableDef NamesDef() {
  TableDef d;
  d.record_length = kNameSize;
  d.fields = {MakeField("NAM:NAME", kTypeString, 0, kNameSize)};
  d.keys = {MakeKey("NAM:NAMEKEY", kKeyDuplicates, {{0, 0}})};
  return d;
}

int AddName(DeclaredTable* t, const std::string& name) {
  std::fill(t->buffer().begin(), t->buffer().end(), ' ');
  std::copy(name.begin(), name.end(), t->buffer().begin());
  return t->Add();
}

std::set<std::string> Names(DeclaredTable* t) {
  std::set<std::string> names;
  EXPECT_EQ(t->Set(), 0);
  while (t->Next() == 0) {
    std::string n(t->buffer().begin(), t->buffer().end());
    names.insert(n.substr(0, n.find_last_not_of(' ') + 1));
  }
  EXPECT_EQ(t->error(), kErrRecordNotAvailable);
  return names;
}

class SharedFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<DeclaredTable> Table(const std::string& file) {
    return std::make_unique<DeclaredTable>(dir_ + "/" + file + "\\!NAMES", NamesDef());
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(SharedFileTest, NamesDifferingInCaseAreTwoFilesAndTwoSpellingsOfOneFileShareIt) {
  auto upper = Table("CONTROL.KFS");
  ASSERT_EQ(upper->Create(), 0);
  ASSERT_EQ(upper->Open(), 0);
  ASSERT_EQ(AddName(upper.get(), "upper"), 0);
  // A second file whose name differs only in case: its own object, cache
  // and table, so creating its table leaves the first file's rows alone.
  auto lower = Table("control.kfs");
  ASSERT_EQ(lower->Create(), 0);
  ASSERT_EQ(lower->Open(), 0);
  ASSERT_EQ(AddName(lower.get(), "lower"), 0);
  EXPECT_EQ(Names(upper.get()), std::set<std::string>{"upper"});
  EXPECT_EQ(Names(lower.get()), std::set<std::string>{"lower"});
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/control.kfs"));

  // "X.KFS" and "./X.KFS" are one file: a second handle joins the object of
  // a handle that keeps other openers out, and sees its rows at once.
  auto first = Table("X.KFS");
  ASSERT_EQ(first->Create(), 0);
  ASSERT_EQ(first->Open(kAccessReadWrite | kShareExclusive), 0);
  ASSERT_EQ(AddName(first.get(), "one"), 0);
  auto second = Table("./X.KFS");
  ASSERT_EQ(second->Open(), 0) << second->file_error_text();
  ASSERT_EQ(AddName(second.get(), "two"), 0);
  EXPECT_EQ(Names(first.get()), (std::set<std::string>{"one", "two"}));
  // Other openers are still kept out by the sharing of the first handle.
  EXPECT_FALSE(platform::Env::Default()
                   ->OpenFile(dir_ + "/X.KFS", platform::Access::kRead, platform::Share::kDenyNone,
                              platform::Disposition::kOpenExisting)
                   .ok());
  EXPECT_EQ(first->Close(), 0);
  EXPECT_EQ(second->Close(), 0);
  EXPECT_EQ(upper->Close(), 0);
  EXPECT_EQ(lower->Close(), 0);
  for (const char* f : {"/CONTROL.KFS", "/control.kfs", "/X.KFS"})
    testing::ExpectSoundFile(dir_ + f);
}

// Handles of one process share the file's row and table locks: a read with
// hold of a row another handle of the process holds gets it, PUT through a
// third handle goes through, and the row stays held for the first handle
// until its last holder lets go.
TEST_F(SharedFileTest, HandlesOfOneProcessShareRowAndTableLocks) {
  auto a = Table("LOCKS.KFS");
  ASSERT_EQ(a->Create(), 0);
  ASSERT_EQ(a->Open(), 0);
  ASSERT_EQ(AddName(a.get(), "row"), 0);
  auto b = Table("LOCKS.KFS");
  ASSERT_EQ(b->Open(), 0);
  a->Hold(1);
  ASSERT_EQ(a->GetByPointer(a->current_record()), 0);
  b->Hold(1);
  EXPECT_EQ(b->GetByPointer(a->current_record()), 0);
  EXPECT_EQ(b->Put(), 0);
  EXPECT_EQ(a->LockTable(1), 0);
  EXPECT_EQ(b->LockTable(1), 0);
  // Another opener of the file (as another process would be) is kept out
  // while either handle still holds the row.
  auto other = platform::Env::Default()->OpenFile(dir_ + "/LOCKS.KFS", platform::Access::kReadWrite,
                                                  platform::Share::kDenyNone,
                                                  platform::Disposition::kOpenExisting);
  ASSERT_TRUE(other.ok());
  const uint64_t row_byte = kTableRecordLockBase + a->current_record();
  EXPECT_FALSE(other.value()->TryLock(row_byte, 1).ok());
  EXPECT_EQ(b->Close(), 0);
  EXPECT_FALSE(other.value()->TryLock(row_byte, 1).ok());
  a->Release();
  EXPECT_EQ(a->UnlockTable(), 0);
  EXPECT_TRUE(other.value()->TryLock(row_byte, 1).ok());
  EXPECT_TRUE(other.value()->Unlock(row_byte, 1).ok());
  EXPECT_EQ(a->Close(), 0);
}

// Leaves DATA.KFS with a journal past its commit point whose transaction
// record names `control` as the transaction control file.
void LeavePendingJournal(const std::string& dir, const std::string& control) {
  {
    auto t = std::make_unique<DeclaredTable>(dir + "/DATA.KFS\\!NAMES", NamesDef());
    ASSERT_EQ(t->Create(), 0);
    ASSERT_EQ(t->Open(), 0);
    ASSERT_EQ(AddName(t.get(), "before"), 0);
    ASSERT_EQ(t->Close(), 0);
  }
  auto f = testing::OpenFile(dir + "/DATA.KFS");
  ASSERT_TRUE(f->Begin(true).ok());
  ASSERT_TRUE(f->tree().Put(TransactionKey(), EncodeTransactionRecord(77, control)).ok());
  ASSERT_TRUE(f->CommitToJournal().ok());
  // Dropped here without FinishCommit: the journal stays pending.
}

struct OpenResult {
  bool finished = false;
  int rc = -1;
  double seconds = 0;
  std::string text;
};

// Opens DATA.KFS through the driver in a child process; gives up on it after
// `deadline` (the child is killed).
OpenResult OpenInChild(const std::string& dir, std::chrono::seconds deadline) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    KfsControlBlock cb;
    cb.name = dir + "/DATA.KFS\\!NAMES";
    cb.def = NamesDef();
    KfsArgs args;
    const int rc = KfsDriver(kOpOpen, &cb, &args);
    const std::string out = std::to_string(rc) + "\n" + cb.file_error_text;
    if (::write(fds[1], out.data(), out.size()) < 0) _exit(3);
    _exit(0);
  }
  ::close(fds[1]);
  OpenResult r;
  std::string got;
  struct pollfd p = {fds[0], POLLIN, 0};
  for (;;) {
    const auto left = deadline - (std::chrono::steady_clock::now() - start);
    const int ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    if (ms <= 0 || ::poll(&p, 1, ms) <= 0) break;
    char buf[512];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) {
      r.finished = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fds[0]);
  if (!r.finished) ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  const size_t nl = got.find('\n');
  if (r.finished && nl != std::string::npos) {
    r.rc = std::stoi(got.substr(0, nl));
    r.text = got.substr(nl + 1);
  }
  return r;
}

TEST_F(SharedFileTest, ControlFileThatIsADirectoryFailsTheOpenAtOnceWithPathAndCause) {
  const std::string control = dir_ + "/control-dir";
  std::filesystem::create_directory(control);
  LeavePendingJournal(dir_, control);
  const OpenResult r = OpenInChild(dir_, std::chrono::seconds(30));
  ASSERT_TRUE(r.finished) << "the open hung for " << r.seconds << " s";
  EXPECT_EQ(r.rc, kErrAccessDenied);
  EXPECT_NE(r.text.find(control), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(std::strerror(EISDIR)), std::string::npos) << r.text;
  // Undecided, the journal was left alone. A missing control file decides
  // nothing either: the open fails naming it.
  std::filesystem::remove(control);
  auto t = Table("DATA.KFS");
  ASSERT_EQ(t->Open(), kErrFileNotFound);
  EXPECT_NE(t->file_error_text().find(control), std::string::npos) << t->file_error_text();
  // A control file without the transaction's number lets the journal stand;
  // the file is whole again.
  std::ofstream(control, std::ios::binary).flush();
  ASSERT_EQ(t->Open(), 0) << t->file_error_text();
  EXPECT_EQ(Names(t.get()), std::set<std::string>{"before"});
  EXPECT_EQ(t->Close(), 0);
  testing::ExpectSoundFile(dir_ + "/DATA.KFS");
}

TEST_F(SharedFileTest, ControlFileKeptFromSharingFailsTheOpenAfterABoundedWait) {
  const std::string control = dir_ + "/keelfast.tcf";
  LeavePendingJournal(dir_, control);
  auto holder = platform::Env::Default()->OpenFile(control, platform::Access::kReadWrite,
                                                   platform::Share::kExclusive,
                                                   platform::Disposition::kOpenAlways);
  ASSERT_TRUE(holder.ok());
  const OpenResult r = OpenInChild(dir_, std::chrono::seconds(30));
  ASSERT_TRUE(r.finished) << "the open hung for " << r.seconds << " s";
  EXPECT_EQ(r.rc, kErrAccessDenied);
  EXPECT_GE(r.seconds, 0.9 * std::chrono::duration<double>(kControlFileWait).count());
  EXPECT_NE(r.text.find(control), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("sharing violation"), std::string::npos) << r.text;
  // Let go, the empty control file does not hold the transaction: its
  // journal stands and the file is sound.
  holder.value().reset();
  auto t = Table("DATA.KFS");
  ASSERT_EQ(t->Open(), 0) << t->file_error_text();
  EXPECT_EQ(Names(t.get()), std::set<std::string>{"before"});
  EXPECT_EQ(t->Close(), 0);
  testing::ExpectSoundFile(dir_ + "/DATA.KFS");
}

}  // namespace
}  // namespace vm::storage
