// Shared pieces of the mail tests: a temp directory, a mail object that
// records what it reports, a scripted SMTP server on loopback, a fixture
// that starts the networking runtime, and the Python message checker.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mail/net_email_send.h"
#include "net/event_poster.h"
#include "platform/clock.h"
#include "platform/diag_sink.h"

namespace vm::mail::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` in the directory; returns the full path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// One ErrorTrap call as the owner saw it.
struct TrapRecord {
  std::string text;
  std::string function;
  int32_t error_during = 0;  // ERROR when the override ran (after the class's own)
  std::string errorstring;
  int32_t server_error_num = 0;
  std::string server_error_desc;
  size_t queued = 0;  // messages queued when the owner's override ran
};

struct ProgressCall {
  std::string what;
  int32_t a = 0;
  int32_t b = 0;
};

class RecordingProgress final : public ProgressView {
 public:
  void SetRange(int32_t control, int32_t low, int32_t high) override {
    calls.push_back({"range", low, high});
    (void)control;
  }
  void SetVisible(int32_t control, bool visible) override {
    calls.push_back({visible ? "show" : "hide", control, 0});
  }
  void SetValue(int32_t control, int32_t value) override {
    calls.push_back({"value", value, 0});
    (void)control;
  }
  void Redisplay(int32_t control) override { calls.push_back({"redisplay", control, 0}); }
  std::vector<ProgressCall> calls;
};

// The owner's replacements of ErrorTrap and MessageSent, as the dispatcher
// makes them: call the class's own first, then record.
class TestMailer : public NetEmailSend {
 public:
  ~TestMailer() override { Kill(); }
  void Send() override;
  void ErrorTrap(std::string_view text, std::string_view function) override;
  void MessageSent() override;
  void Trace(std::string_view message, std::string_view function) override;
  void Process() override;

  std::vector<TrapRecord> traps;
  // Received blocks handed to Process; read by a ScriptedServer's gate.
  std::atomic<int> processed{0};
  std::vector<std::string> traces;
  std::vector<std::string> sends;  // every block handed to Send
  int sent = 0;
};

// A scripted SMTP server on 127.0.0.1. For every connection it sends the
// greeting, then answers each command line with `reply(line, connection)`.
// After a 354 answer to DATA it reads the message up to the end line and
// answers `reply("<end of data>", connection)`. In an answer, "\x01" splits
// it into blocks, each sent only once the client has taken the one before
// (the gate's count has grown), so every block arrives as a read of its own;
// "<close>" closes the connection at that
// point; "<hang>" stops answering until the client goes away; "" answers
// nothing.
class ScriptedServer {
 public:
  using Reply = std::function<std::string(const std::string& line, int connection)>;
  ScriptedServer(std::string greeting, Reply reply, int connections = 1);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t port() const { return port_; }
  // How many received blocks the client has taken so far; needed for answers
  // split with "\x01".
  void SetGate(std::function<int()> taken);
  // Waits for the server thread to finish its connections.
  void Join();
  // Command lines received (with a "#n " prefix for connection n > 1).
  std::vector<std::string> Commands() const;
  // The message data of each DATA, as received (still dot-stuffed).
  std::vector<std::string> Messages() const;

 private:
  void Serve(int fd, int connection);
  bool SendScripted(int fd, const std::string& answer);

  std::string greeting_;
  Reply reply_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<std::string> commands_;
  std::vector<std::string> messages_;
  std::function<int()> gate_;
};

// Polls `done` every few milliseconds until it holds (true) or `limit` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

// Runs the Python checker over a message file; returns its output.
std::string CheckMail(const std::string& message_path, const std::vector<std::string>& files = {});
// Path of a file of the source tree.
std::string SourcePath(const std::string& relative);

class MailTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // `send_buffer_bytes` > 0 makes every client socket's send buffer that small.
  void StartRuntime(int connect_timeout_ms = 5000, int send_buffer_bytes = 0);
  // Sets up `m` as the dispatcher does, with a fixed clock.
  void Prepare(TestMailer* m, uint16_t port);
  // Feeds the loop's events to `m` until `done` holds; false on time-out.
  bool Pump(TestMailer* m, const std::function<bool()>& done,
            std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Pumps until an ErrorTrap or MessageSent has been seen and the
  // connection is closed.
  bool PumpUntilOutcome(TestMailer* m,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool SocketQueuesEmpty();

  std::unique_ptr<TempDir> dir_;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::unique_ptr<net::OwnerEventQueue> queue_;
  platform::ManualClock clock_;
  int fds_before_ = 0;
};

int CountOpenFds();

}  // namespace vm::mail::testing
