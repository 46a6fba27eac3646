// The program as a user starts it: exit statuses of --scan-once, the lock on
// the working directory, SIGTERM of the headless service, and passes killed
// at random moments that the next pass completes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "app/instance_lock.h"
#include "app/retry_state.h"
#include "app_test_support.h"
#include "spawn_program.h"

namespace vm::app::testing {
namespace {

using test_process::WaitExit;

class ProgramTest : public GatewayTest {
 protected:
  std::string Program() const { return BinaryPath("voicemail-mailer"); }
  int ScanOnce(std::string* output = nullptr) {
    int status = -1;
    const std::string out =
        RunCommand("'" + Program() + "' --scan-once --data-dir '" + data_dir() + "'", &status);
    if (output != nullptr) *output = out;
    return status;
  }
  // Starts the program with `args`; standard error goes to `log`.
  pid_t Start(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> argv = {Program()};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_process::SpawnProgram(argv, test_process::SpawnOptions().Errors(log));
  }
};

TEST_F(ProgramTest, ScanOnceExitStatuses) {
  std::string out;
  EXPECT_EQ(ScanOnce(&out), 2) << "no settings record: " << out;
  EXPECT_NE(out.find("no settings record"), std::string::npos) << out;

  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  MakeRecording(101, "a.wav", "audio");
  EXPECT_EQ(ScanOnce(&out), 0) << out;
  EXPECT_NE(out.find("send_mail: sent mailbox 101 file a.wav: Nil"), std::string::npos) << out;

  AddMailbox(102, "reject@example.com", "", "YES", "NO");
  MakeRecording(102, "b.wav", "audio");
  EXPECT_EQ(ScanOnce(&out), 1) << out;
  EXPECT_NE(out.find("send_mail: failed mailbox 102 file b.wav"), std::string::npos) << out;

  int status = -1;
  RunCommand("'" + Program() + "' --scan-once --data-dir '" + (root() / "missing").string() + "'",
             &status);
  EXPECT_EQ(status, 2);

  // A log file that is not a table file at all.
  std::ofstream(data_dir() + "/PROCESSE.KFS", std::ios::binary | std::ios::trunc)
      << std::string(4096, 'G');
  EXPECT_EQ(ScanOnce(&out), 2) << out;
  EXPECT_NE(out.find("File ProcessedFiles could not be opened.  Error: "), std::string::npos)
      << out;
}

TEST_F(ProgramTest, SecondInstanceOnTheSameDirectoryIsRefused) {
  std::string error;
  auto lock = InstanceLock::Acquire(data_dir(), &error);
  ASSERT_NE(lock, nullptr) << error;
  std::string out;
  EXPECT_EQ(ScanOnce(&out), 2);
  EXPECT_NE(out.find("already running on the working directory " + data_dir()), std::string::npos)
      << out;
  std::string second_error;
  EXPECT_EQ(InstanceLock::Acquire(data_dir(), &second_error), nullptr);
  lock.reset();
  EXPECT_NE(InstanceLock::Acquire(data_dir(), &second_error), nullptr) << second_error;
}

TEST_F(ProgramTest, HeadlessServiceEndsOnSigterm) {
  SmtpSink server(root() / "received");
  WriteSettings(server.port());
  const std::string log = (root() / "headless.log").string();
  const pid_t pid = Start({"--headless", "--data-dir", data_dir()}, log);
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(20)), 0) << ReadFileBytes(log);
  EXPECT_NE(ReadFileBytes(log).find("stopping after the message in flight"), std::string::npos)
      << ReadFileBytes(log);
}

TEST_F(ProgramTest, SigtermEndsThePassAfterTheMessageInFlightWithItsOutcomeWritten) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  for (int i = 0; i < 40; ++i)
    MakeRecording(101, "t" + std::to_string(i) + ".wav", std::string(3000, 'a'));
  const std::string log = (root() / "term.log").string();
  const pid_t pid = Start({"--scan-once", "--data-dir", data_dir()}, log);
  ASSERT_GT(pid, 0);
  // Wait for the first send, then ask the pass to stop.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFileBytes(log).find("send_mail: sent") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(30)), 0) << ReadFileBytes(log);
  size_t done = 0;
  for (const ProcessedRow& row : Log()) {
    if (row.processed == 1) {
      ++done;
      EXPECT_EQ(row.error, "Nil") << row.filename;
    }
  }
  EXPECT_GE(done, 1u);
  EXPECT_LT(done, 40u) << "the pass did not stop early";
  // Every message the server took has its outcome in the log, and no more.
  EXPECT_EQ(server.Messages(done).size(), done);
}

