// Shared pieces of the gateway tests: a working directory with a voice-mail
// tree, a real SMTP server (aiosmtpd) and a server that accepts and never
// answers, both on loopback, the networking runtime, scripted message boxes,
// and readers for the log table and the received messages.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/gateway_files.h"
#include "app/records.h"
#include "app/scanner.h"
#include "platform/diag_sink.h"
#include "runtime/message_box.h"

namespace vm::app::testing {

std::string SourcePath(const std::string& relative);
std::string BinaryPath(const std::string& relative);
std::string ReadFileBytes(const std::filesystem::path& p);
// Output (stdout and stderr) of a shell command, and its exit status.
std::string RunCommand(const std::string& cmd, int* status = nullptr);

// aiosmtpd on a free loopback port; each message lands in DIR as NNN.eml.
// Recipients starting with "reject" get 550.
class SmtpSink {
 public:
  explicit SmtpSink(const std::filesystem::path& dir);
  ~SmtpSink();
  SmtpSink(const SmtpSink&) = delete;
  SmtpSink& operator=(const SmtpSink&) = delete;
  uint16_t port() const { return port_; }
  // The received messages, oldest first (waits up to 5 s for `at_least`).
  std::vector<std::filesystem::path> Messages(size_t at_least = 0) const;

 private:
  std::filesystem::path dir_;
  int pid_ = -1;
  int stdin_fd_ = -1;
  uint16_t port_ = 0;
};

// Accepts connections on loopback and never sends a byte.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A loopback port whose listener never accepts and whose queue is full, so
// the kernel drops every further connection attempt unanswered: a connect to
// it runs out of time, as to a server behind a firewall that drops packets.
class UnansweredServer {
 public:
  UnansweredServer();
  ~UnansweredServer();
  UnansweredServer(const UnansweredServer&) = delete;
  UnansweredServer& operator=(const UnansweredServer&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::vector<int> fillers_;  // the connections that fill the queue
  uint16_t port_ = 0;
};

// An SMTP server on loopback that answers from a script, for what a real
// server rarely does: `reply(line)` answers each command line, and
// "<end of data>" once a message's end line has come after a 354. An answer
// holding "<close>" sends what comes before it and closes the connection;
// "" sends nothing. Serves one connection after another until destroyed.
class ScriptedSmtp {
 public:
  using Reply = std::function<std::string(const std::string& line)>;
  explicit ScriptedSmtp(Reply reply);
  ~ScriptedSmtp();
  ScriptedSmtp(const ScriptedSmtp&) = delete;
  ScriptedSmtp& operator=(const ScriptedSmtp&) = delete;
  uint16_t port() const { return port_; }
  // Messages whose end of data the server has read.
  int messages() const { return messages_.load(); }

 private:
  void Run();
  void Serve(int fd);
  bool Answer(int fd, const std::string& answer);

  Reply reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> messages_{0};
  std::thread thread_;
};

// A loopback port with nothing listening.
uint16_t ClosedPort();

// The dump_mail.py lines of a received message.
std::vector<std::string> DumpMail(const std::filesystem::path& eml);
// The value of header `name` in a dump ("" when missing); count of them.
std::string HeaderOf(const std::vector<std::string>& dump, const std::string& name);
int HeaderCount(const std::vector<std::string>& dump, const std::string& name);
std::string Sha256OfFile(const std::string& path);

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string data_dir() const { return (root_ / "data").string(); }
  std::string tree() const { return (root_ / "voicemail").string(); }
  const std::filesystem::path& root() const { return root_; }

  // Settings row: server 127.0.0.1 and `port`, templates with tags.
  void WriteSettings(uint16_t port,
                     const std::string& attach_body = "Attached: <EXT> <DATE> <TIME>",
                     const std::string& plain_body = "Call <ext> about <Date> at <time>.");
  // A loopback SMTP sink in root()/received and the settings row naming its
  // port (written only when the sink started: its port is 0 otherwise).
  std::unique_ptr<SmtpSink> StartSinkWithSettings();
  void AddMailbox(int no, const std::string& email, const std::string& cc,
                  const std::string& enable, const std::string& attach);
  // A recording in mailbox `box`, last written `age_seconds` ago; returns its path.
  std::string MakeRecording(int box, const std::string& name, const std::string& bytes,
                            int age_seconds = 120);
  // Stores `retry-for` in the settings file of the working directory.
  void SetRetryFor(int hours);
  // Adds a ProcessedFiles row directly (as an interrupted pass leaves it).
  void AddRow(const ProcessedRow& row);
  std::vector<ProcessedRow> Log();
  // The record numbers of the log's rows, in record order.
  std::vector<uint32_t> LogRecords();
  ScanReport Pass(ScanOptions options = {});
  ScanOptions FastOptions() const;

  std::filesystem::path root_;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::shared_ptr<runtime::ScriptedPresenter> presenter_;
  std::shared_ptr<runtime::MessagePresenter> previous_presenter_;
};

}  // namespace vm::app::testing
