// The program under a service manager: its diagnostic lines carry syslog
// priorities exactly when standard error is the journal; it tells the
// manager (here a notify socket of the test's own) when it is ready, that a
// pass is alive, and that it is stopping; and a pass reports each send once
// its outcome is written, which is what keeps the watchdog fed while it sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "app_test_support.h"
#include "platform/service_notify.h"
#include "spawn_program.h"

namespace vm::app::testing {
namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using test_process::WaitExit;

class ServiceProgramTest : public GatewayTest {
 protected:
  // Starts the program with `args`, `env` added to its environment and its
  // standard error in the file `log`; with `journal`, JOURNAL_STREAM names
  // that file, as systemd names the journal's stream for a service.
  pid_t Start(const std::vector<std::string>& args, const std::string& log, const Env& env,
              bool journal) {
    // The file is made here, so that its identity is known before the
    // program starts; the child opens the same file.
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    struct stat st;
    const bool made = fd >= 0 && ::fstat(fd, &st) == 0;
    if (fd >= 0) ::close(fd);
    if (!made) {
      ADD_FAILURE() << "cannot make " << log;
      return -1;
    }
    test_process::SpawnOptions options;
    options.Errors(log).Unset("JOURNAL_STREAM").Unset("NOTIFY_SOCKET");
    for (const auto& [name, value] : env) options.Set(name, value);
    if (journal)
      options.Set("JOURNAL_STREAM", std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
    std::vector<std::string> argv = {BinaryPath("voicemail-mailer")};
    argv.insert(argv.end(), args.begin(), args.end());
    return test_process::SpawnProgram(argv, options);
  }
  // Runs --scan-once over the working directory; its standard error.
  std::string ScanOnce(bool journal, int* status) {
    const std::string log = (root() / "scan.log").string();
    *status = WaitExit(Start({"--scan-once", "--data-dir", data_dir()}, log, {}, journal),
                       std::chrono::seconds(60));
    return ReadFileBytes(log);
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& l : lines)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

TEST_F(ServiceProgramTest, JournalLinesCarryTheirPriorityAndOtherOutputStaysAsItWas) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  AddMailbox(102, "reject@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "audio");
  MakeRecording(102, "b.wav", "audio");

  int status = -1;
  const std::string journal = ScanOnce(true, &status);
  EXPECT_EQ(status, 1) << journal;
  const auto lines = Lines(journal);
  const std::regex prefixed("<[346]>.*");
  for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, prefixed)) << l;
  EXPECT_TRUE(Has(lines, "<6>send_mail: queued mailbox 101 file a.wav")) << journal;
  EXPECT_TRUE(Has(lines, "<6>send_mail: queued mailbox 102 file b.wav")) << journal;
  EXPECT_TRUE(Has(lines, "<6>send_mail: sent mailbox 101 file a.wav: Nil")) << journal;
  EXPECT_TRUE(Has(lines, "<3>send_mail: failed mailbox 102 file b.wav: 550 ")) << journal;
  EXPECT_TRUE(Has(lines, "<6>voicemail-mailer: pass ended: 2 queued, 1 sent, 1 failed")) << journal;

  // The same pass again, to a file that is not the journal: the very lines
  // without their prefixes.
  MakeRecording(101, "c.wav", "audio");
  MakeRecording(102, "d.wav", "audio");
  const std::string plain = ScanOnce(false, &status);
  EXPECT_EQ(status, 1) << plain;
  std::string expected = std::regex_replace(journal, std::regex("(^|\n)<[346]>"), "$1");
  expected = std::regex_replace(expected, std::regex("a\\.wav"), "c.wav");
  expected = std::regex_replace(expected, std::regex("b\\.wav"), "d.wav");
  EXPECT_EQ(plain, expected);

