// SIGTERM in the middle of a message, the program as a service manager
// stops it: a message the server has not had whole is abandoned at once and
// stays waiting for the next run; one past its end of data gets its reply
// written, or after a few seconds without one its time-out. The run ends
// within seconds in every case, not after the minutes a send may take.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app_test_support.h"
#include "spawn_program.h"

namespace vm::app::testing {
namespace {

using test_process::WaitExit;

// Retries off: the outcome a stop leaves is written as it always was (a
// failure that passes would otherwise wait for a retry).
class StopTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    SetRetryFor(0);
  }
  // Starts --scan-once with its output in `log_`.
  pid_t StartScan() {
    const std::string log = LogPath();
    return test_process::SpawnProgram(
        {BinaryPath("voicemail-mailer"), "--scan-once", "--data-dir", data_dir()},
        test_process::SpawnOptions().Output(log).Errors(log));
  }
  static bool WaitFor(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!flag && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return flag;
  }
  std::string LogPath() const { return (root() / "scan.log").string(); }
  std::string Output() const { return ReadFileBytes(LogPath()); }
};

// The dialogue up to DATA; `at_end` answers the end of data, and RCPT gets
// `at_rcpt` when that is set.
std::string Dialogue(const std::string& line, const std::string& at_end,
                     const std::string* at_rcpt = nullptr) {
  if (line == "<end of data>") return at_end;
  if (line.rfind("RCPT", 0) == 0 && at_rcpt != nullptr) return *at_rcpt;
  if (line == "DATA") return "354 go ahead\r\n";
  if (line == "QUIT") return "221 bye\r\n<close>";
  return "250 ok\r\n";
}

TEST_F(StopTest, AMessageTheServerHasNotHadWholeIsAbandonedAndStaysWaiting) {
  std::atomic<bool> at_rcpt{false};
  ScriptedSmtp silent_at_rcpt([&](const std::string& line) {
    if (line.rfind("RCPT", 0) == 0) at_rcpt = true;
    static const std::string kNothing;
    return Dialogue(line, "250 queued\r\n", &kNothing);
  });
  ASSERT_NE(silent_at_rcpt.port(), 0);
  WriteSettings(silent_at_rcpt.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  MakeRecording(101, "a.wav", "audio");
  const pid_t pid = StartScan();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor(at_rcpt)) << Output();
  kill(pid, SIGTERM);
  // The reply limit is a minute; the stop does not wait for it.
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(20)), 0) << Output();
  EXPECT_NE(Output().find("send_mail: stopped before the end of the message: mailbox 101 file "
                          "a.wav stays waiting"),
            std::string::npos)
      << Output();
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].processed, 0);
  EXPECT_EQ(silent_at_rcpt.messages(), 0);

  // The next run sends it.
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  EXPECT_EQ(WaitExit(StartScan(), std::chrono::seconds(60)), 0) << Output();
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].error, "Nil");
  EXPECT_EQ(server.Messages(1).size(), 1u);
}

TEST_F(StopTest, AMessagePastItsEndOfDataGetsItsReplyWritten) {
  std::atomic<bool> at_end{false};
  ScriptedSmtp slow_to_accept([&](const std::string& line) {
    if (line == "<end of data>") {
      at_end = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    return Dialogue(line, "250 queued as 7\r\n");
  });
  ASSERT_NE(slow_to_accept.port(), 0);
  WriteSettings(slow_to_accept.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  MakeRecording(101, "a.wav", "audio");
  MakeRecording(101, "b.wav", "audio");
  const pid_t pid = StartScan();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor(at_end)) << Output();
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(20)), 0) << Output();
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].processed, 1);
  EXPECT_EQ(log[0].error, "Nil");
  EXPECT_EQ(log[1].processed, 0) << "the pass went on after the stop";
  EXPECT_EQ(slow_to_accept.messages(), 1);
}

TEST_F(StopTest, AReplyThatDoesNotComeAfterTheStopIsWaitedForSecondsNotMinutes) {
  std::atomic<bool> at_end{false};
  ScriptedSmtp never_accepts([&](const std::string& line) {
    if (line == "<end of data>") at_end = true;
    return Dialogue(line, "");
  });
  ASSERT_NE(never_accepts.port(), 0);
  WriteSettings(never_accepts.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "audio");
  const pid_t pid = StartScan();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor(at_end)) << Output();
  kill(pid, SIGTERM);
  // The grace after a stop is 10 s; the reply limit a minute.
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(30)), 1) << Output();
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].processed, 1);
  EXPECT_EQ(log[0].error_code, -53);
  EXPECT_NE(log[0].error.find("of the stop request"), std::string::npos) << log[0].error;
}

}  // namespace
}  // namespace vm::app::testing
