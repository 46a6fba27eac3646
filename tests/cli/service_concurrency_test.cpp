// The commands while a headless service passes every second over the same
// directory, as an operator would run them on a live server: 200 settings,
// mailbox, log and status commands between the passes and during them, new
// recordings arriving meanwhile. Afterwards every table file is sound, every
// recording was mailed exactly once, the last values written stand, and no
// command waited more than a few seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "app/gateway_files.h"
#include "cli_test_support.h"
#include "spawn_program.h"

namespace vm::cli::testing {
namespace {

using app::testing::BinaryPath;
using app::testing::ReadFileBytes;
using app::testing::SmtpSink;
using Clock = std::chrono::steady_clock;
using test_process::WaitExit;

// A command that takes longer is a hang, not a slow machine: the service
// holds a table's update lock for one commit at a time.
constexpr auto kCommandLimit = std::chrono::seconds(10);

class ServiceConcurrencyTest : public CliTest {
 protected:
  // The program with `args`, its standard error to `log`, passing every
  // second (the test-only period).
  pid_t StartService(const std::string& log) {
    return test_process::SpawnProgram(
        {BinaryPath("voicemail-mailer"), "--headless", "--data-dir", data_dir()},
        test_process::SpawnOptions().Errors(log).Set("VM_TEST_SCAN_PERIOD", "100"));
  }
  // The command of round `i`, as the operator's script cycles through them.
  static std::vector<std::string> CommandOf(int i) {
    switch (i % 8) {
      case 0:
        return {"settings", "set", "subject=Voice message " + std::to_string(i)};
      case 1:
        return {"mailbox", "set", "101", "--cc", "cc" + std::to_string(i) + "@example.com"};
      case 2:
        return {"mailbox", "add", std::to_string(5000 + i), "x@example.com", "--disabled"};
      case 3:
        return {"mailbox", "remove", std::to_string(5000 + i - 1)};
      case 4:
        return {"settings", "show"};
      case 5:
        return {"mailbox", "list"};
      case 6:
        return {"log", "--last", "5", "--json"};
      default:
        return {"status", "--json"};
    }
  }
};

TEST_F(ServiceConcurrencyTest, TwoHundredCommandsWhileAServicePassesEverySecond) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  for (int box = 101; box <= 104; ++box)
    AddMailbox(box, "box" + std::to_string(box) + "@example.com", "", "YES",
               box % 2 ? "YES" : "NO");
  std::set<std::string> recordings;
  const auto record = [&](int i) {
    const std::string name = "r" + std::to_string(i) + ".wav";
    MakeRecording(101 + i % 4, name, std::string(1000 + 37 * i, static_cast<char>(i)));
    recordings.insert(name);
  };
  for (int i = 0; i < 10; ++i) record(i);

  const std::string log = (root() / "service.log").string();
  const pid_t service = StartService(log);
  ASSERT_GT(service, 0);
  Clock::duration slowest{};
  std::set<std::string> passes_seen;  // the starts of passes that status reported
  for (int i = 0; i < 200; ++i) {
    if (i % 5 == 0) record(100 + i);
    const std::vector<std::string> words = CommandOf(i);
    const auto start = Clock::now();
    const Outcome o = Run(words);
    slowest = std::max(slowest, Clock::now() - start);
    if (words[0] == "status") {
      // Before the service's first pass there is nothing to tell yet.
      EXPECT_TRUE(o.status == 0 || (o.status == 2 && passes_seen.empty())) << i << ": " << o.out;
      const size_t at = o.out.find("\"pass_started\":");
      if (at != std::string::npos) passes_seen.insert(o.out.substr(at, 36));
    } else {
      EXPECT_EQ(o.status, 0) << i << " " << words[0] << " " << words[1] << ": " << o.err;
    }
    // The commands are spread over about ten of the service's passes however
    // fast they run, so that they meet passes starting, sending and ending.
    std::this_thread::sleep_until(start + std::chrono::milliseconds(50));
  }
  EXPECT_LT(slowest, kCommandLimit);
  // The commands met many passes, not one.
  EXPECT_GE(passes_seen.size(), 5u);
  std::printf("slowest of 200 commands: %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()));

  // The service mails what is left, then stops on SIGTERM.
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  size_t done = 0;
  while (Clock::now() < deadline) {
    done = 0;
    for (const app::ProcessedRow& r : Log()) done += r.processed == 1;
    if (done >= recordings.size()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ::kill(service, SIGTERM);
  EXPECT_EQ(WaitExit(service, std::chrono::seconds(60)), 0) << ReadFileBytes(log);

  EXPECT_EQ(CheckTables(data_dir()), "");
  std::multiset<std::string> logged;
  for (const app::ProcessedRow& r : Log()) {
    logged.insert(r.filename);
    EXPECT_EQ(r.processed, 1) << r.filename;
    EXPECT_EQ(r.error, "Nil") << r.filename;
  }
  EXPECT_EQ(logged, std::multiset<std::string>(recordings.begin(), recordings.end()));
  EXPECT_EQ(server.Messages(recordings.size()).size(), recordings.size())
      << "a recording was mailed twice or not at all";

  // The last values the commands wrote stand.
  const Outcome settings = Run({"settings", "show"});
  EXPECT_NE(settings.out.find("subject=Voice message 192\n"), std::string::npos);
  const Outcome boxes = Run({"mailbox", "list"});
  EXPECT_NE(boxes.out.find("101\tbox101@example.com\tcc193@example.com\tYES\tYES\n"),
            std::string::npos)
      << boxes.out;
  EXPECT_EQ(boxes.out.find("\tx@example.com\t"), std::string::npos) << "an added box was left";
}

}  // namespace
}  // namespace vm::cli::testing
