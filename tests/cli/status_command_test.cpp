// `status` for monitoring: what the program records at each pass, read
// back with the exit statuses a check acts on (0 healthy, 1 look at it, 2
// cannot tell), the service seen through its lock without taking it, and the
// JSON form read by a strict parser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/instance_lock.h"
#include "app/service_status.h"
#include "cli_test_support.h"

namespace vm::cli::testing {
namespace {

namespace fs = std::filesystem;
using app::testing::RunCommand;
using app::testing::SmtpSink;

class StatusCommandTest : public CliTest {
 protected:
  void Record(const app::ServiceStatus& s) {
    std::ofstream(fs::path(data_dir()) / app::kStatusFileName) << app::FormatServiceStatus(s);
  }
  static int64_t Now() { return platform::SystemClock().UnixSeconds(); }
  // One field of the JSON form, read by Python.
  std::string JsonField(const std::string& json, const std::string& field) {
    const std::string file = (root() / "status.json").string();
    std::ofstream(file) << json;
    int status = -1;
    const std::string out =
        RunCommand("/usr/bin/python3 -c \"import json,sys; print(json.load(open(sys.argv[1]))['" +
                       field + "'])\" '" + file + "'",
                   &status);
    EXPECT_EQ(status, 0) << out;
    return out.substr(0, out.size() - 1);
  }
};

TEST_F(StatusCommandTest, PassesRecordedByTheProgramAndTheExitAChecksActsOn) {
  const Outcome none = Run({"status"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.out.find("health: unknown; no pass has been recorded"), std::string::npos)
      << none.out;

  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  MakeRecording(101, "a.wav", "audio");
  MakeRecording(101, "young.wav", "audio", 0);  // waits for the age test
  ASSERT_EQ(Run({"--scan-once"}).status, 0);
  const Outcome ok = Run({"status"});
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_NE(ok.out.find("service: not running"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("(1 queued, 1 sent, 0 failed)"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find("health: ok\n"), std::string::npos) << ok.out;
  const Outcome json = Run({"status", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(JsonField(json.out, "health"), "ok");
  EXPECT_EQ(JsonField(json.out, "waiting"), "0");
  EXPECT_EQ(JsonField(json.out, "service_running"), "False");

  // A send that failed: looked at (1) for an hour, counted for a day.
  AddMailbox(102, "reject@example.com", "", "YES", "NO");
  MakeRecording(102, "b.wav", "audio");
  ASSERT_EQ(Run({"--scan-once"}).status, 1);
  const Outcome failed = Run({"status", "--json"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(JsonField(failed.out, "failed_1h"), "1");
  EXPECT_EQ(JsonField(failed.out, "failed_24h"), "1");
  EXPECT_NE(JsonField(failed.out, "last_failure").find("mailbox 102 file b.wav: 550 "),
            std::string::npos);
  EXPECT_EQ(JsonField(failed.out, "health"), "warning");

  // The rows waiting come from the log's statistics.
  app::ProcessedRow waiting;
  waiting.filename = "w.wav";
  waiting.error = "0";
  AddRow(waiting);
  waiting.filename = "v.wav";
  AddRow(waiting);
  EXPECT_EQ(JsonField(Run({"status", "--json"}).out, "waiting"), "2");
}

TEST_F(StatusCommandTest, StalePassesOldFailuresAndALongPass) {
  app::ServiceStatus s;
  s.pass_started = Now() - 3600;
  s.pass_ended = Now() - 3590;
  Record(s);
  Outcome o = Run({"status"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("more than three scan periods"), std::string::npos) << o.out;

  // A pass that started a moment ago and still runs is no stall.
  s.pass_started = Now() - 5;
  Record(s);
  o = Run({"status"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("pass running since"), std::string::npos) << o.out;

  // Failures two hours and two days ago: the first counts for the day only.
  s.pass_ended = Now() - 10;
  s.failures = {{Now() - 2 * 86400, 5}, {Now() - 7200, 2}};
  s.last_failure_at = Now() - 7200;
  s.last_failure = "mailbox 7 file x.wav: 10061 refused\x1b[2J";
  Record(s);
  o = Run({"status"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("failed in the last 24 hours: 2\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("10061 refused\\x1b[2J\n"), std::string::npos) << o.out;

  // A longer period (from the program that wrote the file) moves the limit.
  s.period_seconds = 600;
  s.pass_started = s.pass_ended = Now() - 1000;
  Record(s);
  EXPECT_EQ(Run({"status"}).status, 0);

  std::ofstream(fs::path(data_dir()) / app::kStatusFileName) << "not a status file\n";
  o = Run({"status"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.out.find("is not a status file"), std::string::npos) << o.out;
  EXPECT_EQ(Run({"status", "--data-dir", data_dir() + "/missing"}).status, 2);
  EXPECT_EQ(Run({"status", "extra"}).status, 2);
}

TEST_F(StatusCommandTest, ARunningServiceIsSeenWithoutTakingItsLock) {
  app::ServiceStatus s;
  s.pass_started = s.pass_ended = Now();
  Record(s);
  std::string error;
  auto lock = app::InstanceLock::Acquire(data_dir(), &error);
  ASSERT_NE(lock, nullptr) << error;
  const Outcome o = Run({"status"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("service: running on " + data_dir()), std::string::npos) << o.out;
  lock.reset();
  EXPECT_NE(Run({"status"}).out.find("service: not running"), std::string::npos);
  // Asking never took the lock: a service still starts at once.
  EXPECT_NE(app::InstanceLock::Acquire(data_dir(), &error), nullptr) << error;
}

TEST(ServiceStatusTest, TheRecordersFileRoundTripsAndForgetsOldFailures) {
  platform::ManualClock clock;
  const auto dir = fs::temp_directory_path() / ("vm_status_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    app::StatusRecorder recorder(dir.string(), 60, clock);
    recorder.PassStarted();
    app::ScanReport r;
    r.failed = 2;
    r.last_failure = "mailbox 1 file a\\b.wav: 550 two\r\nlines";
    clock.AdvanceMilliseconds(1500);
    recorder.PassEnded(r);
    ASSERT_TRUE(recorder.last_write().ok()) << recorder.last_write().message();
  }
  auto read = app::ReadServiceStatus(dir.string());
  ASSERT_TRUE(read.ok() && read.value());
  EXPECT_EQ(read.value()->failures.size(), 1u);
  EXPECT_EQ(read.value()->last_failure, "mailbox 1 file a\\b.wav: 550 two\r\nlines");
  EXPECT_FALSE(read.value()->pass_running());
  {
    // A later program starts from the file; a day on, the failure is gone.
    app::StatusRecorder recorder(dir.string(), 60, clock);
    for (int i = 0; i < 25; ++i) clock.AdvanceMilliseconds(3600 * 1000);
    recorder.PassStarted();
    recorder.PassEnded(app::ScanReport{});
  }
  read = app::ReadServiceStatus(dir.string());
  ASSERT_TRUE(read.ok() && read.value());
  EXPECT_TRUE(read.value()->failures.empty());
  EXPECT_EQ(read.value()->FailedSince(0), 0);
  EXPECT_EQ(read.value()->last_failure, "mailbox 1 file a\\b.wav: 550 two\r\nlines");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace vm::cli::testing
