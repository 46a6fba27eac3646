// The frame with the tree watched: a recording closed (or renamed into msg)
// is mailed once it has settled, with the timer an hour away; one written in
// pieces is mailed whole, once; a mailbox folder made after the start is
// watched; lost events and a refused watch fall back to the timer with one
// warning line each, and nothing is missed. Against a real SMTP server.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/frame.h"
#include "app/settings_file.h"
#include "app_test_support.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr int kHour = 360000;  // the timer's period, in hundredths

// The kernel's watch, with watches of folders whose path holds `refuse`
// refused as at the system's limit, and, once `lose` is set, every batch of
// events replaced by one overflow.
class LossyWatch final : public platform::DirWatch {
 public:
  LossyWatch(std::unique_ptr<platform::DirWatch> real, std::string refuse,
             std::shared_ptr<std::atomic<bool>> lose)
      : real_(std::move(real)), refuse_(std::move(refuse)), lose_(std::move(lose)) {}
  platform::Result<int> Add(const std::string& dir) override {
    if (!refuse_.empty() && dir.find(refuse_) != std::string::npos)
      return platform::Status::Error(platform::Code::kIoError, "watch " + dir + ": limit reached");
    return real_->Add(dir);
  }
  void Remove(int watch) override { real_->Remove(watch); }
  platform::Result<std::vector<platform::DirEvent>> Wait(int timeout_ms) override {
    platform::Result<std::vector<platform::DirEvent>> r = real_->Wait(timeout_ms);
    if (!r.ok() || r->empty() || !lose_->load()) return r;
    platform::DirEvent overflow;
    overflow.kind = platform::DirEvent::Kind::kOverflow;
    return std::vector<platform::DirEvent>{overflow};
  }
  void Wake() override { real_->Wake(); }

 private:
  std::unique_ptr<platform::DirWatch> real_;
  std::string refuse_;
  std::shared_ptr<std::atomic<bool>> lose_;
};

class TreeWatchTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = StartSinkWithSettings();
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    AddMailbox(101, "alice@example.com", "", "YES", "YES");
  }
  void TearDown() override {
    Stop();
    server_.reset();
    GatewayTest::TearDown();
  }
  void SetSettle(const std::string& seconds) {
    auto file = SettingsFile::Read(data_dir());
    ASSERT_TRUE(file.ok());
    file->Set(kKeySettle, seconds);
    ASSERT_TRUE(file->Write().ok());
  }
  // Runs the frame on a thread of its own; returns once the tree is watched.
  void Start(int timer = kHour, TreeWatchOptions watch = {}) {
    FrameOptions o;
    o.data_dir = data_dir();
    o.timer = timer;
    o.scan = FastOptions();
    o.watch = std::move(watch);
    o.on_open = [this](runtime::Window& w) {
      frame_ = w.model();
      opened_ = true;
    };
    o.on_scan = [this](const ScanReport&) { ++passes_; };
    frame_thread_ = std::thread([o] { Main(o); });
    const auto deadline = steady_clock::now() + seconds(20);
    while (!opened_ && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(10));
    ASSERT_TRUE(opened_);
  }
  void Stop() {
    if (!frame_thread_.joinable()) return;
    frame_->UserChoseMenuItem(frame_->NumberOf("?EXIT"));
    frame_thread_.join();
  }
  fs::path Msg(int box) const { return fs::path(tree()) / std::to_string(box) / "msg"; }
  // Messages received within `limit` (at least `count`, if they come).
  size_t WaitForMessages(size_t count, seconds limit) const {
    const auto deadline = steady_clock::now() + limit;
    while (server_->Messages().size() < count && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(20));
    return server_->Messages().size();
  }
  size_t CountLines(const std::string& text) const {
    const std::vector<std::string> lines = sink_->Lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }

  std::unique_ptr<SmtpSink> server_;
  std::shared_ptr<runtime::WindowModel> frame_;
  std::atomic<bool> opened_{false};
  std::atomic<int> passes_{0};
  std::thread frame_thread_;
};

