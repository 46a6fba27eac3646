#include "app_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/retry_policy.h"
#include "app/settings_file.h"
#include "net/net_runtime.h"
#include "spawn_program.h"
#include "storage/driver/declared_table.h"

namespace vm::app::testing {

std::string SourcePath(const std::string& relative) {
  const char* root = std::getenv("VM_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string BinaryPath(const std::string& relative) {
  const char* root = std::getenv("VM_BINARY_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string RunCommand(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  if (status != nullptr) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

SmtpSink::SmtpSink(const std::filesystem::path& dir) : dir_(dir) {
  std::filesystem::create_directories(dir_);
  int in_pipe[2];
  int out_pipe[2];
  // Close-on-exec: neither the server nor a program a test starts later
  // keeps an end it was not given (the server ends when its input closes).
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
  pid_ = test_process::SpawnProgram(
      {"/usr/bin/python3", SourcePath("tests/peers/smtp_server.py"), dir_.string()},
      test_process::SpawnOptions().InputFrom(in_pipe[0]).OutputTo(out_pipe[1]));
  close(in_pipe[0]);
  close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  std::string line;
  char c;
  while (read(out_pipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out_pipe[0]);
  if (line.rfind("PORT ", 0) == 0) port_ = static_cast<uint16_t>(std::stoi(line.substr(5)));
}

SmtpSink::~SmtpSink() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  if (pid_ <= 0) return;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::vector<std::filesystem::path> SmtpSink::Messages(size_t at_least) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    std::vector<std::filesystem::path> found;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      if (e.path().extension() == ".eml") found.push_back(e.path());
    }
    std::sort(found.begin(), found.end());
    if (found.size() >= at_least || std::chrono::steady_clock::now() >= deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

SilentServer::SilentServer() {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0) return;
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) close(fd_);
}

UnansweredServer::UnansweredServer() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 0) != 0) return;
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  // A backlog of 0 queues one connection; a few more make sure the queue is
  // full, after which the kernel drops new attempts without an answer.
  for (int i = 0; i < 3; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(c);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  port_ = ntohs(a.sin_port);
}

UnansweredServer::~UnansweredServer() {
  for (int c : fillers_) close(c);
  if (fd_ >= 0) close(fd_);
}

ScriptedSmtp::ScriptedSmtp(Reply reply) : reply_(std::move(reply)) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0) return;
  socklen_t len = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedSmtp::~ScriptedSmtp() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

void ScriptedSmtp::Run() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    Serve(c);
    close(c);
  }
}

bool ScriptedSmtp::Answer(int fd, const std::string& answer) {
  const size_t close_at = answer.find("<close>");
  const std::string bytes = answer.substr(0, close_at);
  if (!bytes.empty() && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) return false;
  return close_at == std::string::npos;
}

void ScriptedSmtp::Serve(int fd) {
  if (!Answer(fd, "220 scripted server ready\r\n")) return;
  std::string pending;
  bool in_data = false;
  char buf[65536];
  while (!stop_) {
    const size_t end = pending.find(in_data ? "\r\n.\r\n" : "\r\n");
    if (end != std::string::npos) {
      std::string line = in_data ? "<end of data>" : pending.substr(0, end);
      pending.erase(0, end + (in_data ? 5 : 2));
      if (in_data) ++messages_;
      const std::string answer = reply_(line);
      in_data = !in_data && line == "DATA" && answer.rfind("354", 0) == 0;
      if (!Answer(fd, answer)) return;
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got <= 0) return;
    pending.append(buf, static_cast<size_t>(got));
  }
}

uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

std::vector<std::string> DumpMail(const std::filesystem::path& eml) {
  const std::string out = RunCommand("/usr/bin/python3 '" + SourcePath("tests/app/dump_mail.py") +
                                     "' '" + eml.string() + "'");
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

namespace {
// Header names compare without regard to case.
bool IsHeaderLine(const std::string& line, const std::string& name) {
  const std::string prefix = "header " + name + ": ";
  return line.size() >= prefix.size() &&
         strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) == 0;
}
}  // namespace

std::string HeaderOf(const std::vector<std::string>& dump, const std::string& name) {
  for (const std::string& l : dump) {
    if (IsHeaderLine(l, name)) return l.substr(name.size() + 9);
  }
  return "";
}

int HeaderCount(const std::vector<std::string>& dump, const std::string& name) {
  int n = 0;
  for (const std::string& l : dump) n += IsHeaderLine(l, name) ? 1 : 0;
  return n;
}

std::string Sha256OfFile(const std::string& path) {
  const std::string out = RunCommand("sha256sum < '" + path + "'");
  return out.substr(0, 64);
}

