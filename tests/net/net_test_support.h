// Shared pieces of the networking tests: a runtime fixture with its own
// registry file and in-memory trace sink, an owner loop pump, a loopback
// server on its own thread, and a descriptor count to catch leaked sockets.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/event_poster.h"
#include "net/net_runtime.h"
#include "net/net_simple.h"
#include "platform/diag_sink.h"
#include "runtime/message_box.h"

namespace vm::net::testing {

// Number of open descriptors of this process.
int CountOpenFds();

// A message presenter that records what it was asked to show (caption, text).
class RecordingPresenter final : public runtime::MessagePresenter {
 public:
  uint32_t Present(const runtime::MessageRequest& request) override;
  std::vector<std::pair<std::string, std::string>> Shown() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> shown_;
};

// Accepts connections on 127.0.0.1 and runs `handler` for each on the
// server thread, closing the connection afterwards unless the handler took it
// (set *fd to -1).
class LoopbackServer {
 public:
  using Handler = std::function<void(int* fd)>;
  // `receive_buffer` > 0 sets SO_RCVBUF on the listening socket, which the
  // accepted connections inherit.
  explicit LoopbackServer(Handler handler, int connections = 1, int receive_buffer = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  uint16_t port() const { return port_; }
  void Join();

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// Reads from `fd` until the peer closes; returns everything read. Gives up
// with a test failure when the peer neither sends nor closes for `limit`, so
// that a test which stopped early never leaves a server thread reading.
std::string ReadAll(int fd, std::chrono::milliseconds limit = std::chrono::seconds(20));
// One blocking receive of up to `len` bytes, waiting at most `limit` for the
// first byte; false (and a test failure naming `what`) when nothing came.
bool RecvWithin(int fd, char* buf, size_t len, size_t* got, std::chrono::milliseconds limit, std::string_view what);

// Polls `done` until it holds or `limit` passes; on time-out adds a test
// failure naming `what` and returns false. Callable from any thread.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit, std::string_view what);

// A one-way signal from the test body to a server thread ("you may read
// now", "you may hang up now"). Wait has a deadline, so a test that fails
// before opening the gate costs at most that long, never a hung join.
class Gate {
 public:
  void Open();
  // True once open; false (and a test failure naming `what`) after `limit`.
  bool Wait(std::chrono::milliseconds limit, std::string_view what);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the runtime with `args` as command line and this test's registry file.
  NetRuntime& StartRuntime(std::vector<std::string> args = {"/netdlllog", "/netdlllogall"},
                           std::function<void(NetRuntimeOptions*)> adjust = nullptr);
  // Feeds events of `queue` to every object until `done` holds or `timeout` passes.
  bool Pump(OwnerEventQueue& queue, std::initializer_list<NetSimple*> objects, const std::function<bool()>& done,
            std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Lines of the trace sink containing `text`.
  int CountLines(std::string_view text) const;
  bool HasLine(std::string_view text) const { return CountLines(text) > 0; }
  std::string DumpLines() const;

  std::filesystem::path dir_;
  std::filesystem::path registry_file_;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::shared_ptr<RecordingPresenter> presenter_;
  std::shared_ptr<runtime::MessagePresenter> previous_presenter_;
  int fds_before_ = 0;
};

}  // namespace vm::net::testing