TEST_F(TreeWatchTest, ARecordingClosedOrMovedIntoMsgIsMailedOnceSettledWithTheTimerFarAway) {
  SetSettle("1");
  Start();
  std::ofstream(Msg(101) / "m1.wav", std::ios::binary) << "first recording";
  EXPECT_EQ(WaitForMessages(1, seconds(20)), 1u) << "not mailed before the hour's timer";

  // A recorder that writes elsewhere and renames into msg.
  const fs::path elsewhere = fs::path(tree()) / "incoming.tmp";
  std::ofstream(elsewhere, std::ios::binary) << "second recording";
  fs::rename(elsewhere, Msg(101) / "m2.wav");
  EXPECT_EQ(WaitForMessages(2, seconds(20)), 2u);
  Stop();
  EXPECT_EQ(passes_.load(), 2) << "one pass for each recording, none from the timer";
}

TEST_F(TreeWatchTest, ARecordingWrittenInPiecesIsMailedWholeOnce) {
  SetSettle("2");
  Start();
  // Each piece is appended and closed, as some recorders do, with pauses
  // shorter than settle: every close makes a pass due, none may mail it.
  const std::string piece(4000, 'p');
  const fs::path path = Msg(101) / "long.wav";
  for (int i = 0; i < 5; ++i) {
    std::ofstream(path, std::ios::binary | std::ios::app) << piece;
    std::this_thread::sleep_for(milliseconds(600));
  }
  ASSERT_EQ(WaitForMessages(1, seconds(20)), 1u);
  std::this_thread::sleep_for(seconds(3));  // the later passes that were due
  const std::vector<fs::path> messages = server_->Messages();
  ASSERT_EQ(messages.size(), 1u);
  const std::vector<std::string> dump = DumpMail(messages[0]);
  EXPECT_NE(std::find(dump.begin(), dump.end(),
                      "attachment long.wav 20000 " + Sha256OfFile(path.string())),
            dump.end());
}

TEST_F(TreeWatchTest, AMailboxFolderMadeAfterTheStartIsWatched) {
  SetSettle("1");
  Start();
  AddMailbox(102, "bob@example.com", "", "YES", "YES");  // makes 102/msg
  const auto deadline = steady_clock::now() + seconds(20);
  while (passes_ < 1 && steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  ASSERT_GE(passes_.load(), 1) << "the new folder made a pass due";
  std::ofstream(Msg(102) / "new.wav", std::ios::binary) << "for bob";
  EXPECT_EQ(WaitForMessages(1, seconds(20)), 1u);
}

TEST_F(TreeWatchTest, LostEventsAndARefusedWatchFallBackToTheTimerWithOneWarningEach) {
  SetSettle("1");
  AddMailbox(102, "bob@example.com", "", "YES", "YES");
  auto lose = std::make_shared<std::atomic<bool>>(false);
  TreeWatchOptions watch;
  watch.open = [lose]() -> platform::Result<std::unique_ptr<platform::DirWatch>> {
    auto real = platform::OpenDirWatch();
    if (!real.ok()) return real.status();
    return std::unique_ptr<platform::DirWatch>(new LossyWatch(std::move(*real), "/102/msg", lose));
  };
  Start(300, watch);  // a timer of 3 s
  lose->store(true);
  for (int i = 0; i < 3; ++i) {
    std::ofstream(Msg(101) / ("a" + std::to_string(i) + ".wav"), std::ios::binary) << "a";
    std::ofstream(Msg(102) / ("b" + std::to_string(i) + ".wav"), std::ios::binary) << "b";
    std::this_thread::sleep_for(milliseconds(300));
  }
  EXPECT_EQ(WaitForMessages(6, seconds(30)), 6u);
  Stop();
  EXPECT_EQ(CountLines("some folders are not watched"), 1u);
  EXPECT_EQ(CountLines("events of the tree were lost"), 1u);
}

}  // namespace
}  // namespace vm::app::testing