void GatewayTest::SetUp() {
  static std::atomic<int> counter{0};
  root_ = std::filesystem::temp_directory_path() /
          ("vm_gateway_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(root_ / "data");
  std::filesystem::create_directories(root_ / "voicemail");
  sink_ = std::make_shared<platform::MemorySink>();
  scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
  presenter_ = std::make_shared<runtime::ScriptedPresenter>();
  previous_presenter_ = runtime::SetMessagePresenter(presenter_);
  net::NetRuntimeOptions options;
  options.program_name = "gateway_test";
  options.registry_file = root_ / "registry.ini";
  options.connect_timeout_ms = 3000;
  net::NetRuntime::Start(std::move(options));
}

void GatewayTest::TearDown() {
  net::NetRuntime::Shutdown();
  runtime::SetMessagePresenter(previous_presenter_);
  scoped_sink_.reset();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::unique_ptr<SmtpSink> GatewayTest::StartSinkWithSettings() {
  auto server = std::make_unique<SmtpSink>(root() / "received");
  if (server->port() != 0) WriteSettings(server->port());
  return server;
}

void GatewayTest::WriteSettings(uint16_t port, const std::string& attach_body,
                                const std::string& plain_body) {
  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kControl);
  ASSERT_EQ(open.code(), 0);
  ControlRow row = DefaultSettings();
  row.smtp_server = "127.0.0.1";
  row.port = static_cast<int16_t>(port);
  row.from = "Voice Mail <vm@example.com>";
  row.applicate_path = tree();
  row.subject = "New voice message";
  row.attachment_body = attach_body;
  row.nonattachment_body = plain_body;
  auto& con = files.control();
  const bool existing = con.Set() == 0 && con.Next() == 0;
  WriteControl(row, &con.buffer());
  ASSERT_EQ(existing ? con.Put() : con.Add(), 0);
}

void GatewayTest::AddMailbox(int no, const std::string& email, const std::string& cc,
                             const std::string& enable, const std::string& attach) {
  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kMailboxes);
  ASSERT_EQ(open.code(), 0);
  WriteMailbox(MailboxRow{static_cast<int16_t>(no), email, cc, enable, attach},
               &files.mailboxes().buffer());
  ASSERT_EQ(files.mailboxes().Add(), 0);
  std::filesystem::create_directories(std::filesystem::path(tree()) / std::to_string(no) / "msg");
}

std::string GatewayTest::MakeRecording(int box, const std::string& name, const std::string& bytes,
                                       int age_seconds) {
  const auto dir = std::filesystem::path(tree()) / std::to_string(box) / "msg";
  std::filesystem::create_directories(dir);
  const auto p = dir / name;
  std::ofstream(p, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::filesystem::last_write_time(
      p, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age_seconds));
  return p.string();
}

void GatewayTest::AddRow(const ProcessedRow& row) {
  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kProcessedFiles);
  ASSERT_EQ(open.code(), 0);
  WriteProcessed(row, &files.processed().buffer());
  ASSERT_EQ(files.processed().Add(), 0);
}

std::vector<uint32_t> GatewayTest::LogRecords() {
  std::vector<uint32_t> records;
  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kProcessedFiles);
  EXPECT_EQ(open.code(), 0);
  auto& pro = files.processed();
  for (bool ok = pro.Set() == 0 && pro.Next() == 0; ok; ok = pro.Next() == 0)
    records.push_back(pro.current_record());
  return records;
}

std::vector<ProcessedRow> GatewayTest::Log() {
  std::vector<ProcessedRow> rows;
  GatewayFiles files(data_dir());
  OpenTable open(files, Table::kProcessedFiles);
  EXPECT_EQ(open.code(), 0);
  auto& pro = files.processed();
  pro.Set();
  while (pro.Next() == 0) rows.push_back(ReadProcessed(pro.buffer()));
  return rows;
}

void GatewayTest::SetRetryFor(int hours) {
  auto file = SettingsFile::Read(data_dir());
  ASSERT_TRUE(file.ok());
  file->Set(kKeyRetryFor, std::to_string(hours));
  ASSERT_TRUE(file->Write().ok());
}

ScanOptions GatewayTest::FastOptions() const {
  ScanOptions o;
  o.dispatch.reply_timeout_ms = 10000;
  o.dispatch.send_timeout_ms = 30000;
  o.dispatch.progress_timer = 10;
  return o;
}

ScanReport GatewayTest::Pass(ScanOptions options) {
  GatewayFiles files(data_dir());
  return send_mail(files, options);
}

}  // namespace vm::app::testing