TEST_F(ProgramTest, PassesKilledAtRandomMomentsAreCompletedByTheNextPass) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  AddMailbox(102, "bob@example.com", "", "YES", "NO");
  constexpr int kRecordings = 50;
  for (int i = 0; i < kRecordings; ++i) {
    MakeRecording(101 + i % 2, "rec" + std::to_string(i) + ".wav",
                  std::string(2000 + i * 37, static_cast<char>(i)));
  }
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> delay_ms(5, 400);
  for (int round = 0; round < 8; ++round) {
    const pid_t pid =
        Start({"--scan-once", "--data-dir", data_dir()}, (root() / "killed.log").string());
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  std::string out;
  EXPECT_EQ(ScanOnce(&out), 0) << out;

  const auto log = Log();
  EXPECT_EQ(log.size(), static_cast<size_t>(kRecordings));
  std::set<std::string> names;
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.processed, 1) << row.filename;
    EXPECT_EQ(row.error, "Nil") << row.filename;
    names.insert(row.filename);
  }
  for (int i = 0; i < kRecordings; ++i)
    EXPECT_EQ(names.count("rec" + std::to_string(i) + ".wav"), 1u) << i;
  for (const char* file : {"CONTROL.KFS", "MAILBOXE.KFS", "PROCESSE.KFS"}) {
    int status = -1;
    const std::string check = RunCommand(
        "'" + BinaryPath("tools/kfs/kfs") + "' check '" + data_dir() + "/" + file + "'", &status);
    EXPECT_EQ(status, 0) << file << ": " << check;
  }
}

// Passes killed while a server is down, then while it greylists: every
// recording reaches the server, none more than once beyond the messages in
// flight at the kills, and the retry state stays readable.
TEST_F(ProgramTest, RetryPassesKilledAtRandomMomentsLoseNothing) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  AddMailbox(101, "greylist@example.com", "", "YES", "YES");
  AddMailbox(102, "alice@example.com", "", "YES", "YES");
  constexpr int kRecordings = 30;
  constexpr int kRounds = 10;
  for (int i = 0; i < kRecordings; ++i)
    MakeRecording(101 + i % 2, "rec" + std::to_string(i) + ".wav", std::string(500, 'v'));
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<int> delay_ms(5, 400);
  for (int round = 0; round < kRounds; ++round) {
    WriteSettings(round < kRounds / 2 ? ClosedPort() : server.port());
    const pid_t pid =
        Start({"--scan-once", "--data-dir", data_dir()}, (root() / "killed.log").string());
    ASSERT_GT(pid, 0);
    // The first pass gets time to record its retries; the others die at
    // any moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(round == 0 ? 1500 : delay_ms(rng)));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_FALSE(RetryState::Read(data_dir())->entries().empty()) << "no retry was recorded";
  // Time passes: every waiting row falls due (the state file is what a
  // later clock would find due), and passes run until none waits.
  WriteSettings(server.port());
  for (int pass = 0; pass < 6; ++pass) {
    auto state = RetryState::Read(data_dir());
    ASSERT_TRUE(state.ok());
    EXPECT_TRUE(state->problems().empty()) << state->problems()[0];
    ASSERT_TRUE(UpdateRetryState(
                    data_dir(),
                    [](RetryState& s) {
                      for (auto [record, e] : s.entries()) {
                        e.next = 0;
                        s.Put(e);
                      }
                    },
                    0)
                    .ok());
    std::string out;
    if (ScanOnce(&out) == 0) break;
  }
  const auto log = Log();
  ASSERT_EQ(log.size(), static_cast<size_t>(kRecordings));
  for (const ProcessedRow& row : log) EXPECT_EQ(row.error, "Nil") << row.filename;
  const auto mails = server.Messages(kRecordings);
  EXPECT_LE(mails.size(), static_cast<size_t>(kRecordings + kRounds));
  std::set<std::string> attached;
  for (const auto& m : mails) {
    for (const std::string& line : DumpMail(m)) {
      if (line.rfind("attachment ", 0) == 0)
        attached.insert(line.substr(11, line.find(' ', 11) - 11));
    }
  }
  for (int i = 0; i < kRecordings; ++i)
    EXPECT_EQ(attached.count("rec" + std::to_string(i) + ".wav"), 1u) << i;
}

}  // namespace
}  // namespace vm::app::testing
