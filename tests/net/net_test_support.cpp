#include "net_test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>

#include "platform/socket.h"

namespace vm::net::testing {

int CountOpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

uint32_t RecordingPresenter::Present(const runtime::MessageRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  shown_.emplace_back(request.caption, request.text);
  return request.EffectiveDefault();
}

std::vector<std::pair<std::string, std::string>> RecordingPresenter::Shown() const {
  std::lock_guard<std::mutex> lock(mu_);
  return shown_;
}

LoopbackServer::LoopbackServer(Handler handler, int connections, int receive_buffer) {
  int err = platform::SocketListenLoopback(&listen_fd_, &port_, 64);
  EXPECT_EQ(err, 0);
  if (receive_buffer > 0) platform::SocketSetBuffer(listen_fd_, true, receive_buffer);
  thread_ = std::thread([this, handler = std::move(handler), connections] {
    for (int i = 0; i < connections; ++i) {
      int fd = -1;
      if (platform::SocketAccept(listen_fd_, &fd) != 0) return;
      handler(&fd);
      if (fd >= 0) platform::SocketClose(fd);
    }
  });
}

void LoopbackServer::Join() {
  if (thread_.joinable()) thread_.join();
}

LoopbackServer::~LoopbackServer() {
  if (thread_.joinable()) {
    // Unblock a pending accept.
    platform::SocketShutdown(listen_fd_, platform::ShutdownHow::kBoth);
    thread_.join();
  }
  if (listen_fd_ >= 0) platform::SocketClose(listen_fd_);
}

namespace {

// Waits until `fd` has something to read (data, end of stream or an error).
bool ReadableWithin(int fd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::vector<platform::PollItem> items(1);
  items[0].fd = fd;
  items[0].want_read = true;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    int err = 0;
    items[0].readable = items[0].hangup = false;
    const int n = platform::SocketPoll(&items, static_cast<int>(left.count()), &err);
    if (n < 0) return true;  // let the receive report the error
    if (n > 0 && (items[0].readable || items[0].hangup)) return true;
  }
}

}  // namespace

std::string ReadAll(int fd, std::chrono::milliseconds limit) {
  std::string all;
  char buf[65536];
  for (;;) {
    if (!ReadableWithin(fd, limit)) {
      ADD_FAILURE() << "the peer neither sent nor closed for " << limit.count() << " ms after " << all.size()
                    << " bytes";
      break;
    }
    size_t got = 0;
    if (platform::SocketRecvBlocking(fd, buf, sizeof buf, &got) != 0 || got == 0) break;
    all.append(buf, got);
  }
  return all;
}

bool RecvWithin(int fd, char* buf, size_t len, size_t* got, std::chrono::milliseconds limit, std::string_view what) {
  *got = 0;
  if (!ReadableWithin(fd, limit)) {
    ADD_FAILURE() << "nothing received within " << limit.count() << " ms: " << what;
    return false;
  }
  return platform::SocketRecvBlocking(fd, buf, len, got) == 0;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit, std::string_view what) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "gave up after " << limit.count() << " ms waiting for " << what;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
  }
  cv_.notify_all();
}

bool Gate::Wait(std::chrono::milliseconds limit, std::string_view what) {
  std::unique_lock<std::mutex> lock(mu_);
  if (cv_.wait_for(lock, limit, [this] { return open_; })) return true;
  ADD_FAILURE() << "gave up after " << limit.count() << " ms waiting for " << what;
  return false;
}

void NetTest::SetUp() {
  fds_before_ = CountOpenFds();
  static std::atomic<int> counter{0};
  dir_ = std::filesystem::temp_directory_path() /
         ("vm_net_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::create_directories(dir_);
  registry_file_ = dir_ / "registry.ini";
  sink_ = std::make_shared<platform::MemorySink>();
  scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
  presenter_ = std::make_shared<RecordingPresenter>();
  previous_presenter_ = runtime::SetMessagePresenter(presenter_);
}

void NetTest::TearDown() {
  NetRuntime::Shutdown();
  runtime::SetMessagePresenter(previous_presenter_);
  scoped_sink_.reset();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  EXPECT_EQ(CountOpenFds(), fds_before_) << "descriptors leaked";
}

NetRuntime& NetTest::StartRuntime(std::vector<std::string> args, std::function<void(NetRuntimeOptions*)> adjust) {
  NetRuntimeOptions options;
  options.command_line = std::move(args);
  options.program_name = "net_test";
  options.registry_file = registry_file_;
  options.tick_ms = 20;
  options.connect_timeout_ms = 5000;
  if (adjust) adjust(&options);
  return NetRuntime::Start(std::move(options));
}

bool NetTest::Pump(OwnerEventQueue& queue, std::initializer_list<NetSimple*> objects,
                   const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (auto e = queue.Wait(std::chrono::milliseconds(20))) {
      for (NetSimple* o : objects) o->TakeEvent(*e);
    }
  }
  return true;
}

int NetTest::CountLines(std::string_view text) const {
  int n = 0;
  for (const std::string& line : sink_->Lines()) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

std::string NetTest::DumpLines() const {
  std::string all;
  for (const std::string& line : sink_->Lines()) all += line + "\n";
  return all;
}

}  // namespace vm::net::testing
