// What a pass looks at in a watched tree: while the watch is whole, only
// folders with events are listed and the others are not even stat'ed, but
// each still has its stamp taken in its turn, so a missed event delays a
// recording by at most kStampTurns passes; after lost events every folder
// is looked at, and a folder refused a watch or on a file system that may
// miss changes is looked at by every pass. The mailbox table is read only
// when its file changed, and a mailbox added or enabled is scanned at the
// next pass. The events come from a scripted watch, so the test decides
// which changes the watcher hears of. Against a real SMTP server.
#include <fcntl.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app/tree_watcher.h"
#include "app_test_support.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;
using Kind = platform::DirEvent::Kind;

// A watch whose events the test hands over, batch by batch; Deliver returns
// once the watcher has handled the batch (it is waiting for the next one).
// Watches of paths holding `refuse` are refused as at the system's limit.
class ScriptedWatch final : public platform::DirWatch {
 public:
  explicit ScriptedWatch(std::string refuse) : refuse_(std::move(refuse)) {}
  platform::Result<int> Add(const std::string& dir) override {
    if (!refuse_.empty() && dir.find(refuse_) != std::string::npos)
      return platform::Status::Error(platform::Code::kIoError, "watch " + dir + ": limit reached");
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(dir, ec)))
      return platform::Status::Error(platform::Code::kNotFound, "watch " + dir + ": not found");
    std::lock_guard<std::mutex> lock(mu_);
    ids_[dir] = next_;
    return next_++;
  }
  void Remove(int) override {}
  platform::Result<std::vector<platform::DirEvent>> Wait(int timeout_ms) override {
    std::unique_lock<std::mutex> lock(mu_);
    ++waits_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return !batch_.empty() || woken_; });
    woken_ = false;
    std::vector<platform::DirEvent> out;
    out.swap(batch_);
    if (!out.empty()) taken_at_ = waits_;
    return out;
  }
  void Wake() override {
    std::lock_guard<std::mutex> lock(mu_);
    woken_ = true;
    changed_.notify_all();
  }

  void Deliver(std::vector<platform::DirEvent> batch) {
    std::unique_lock<std::mutex> lock(mu_);
    batch_ = std::move(batch);
    taken_at_ = -1;
    changed_.notify_all();
    changed_.wait(lock, [this] { return taken_at_ >= 0 && waits_ > taken_at_; });
  }
  // An event in the watched folder `dir` about `name`.
  platform::DirEvent In(const std::string& dir, Kind kind, const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    platform::DirEvent e;
    e.kind = kind;
    e.watch = ids_.at(dir);
    e.name = name;
    return e;
  }

 private:
  std::string refuse_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::map<std::string, int> ids_;
  int next_ = 1;
  long waits_ = 0;
  long taken_at_ = -1;
  bool woken_ = false;
  std::vector<platform::DirEvent> batch_;
};

// Three mailboxes whose numbers share one stamp turn.
constexpr int kBoxes[] = {101, 111, 121};

class WatchedPassesTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = StartSinkWithSettings();
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    for (int box : kBoxes) {
      AddMailbox(box, "box" + std::to_string(box) + "@example.com", "", "YES", "YES");
      MakeRecording(box, "first.wav", "first");
    }
    options_ = FastOptions();
    options_.memory = std::make_shared<ScanMemory>();
  }
  void TearDown() override {
    watcher_.reset();
    server_.reset();
    GatewayTest::TearDown();
  }
  // Watches the tree through a scripted watch; `remote` names the folder
  // whose file system may miss changes.
  void Watch(const std::string& refuse = "", const std::string& remote = "") {
    TreeWatchOptions o;
    o.open = [this, refuse]() -> platform::Result<std::unique_ptr<platform::DirWatch>> {
      auto w = std::make_unique<ScriptedWatch>(refuse);
      watch_ = w.get();
      return std::unique_ptr<platform::DirWatch>(std::move(w));
    };
    o.may_miss = [remote](const std::string& dir) {
      return !remote.empty() && dir.find(remote) != std::string::npos;
    };
    watcher_ = std::make_unique<TreeWatcher>(std::move(o));
    watcher_->Follow(tree(), 45);
    watcher_->WaitUntilFollowing();
    options_.watcher = watcher_.get();
  }
  std::string Folder(int box) const { return tree() + "/" + std::to_string(box) + "/msg"; }
  // The folder's time put an hour back, so that its listing is remembered.
  void Age(int box) {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec -= 3600;
    const timespec times[2] = {t, t};
    ASSERT_EQ(utimensat(AT_FDCWD, Folder(box).c_str(), times, 0), 0);
  }
  // A first pass mails the first recordings and remembers every folder.
  void FirstPass() {
    for (int box : kBoxes) Age(box);
    const ScanReport r = Pass(options_);
    ASSERT_EQ(r.sent, 3);
    ASSERT_EQ(r.folders_listed, 3);
  }
  void SetEnabled(int box, const std::string& yes_no) {
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kMailboxes);
    storage::DeclaredTable& mai = files.mailboxes();
    WriteMailbox(MailboxRow{static_cast<int16_t>(box), "", "", "", ""}, &mai.buffer());
    ASSERT_EQ(mai.Get(storage::mailboxes::kMailboxKey), 0);
    MailboxRow row = ReadMailbox(mai.buffer());
    row.enable_email = yes_no;
    WriteMailbox(row, &mai.buffer());
    ASSERT_EQ(mai.Put(), 0);
  }
  // Passes until one sends; how many it took (0: none within `limit`).
  int PassesUntilSent(int limit) {
    for (int n = 1; n <= limit; ++n) {
      if (Pass(options_).sent > 0) return n;
    }
    return 0;
  }

  std::unique_ptr<SmtpSink> server_;
  ScanOptions options_;
  ScriptedWatch* watch_ = nullptr;
  std::unique_ptr<TreeWatcher> watcher_;
};

