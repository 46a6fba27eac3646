#include "mail_test_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "net/net_runtime.h"
#include "platform/socket.h"

namespace vm::mail::testing {

int CountOpenFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("vm_mail_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  const std::string p = (path_ / name).string();
  std::ofstream out(p, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

void TestMailer::ErrorTrap(std::string_view text, std::string_view function) {
  NetEmailSend::ErrorTrap(text, function);
  TrapRecord r;
  r.text = std::string(text);
  r.function = std::string(function);
  r.error_during = ERROR;
  r.errorstring = ERRORSTRING;
  r.server_error_num = SERVERERRORNUM;
  r.server_error_desc = SERVERERRORDESC;
  r.queued = DATAQUEUE != nullptr ? DATAQUEUE->size() : 0;
  traps.push_back(r);
}

void TestMailer::Send() {
  sends.emplace_back(PACKET.BINDATA, static_cast<size_t>(std::max(PACKET.BINDATALEN, 0)));
  NetEmailSend::Send();
}

void TestMailer::Process() {
  ++processed;
  NetEmailSend::Process();
}

void ScriptedServer::SetGate(std::function<int()> taken) {
  std::lock_guard<std::mutex> lock(mu_);
  gate_ = std::move(taken);
}

void TestMailer::MessageSent() {
  NetEmailSend::MessageSent();
  ++sent;
}

void TestMailer::Trace(std::string_view message, std::string_view function) {
  traces.push_back(std::string(function) + ": " + std::string(message));
}

ScriptedServer::ScriptedServer(std::string greeting, Reply reply, int connections)
    : greeting_(std::move(greeting)), reply_(std::move(reply)) {
  EXPECT_EQ(platform::SocketListenLoopback(&listen_fd_, &port_, 16), 0);
  thread_ = std::thread([this, connections] {
    for (int i = 1; i <= connections; ++i) {
      int fd = -1;
      if (platform::SocketAccept(listen_fd_, &fd) != 0) return;
      Serve(fd, i);
      platform::SocketClose(fd);
    }
  });
}

ScriptedServer::~ScriptedServer() {
  if (thread_.joinable()) {
    platform::SocketShutdown(listen_fd_, platform::ShutdownHow::kBoth);
    thread_.join();
  }
  if (listen_fd_ >= 0) platform::SocketClose(listen_fd_);
}

void ScriptedServer::Join() {
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScriptedServer::Commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

std::vector<std::string> ScriptedServer::Messages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_;
}

bool ScriptedServer::SendScripted(int fd, const std::string& answer) {
  if (answer == "<hang>") {
    // Wait until the client goes away.
    char buf[4096];
    size_t got = 0;
    while (platform::SocketRecvBlocking(fd, buf, sizeof buf, &got) == 0 && got > 0) {
    }
    return false;
  }
  size_t pos = 0;
  while (pos <= answer.size()) {
    size_t split = answer.find('\x01', pos);
    if (split == std::string::npos) split = answer.size();
    std::string block = answer.substr(pos, split - pos);
    std::function<int()> gate;
    {
      std::lock_guard<std::mutex> lock(mu_);
      gate = gate_;
    }
    const bool more = split < answer.size();
    if (more && !gate) {
      ADD_FAILURE() << "an answer split with \\x01 needs SetGate";
      return false;
    }
    const int taken_before = more ? gate() : 0;
    const size_t close_at = block.find("<close>");
    if (close_at != std::string::npos) {
      if (close_at > 0) platform::SocketSendAllBlocking(fd, block.data(), close_at);
      return false;
    }
    if (!block.empty()) platform::SocketSendAllBlocking(fd, block.data(), block.size());
    if (!more) break;
    // The next block goes out only after the client has taken this one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gate() == taken_before) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ADD_FAILURE() << "the client did not take the block [" << block << "] within 10 s";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pos = split + 1;
  }
  return true;
}

void ScriptedServer::Serve(int fd, int connection) {
  const std::string prefix = connection > 1 ? "#" + std::to_string(connection) + " " : "";
  if (!SendScripted(fd, greeting_)) return;
  std::string pending;
  bool in_data = false;
  char buf[65536];
  for (;;) {
    if (in_data) {
      const size_t end = pending.find("\r\n.\r\n");
      if (end != std::string::npos) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          messages_.push_back(pending.substr(0, end + 2));
        }
        pending.erase(0, end + 5);
        in_data = false;
        if (!SendScripted(fd, reply_("<end of data>", connection))) return;
        continue;
      }
    } else {
      const size_t eol = pending.find("\r\n");
      if (eol != std::string::npos) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 2);
        {
          std::lock_guard<std::mutex> lock(mu_);
          commands_.push_back(prefix + line);
        }
        const std::string answer = reply_(line, connection);
        if (line == "DATA" && answer.rfind("354", 0) == 0) in_data = true;
        if (!SendScripted(fd, answer)) return;
        continue;
      }
    }
    size_t got = 0;
    if (platform::SocketRecvBlocking(fd, buf, sizeof buf, &got) != 0 || got == 0) return;
    pending.append(buf, got);
  }
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string SourcePath(const std::string& relative) {
  const char* root = std::getenv("VM_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string CheckMail(const std::string& message_path, const std::vector<std::string>& files) {
  std::string cmd =
      "/usr/bin/python3 '" + SourcePath("tests/mail/check_mail.py") + "' '" + message_path + "'";
  for (const std::string& f : files) cmd += " --file '" + f + "'";
  cmd += " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

void MailTest::SetUp() {
  fds_before_ = CountOpenFds();
  dir_ = std::make_unique<TempDir>();
  sink_ = std::make_shared<platform::MemorySink>();
  scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
  queue_ = std::make_unique<net::OwnerEventQueue>();
  NetEmailSend::SetMessageCounter(0);
}

void MailTest::TearDown() {
  net::NetRuntime::Shutdown();
  queue_.reset();
  scoped_sink_.reset();
  dir_.reset();
  EXPECT_EQ(CountOpenFds(), fds_before_) << "descriptors leaked";
}

void MailTest::StartRuntime(int connect_timeout_ms, int send_buffer_bytes) {
  net::NetRuntimeOptions options;
  options.program_name = "mail_test";
  options.registry_file = dir_->path() / "registry.ini";
  options.tick_ms = 20;
  options.connect_timeout_ms = connect_timeout_ms;
  options.send_buffer_bytes = send_buffer_bytes;
  net::NetRuntime::Start(std::move(options));
}

void MailTest::Prepare(TestMailer* m, uint16_t port) {
  m->SUPPRESSERRORMSG = 1;
  m->Init();
  m->SetClock(&clock_);
  m->SetMessageIdTag("");
  m->SERVER = "127.0.0.1";
  m->PORT = port;
  m->TOLIST = "bob@example.com";
  m->FROM = "Voice Mail <vm@example.com>";
  m->SUBJECT = "New voice message";
  const std::string body = "You have a new message.\r\n";
  m->SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
  m->SetMessageText(body);
}

bool MailTest::Pump(TestMailer* m, const std::function<bool()>& done,
                    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (auto e = queue_->Wait(std::chrono::milliseconds(10))) m->TakeEvent(*e);
  }
  return true;
}

bool MailTest::PumpUntilOutcome(TestMailer* m, std::chrono::milliseconds timeout) {
  return Pump(
      m, [m] { return (!m->traps.empty() || m->sent > 0) && m->OPENFLAG == 0 && m->_STATE == 0; },
      timeout);
}

bool MailTest::SocketQueuesEmpty() {
  net::NetRuntime* rt = net::NetRuntime::Current();
  if (rt == nullptr) return true;
  const net::QueueCounts c = rt->Counts();
  return c.out_list == 0 && c.out_data == 0;
}

}  // namespace vm::mail::testing
