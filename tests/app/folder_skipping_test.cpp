// Passes over `msg` folders they listed before: a folder that is the same
// directory with the same time as at a listing that left nothing to do is
// not listed again; every other one is (changed in the same clock tick as
// its listing, replaced by another directory, holding a recording too young
// then, of a mailbox disabled and enabled again). A folder passed over is
// seen by a file slipped in with the folder's time put back: only a listing
// finds it. Against a real SMTP server.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "platform/clock.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

// The folder's last change as the file system keeps it.
timespec FolderTime(const fs::path& dir) {
  struct stat st {};
  stat(dir.c_str(), &st);
  return st.st_mtim;
}

void SetFolderTime(const fs::path& dir, timespec t) {
  const timespec times[2] = {t, t};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.c_str(), times, 0), 0);
}

timespec HourAgo() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec -= 3600;
  return t;
}

class FolderSkippingTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = StartSinkWithSettings();
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    AddMailbox(101, "alice@example.com", "", "YES", "YES");
    options_ = FastOptions();
    options_.memory = std::make_shared<ScanMemory>();
  }
  void TearDown() override {
    server_.reset();
    GatewayTest::TearDown();
  }
  fs::path Folder() const { return fs::path(tree()) / "101" / "msg"; }
  // A recording added without the folder's time moving: found by a listing only.
  void SlipIn(const std::string& name, timespec folder_time) {
    MakeRecording(101, name, "audio " + name);
    SetFolderTime(Folder(), folder_time);
  }
  void SetEnabled(const std::string& yes_no) {
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kMailboxes);
    storage::DeclaredTable& mai = files.mailboxes();
    WriteMailbox(MailboxRow{101, "", "", "", ""}, &mai.buffer());
    ASSERT_EQ(mai.Get(storage::mailboxes::kMailboxKey), 0);
    MailboxRow row = ReadMailbox(mai.buffer());
    row.enable_email = yes_no;
    WriteMailbox(row, &mai.buffer());
    ASSERT_EQ(mai.Put(), 0);
  }
  std::unique_ptr<SmtpSink> server_;
  ScanOptions options_;
};

TEST_F(FolderSkippingTest, AnUnchangedFolderIsPassedOverUntilItChanges) {
  MakeRecording(101, "m1.wav", "one");
  const timespec old = HourAgo();
  SetFolderTime(Folder(), old);
  EXPECT_EQ(Pass(options_).sent, 1);

  SlipIn("m2.wav", old);
  EXPECT_EQ(Pass(options_).queued, 0);
  // Without skipping the same pass lists the folder and finds it.
  ScanOptions every = options_;
  every.skip_unchanged = false;
  EXPECT_EQ(Pass(every).sent, 1);

  // A new file moves the folder's time: listed again.
  MakeRecording(101, "m3.wav", "three");
  EXPECT_EQ(Pass(options_).sent, 1);
  EXPECT_EQ(server_->Messages(3).size(), 3u);
  // A pass of its own memory lists everything.
  SlipIn("m4.wav", FolderTime(Folder()));
  EXPECT_EQ(Pass(FastOptions()).sent, 1);
}

TEST_F(FolderSkippingTest, AFolderListedInTheTickOfItsLastChangeIsListedAgain) {
  MakeRecording(101, "m1.wav", "one");
  // The folder changed just now, so its listing falls in the same tick.
  const timespec recent = FolderTime(Folder());
  EXPECT_EQ(Pass(options_).sent, 1);
  SlipIn("m2.wav", recent);
  EXPECT_EQ(Pass(options_).sent, 1);
}

TEST_F(FolderSkippingTest, AFolderReplacedByAnotherWithTheSameTimeIsListed) {
  MakeRecording(101, "m1.wav", "one");
  const timespec old = HourAgo();
  SetFolderTime(Folder(), old);
  EXPECT_EQ(Pass(options_).sent, 1);

  fs::rename(Folder(), Folder().parent_path() / "msg.old");
  SlipIn("m2.wav", old);  // makes a new msg folder
  const ScanReport r = Pass(options_);
  EXPECT_EQ(r.queued, 1);
  EXPECT_EQ(r.sent, 1);
}

TEST_F(FolderSkippingTest, AFolderThatHeldATooYoungRecordingIsListedAgain) {
  platform::ManualClock clock;
  const int64_t now = ::time(nullptr);
  clock.Set(platform::LocalFromUnix(now, 0), now);
  options_.clock = &clock;
  MakeRecording(101, "m1.wav", "one", 10);
  SetFolderTime(Folder(), HourAgo());
  EXPECT_EQ(Pass(options_).queued, 0);
  clock.Set(platform::LocalFromUnix(now + 60, 0), now + 60);
  EXPECT_EQ(Pass(options_).sent, 1);
}

TEST_F(FolderSkippingTest, AMailboxDisabledAndEnabledAgainIsListed) {
  MakeRecording(101, "m1.wav", "one");
  const timespec old = HourAgo();
  SetFolderTime(Folder(), old);
  EXPECT_EQ(Pass(options_).sent, 1);

  SetEnabled("NO");
  SlipIn("m2.wav", old);
  EXPECT_EQ(Pass(options_).queued, 0);
  SetEnabled("YES");
  EXPECT_EQ(Pass(options_).sent, 1);
}

}  // namespace
}  // namespace vm::app::testing
