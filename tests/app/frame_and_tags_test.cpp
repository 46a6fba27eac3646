// The frame (first-run settings, timer-driven and menu-started passes, one
// pass at a time) and the place-holders of the body templates.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/frame.h"
#include "app/records.h"
#include "app/tags.h"
#include "app_test_support.h"
#include "runtime/date_time.h"
#include "runtime/window.h"

namespace vm::app::testing {
namespace {

TEST(TagsTest, FirstOccurrenceOfEachTagInAnyCase) {
  const int32_t july5 = runtime::DayFromDate(2003, 7, 5);
  const int32_t nine09 = runtime::TimeFrom(9, 9);
  EXPECT_EQ(FillTags("Box <ext>, again <EXT>.", july5, nine09, 101), "Box 101 , again <EXT>.");
  EXPECT_EQ(FillTags("<Date>|<time>|<Ext>", july5, nine09, 7), " 5/07/03 | 9:09 |7 ");
  EXPECT_EQ(FillTags("no tags here", july5, nine09, 7), "no tags here");
  EXPECT_EQ(FillTags("<DATE><DATE>", runtime::DayFromDate(2026, 12, 25), runtime::TimeFrom(23, 5), 1),
            "25/12/26 <DATE>");
  // The filled text is cut to the template's 999 characters.
  const std::string filled = FillTags(std::string(995, 'x') + "<EXT>", july5, nine09, 12345);
  EXPECT_EQ(filled.size(), kBodyCapacity);
  EXPECT_EQ(filled.substr(995), "1234");
}

TEST(RecordsTest, BodiesAreNulTerminatedAndCutAt999) {
  std::vector<char> buffer(2622, 'z');
  ControlRow row = DefaultSettings();
  row.attachment_body = std::string(1200, 'a');
  row.nonattachment_body = "short";
  WriteControl(row, &buffer);
  const ControlRow back = ReadControl(buffer);
  EXPECT_EQ(back.attachment_body, std::string(999, 'a'));
  EXPECT_EQ(back.nonattachment_body, "short");
  EXPECT_EQ(back.port, 25);
  EXPECT_EQ(buffer[622 + 999], '\0');
}

class FrameTest : public GatewayTest {};

TEST_F(FrameTest, FirstRunAddsSettingsAndTheTimerAndMenuRunPasses) {
  std::mutex mu;
  std::vector<ScanReport> reports;
  std::atomic<int> passes{0};
  FrameOptions o;
  o.data_dir = data_dir();
  o.timer = 20;
  o.scan = FastOptions();
  std::shared_ptr<runtime::WindowModel> frame;
  std::atomic<bool> opened{false};
  o.on_open = [&](runtime::Window& w) {
    frame = w.model();
    EXPECT_EQ(w.timer(), 20);
    EXPECT_NE(w.control("?FILESENDMAIL").number(), 0);
    EXPECT_EQ(w.control("?FILECONTROL").number(), 0) << "an item whose window does not exist";
    opened = true;
  };
  o.on_scan = [&](const ScanReport& r) {
    std::lock_guard<std::mutex> lock(mu);
    reports.push_back(r);
    ++passes;
  };
  std::thread t([&] { Main(o); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (passes < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(opened);
  EXPECT_GE(passes.load(), 2) << "the timer did not run passes";
  // Spooler off: the timer stops; "Send Mail" still runs a pass.
  frame->UserChoseMenuItem(frame->NumberOf("?GLO:SPOOLERSPOOLERON"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int before = passes;
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(passes.load(), before) << "passes ran with the spooler off";
  frame->UserChoseMenuItem(frame->NumberOf("?FILESENDMAIL"));
  while (passes == before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(passes.load(), before + 1);
  frame->UserChoseMenuItem(frame->NumberOf("?EXIT"));
  t.join();

  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kControl);
  ASSERT_EQ(open.code(), 0);
  ASSERT_EQ(files.control().Set(), 0);
  ASSERT_EQ(files.control().Next(), 0);
  const ControlRow settings = ReadControl(files.control().buffer());
  EXPECT_EQ(settings.port, 25);
  EXPECT_EQ(settings.idle_time, "60");
  EXPECT_EQ(settings.from.rfind("VoiceMail <", 0), 0u);
  EXPECT_NE(files.control().Next(), 0) << "more than one settings record";
  std::lock_guard<std::mutex> lock(mu);
  for (const ScanReport& r : reports) EXPECT_TRUE(r.settings_found);
}

TEST_F(FrameTest, TwoPassesAtOnceRunOneAfterTheOther) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  for (int i = 0; i < 6; ++i) MakeRecording(101, "r" + std::to_string(i) + ".wav", "x");

  std::mutex mu;
  std::vector<std::string> events;  // "A:text" / "B:text" in the order shown
  const auto run = [&](const char* who, ScanReport* out) {
    ScanOptions o = FastOptions();
    o.on_status = [&, who](const std::string& s) {
      std::lock_guard<std::mutex> lock(mu);
      events.push_back(std::string(who) + ":" + s);
    };
    GatewayFiles files(data_dir());
    *out = send_mail(files, o);
  };
  ScanReport a, b;
  std::thread ta(run, "A", &a);
  std::thread tb(run, "B", &b);
  ta.join();
  tb.join();
  EXPECT_EQ(a.sent + b.sent, 6);
  EXPECT_EQ(a.queued + b.queued, 6);
  EXPECT_EQ(Log().size(), 6u);
  EXPECT_EQ(server.Messages(6).size(), 6u) << "a recording was sent twice";
  // The texts of one pass never interleave with the other's.
  ASSERT_FALSE(events.empty());
  int switches = 0;
  for (size_t i = 1; i < events.size(); ++i) switches += events[i][0] != events[i - 1][0] ? 1 : 0;
  EXPECT_EQ(switches, 1);
}

}  // namespace
}  // namespace vm::app::testing