TEST_F(WatchedPassesTest, OnlyFoldersWithEventsAreLookedAtAndAMissedEventWaitsItsTurn) {
  Watch();
  FirstPass();
  // 111 gets a recording and its event; 121 one whose event is missed.
  MakeRecording(111, "heard.wav", "heard");
  MakeRecording(121, "missed.wav", "missed");
  Age(111);
  Age(121);
  watch_->Deliver({watch_->In(Folder(111), Kind::kClosedAfterWriting, "heard.wav")});

  ScanReport r = Pass(options_);
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(r.folders_listed, 1);
  EXPECT_EQ(r.folders_stamped, 1);  // 121 changed, but nothing said so
  r = Pass(options_);
  EXPECT_EQ(r.folders_stamped, 0);
  EXPECT_EQ(r.sent, 0);
  // Its stamp is taken in its turn, at the latest kStampTurns passes after
  // the change (two of them done).
  const int passes = PassesUntilSent(kStampTurns);
  EXPECT_GT(passes, 0);
  EXPECT_LE(passes, kStampTurns - 2);
  EXPECT_EQ(server_->Messages(5).size(), 5u);
}

TEST_F(WatchedPassesTest, AfterLostEventsEveryFolderIsLookedAtAgain) {
  Watch();
  FirstPass();
  MakeRecording(101, "missed.wav", "missed");
  Age(101);
  platform::DirEvent overflow;
  overflow.kind = Kind::kOverflow;
  watch_->Deliver({overflow});
  const ScanReport r = Pass(options_);
  EXPECT_EQ(r.folders_listed, 3);
  EXPECT_EQ(r.sent, 1);
  // Then only folders with events again.
  EXPECT_EQ(Pass(options_).folders_listed, 0);
}

TEST_F(WatchedPassesTest, AFolderRefusedAWatchOrOnARemoteFileSystemIsLookedAtByEveryPass) {
  Watch("/111/", "/121/");
  FirstPass();
  for (int n = 0; n < 2; ++n) {
    const ScanReport r = Pass(options_);
    EXPECT_EQ(r.folders_listed, 1);   // 111, refused a watch, is listed every pass
    EXPECT_EQ(r.folders_stamped, 2);  // 121 has its stamp taken
  }
  MakeRecording(121, "unheard.wav", "unheard");  // no event, but a newer time
  EXPECT_EQ(Pass(options_).sent, 1);
}

TEST_F(WatchedPassesTest, TheMailboxTableIsReadAgainOnlyOnceItChanged) {
  FirstPass();
  EXPECT_EQ(Pass(options_).mailboxes_read, 0);
  AddMailbox(131, "box131@example.com", "", "YES", "YES");
  MakeRecording(131, "new.wav", "new");
  ScanReport r = Pass(options_);
  EXPECT_EQ(r.mailboxes_read, 4);
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(Pass(options_).mailboxes_read, 0);

  SetEnabled(101, "NO");
  MakeRecording(101, "while_off.wav", "off");
  r = Pass(options_);
  EXPECT_EQ(r.mailboxes_read, 4);
  EXPECT_EQ(r.sent, 0);
  SetEnabled(101, "YES");
  r = Pass(options_);
  EXPECT_EQ(r.mailboxes_read, 4);
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(server_->Messages(5).size(), 5u);
}

}  // namespace
}  // namespace vm::app::testing
