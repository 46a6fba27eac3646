// Gateway benchmarks.
// 1. A scan pass over a log of VM_BENCH_ROWS rows (default 1,000,000) with
//    nothing waiting, against reading every row as a send loop in record
//    order would.
// 2. VM_BENCH_MAILS recordings (default 1,000) mailed by one pass to a local
//    aiosmtpd, against Python's smtplib sending the same files.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/gateway_files.h"
#include "app/records.h"
#include "app/scanner.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "storage/driver/declared_table.h"

using namespace vm;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atol(v) : fallback;
}

void WriteSettings(const std::string& dir, uint16_t port, const std::string& tree) {
  app::GatewayFiles files(dir);
  app::OpenTable open(files, app::Table::kControl);
  app::ControlRow row = app::DefaultSettings();
  row.smtp_server = "127.0.0.1";
  row.port = static_cast<int16_t>(port);
  row.applicate_path = tree;
  row.subject = "New voice message";
  row.attachment_body = "Message for <EXT>";
  app::WriteControl(row, &files.control().buffer());
  files.control().Add();
}

void LongLog(const std::filesystem::path& root) {
  const long rows = EnvNumber("VM_BENCH_ROWS", 1000000);
  const std::string dir = (root / "log").string();
  std::filesystem::create_directories(dir);
  WriteSettings(dir, 25, (root / "empty-tree").string());
  {
    app::GatewayFiles files(dir);
    app::OpenTable open(files, app::Table::kProcessedFiles);
    storage::DeclaredTable& pro = files.processed();
    const auto start = Clock::now();
    pro.Logout();
    for (long i = 0; i < rows; ++i) {
      app::ProcessedRow r;
      r.filename = "msg" + std::to_string(i) + ".wav";
      r.processed = 1;
      r.error = "Nil";
      r.mailbox = static_cast<int16_t>(100 + i % 50);
      app::WriteProcessed(r, &pro.buffer());
      if (pro.Add() != 0) {
        std::printf("add failed at row %ld: %s\n", i, pro.error_text().c_str());
        return;
      }
    }
    storage::DeclaredTable::CommitTransaction();
    std::printf("log of %ld rows written in %.1f s\n", rows, Seconds(start));
  }
  app::GatewayFiles files(dir);
  auto start = Clock::now();
  const app::ScanReport r = app::send_mail(files);
  const double pass = Seconds(start);
  app::OpenTable open(files, app::Table::kProcessedFiles);
  storage::DeclaredTable& pro = files.processed();
  start = Clock::now();
  long waiting = 0, read = 0;
  pro.Set();
  while (pro.Next() == 0) {
    ++read;
    if (app::ReadProcessed(pro.buffer()).processed != 1) ++waiting;
  }
  const double full = Seconds(start);
  std::printf("pass with nothing waiting: %.4f s (sent %d)\n", pass, r.sent);
  std::printf("reading every row:         %.4f s (%ld rows, %ld waiting)\n", full, read, waiting);
}

void Mails(const std::filesystem::path& root) {
  const long count = EnvNumber("VM_BENCH_MAILS", 1000);
  const std::filesystem::path received = root / "received";
  std::filesystem::create_directories(received);
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[1]);
    close(out_pipe[0]);
    const std::string script = std::string(VM_SOURCE_DIR) + "/tests/peers/smtp_server.py";
    execl("/usr/bin/python3", "python3", script.c_str(), received.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  std::string line;
  char c;
  while (read(out_pipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out_pipe[0]);
  if (line.rfind("PORT ", 0) != 0) {
    std::printf("aiosmtpd did not start\n");
    return;
  }
  const uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(5)));
  const std::filesystem::path msg = root / "tree" / "101" / "msg";
  std::filesystem::create_directories(msg);
  const std::string audio(16000, 'a');
  for (long i = 0; i < count; ++i) {
    const auto p = msg / ("m" + std::to_string(i) + ".wav");
    std::ofstream(p, std::ios::binary) << audio;
    std::filesystem::last_write_time(
        p, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
  }
  const std::string dir = (root / "mails").string();
  std::filesystem::create_directories(dir);
  WriteSettings(dir, port, (root / "tree").string());
  {
    app::GatewayFiles files(dir);
    app::OpenTable open(files, app::Table::kMailboxes);
    app::WriteMailbox(app::MailboxRow{101, "alice@example.com", "", "YES", "YES"},
                      &files.mailboxes().buffer());
    files.mailboxes().Add();
  }
  net::NetRuntime::Start({});
  app::GatewayFiles files(dir);
  const auto start = Clock::now();
  const app::ScanReport r = app::send_mail(files);
  const double ours = Seconds(start);
  net::NetRuntime::Shutdown();
  std::printf(
      "voicemail-mailer: %d of %ld recordings (16000 bytes each) in %.2f s (%.0f per second)\n",
      r.sent, count, ours, r.sent / ours);
  const std::string cmd = "/usr/bin/python3 '" + std::string(VM_SOURCE_DIR) +
                          "/bench/gateway/smtplib_peer.py' " + std::to_string(port) + " '" +
                          msg.string() + "'";
  if (FILE* p = popen(cmd.c_str(), "r")) {
    double py = 0;
    if (std::fscanf(p, "%lf", &py) == 1) {
      std::printf("python smtplib:   %ld recordings in %.2f s (%.0f per second)\n", count, py,
                  count / py);
    }
    pclose(p);
  }
  close(in_pipe[1]);
  waitpid(pid, nullptr, 0);
}

}  // namespace

int main() {
  platform::SetDiagSink(nullptr);
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("vm_bench_gateway_" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  LongLog(root);
  Mails(root);
  std::filesystem::remove_all(root);
  return 0;
}