  // A program that cannot start says so as an error of the journal.
  const std::string missing = (root() / "missing").string();
  const std::string log = (root() / "missing.log").string();
  EXPECT_EQ(WaitExit(Start({"--headless", "--data-dir", missing}, log, {}, true),
                     std::chrono::seconds(20)),
            2);
  EXPECT_EQ(ReadFileBytes(log),
            "<3>voicemail-mailer: the working directory " + missing + " does not exist\n");
}

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  bool ok() const { return fd_ >= 0; }
  // The next message, or "" after `wait` without one.
  std::string Receive(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return "";
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// True when this build tells a service manager anything (it has libsystemd):
// asks the notifier to write to `socket` from this process.
bool BuildNotifies(NotifySocket& socket, const std::string& path) {
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  const bool told = platform::NotifyServiceManager(platform::ServiceState::kWatchdog);
  ::unsetenv("NOTIFY_SOCKET");
  return told && socket.Receive(std::chrono::milliseconds(1000)) == "WATCHDOG=1";
}

TEST_F(ServiceProgramTest, TellsTheServiceManagerReadyAliveAndStopping) {
  const std::string path = (root() / "notify").string();
  NotifySocket socket(path);
  ASSERT_TRUE(socket.ok());
  EXPECT_FALSE(platform::NotifyServiceManager(platform::ServiceState::kReady))
      << "no manager to tell without NOTIFY_SOCKET";
  if (!BuildNotifies(socket, path)) GTEST_SKIP() << "built without libsystemd";

  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  for (int i = 0; i < 3; ++i) MakeRecording(101, "m" + std::to_string(i) + ".wav", "audio");
  const std::string log = (root() / "service.log").string();
  const pid_t pid = Start({"--headless", "--data-dir", data_dir()}, log,
                          {{"NOTIFY_SOCKET", path}, {"VM_TEST_SCAN_PERIOD", "100"}}, false);
  ASSERT_GT(pid, 0);

  std::vector<std::string> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  // Until the three recordings are mailed and two more passes have pinged.
  size_t pings_after_mail = 0;
  while (pings_after_mail < 6 && std::chrono::steady_clock::now() < deadline) {
    const std::string m = socket.Receive(std::chrono::milliseconds(200));
    if (m.empty()) continue;
    got.push_back(m);
    if (m == "WATCHDOG=1" && server.Messages().size() == 3) ++pings_after_mail;
  }
  kill(pid, SIGTERM);
  for (std::string m; !(m = socket.Receive(std::chrono::milliseconds(3000))).empty();)
    got.push_back(m);
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(30)), 0) << ReadFileBytes(log);

  // Ready once, first; stopping once; the pass that was running when the
  // signal came may still report its end after it.
  ASSERT_GE(got.size(), 3u) << ReadFileBytes(log);
  EXPECT_EQ(got.front(), "READY=1");
  EXPECT_EQ(std::count(got.begin(), got.end(), "READY=1"), 1);
  EXPECT_EQ(std::count(got.begin(), got.end(), "STOPPING=1"), 1);
  const size_t pings = std::count(got.begin(), got.end(), "WATCHDOG=1");
  EXPECT_EQ(pings + 2, got.size()) << "nothing else is said";
  EXPECT_GE(pings, 6u);
  EXPECT_EQ(server.Messages().size(), 3u);
}

TEST_F(ServiceProgramTest, EachSendIsReportedOnceItsOutcomeIsWritten) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  AddMailbox(102, "reject@example.com", "", "YES", "NO");
  for (int i = 0; i < 3; ++i) MakeRecording(101, "m" + std::to_string(i) + ".wav", "audio");
  MakeRecording(102, "r.wav", "audio");
  ScanOptions options = FastOptions();
  // The server saves a message before it accepts it, so at each report the
  // messages received are the sends reported so far, less the refused one.
  std::vector<size_t> received_at_report;
  options.on_sent = [&] { received_at_report.push_back(server.Messages().size()); };
  const ScanReport report = Pass(options);
  EXPECT_EQ(report.sent, 3);
  EXPECT_EQ(report.failed, 1);
  EXPECT_EQ(received_at_report, (std::vector<size_t>{1, 2, 3, 3}));
}

}  // namespace
}  // namespace vm::app::testing
