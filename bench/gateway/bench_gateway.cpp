// Gateway benchmarks, each in a child process of its own so that its peak
// memory (maximum resident set) is its own:
// (a) A scan pass over a log of VM_BENCH_ROWS rows (default 1,000,000) with
//     nothing waiting, then with 10 rows waiting (sent to a port where no
//     server listens), against reading every row as a send loop in record
//     order would.
// (b) VM_BENCH_MAILS recordings (default 1,000) in 10 mailboxes mailed by one
//     pass to a local aiosmtpd, one connection per message, against Python's
//     smtplib sending the same files to the same server; VM_BENCH_ROUNDS
//     rounds (default 3) taking turns, their medians compared.
// (c) The peak memory of (a) and (b).
// (d) The recordings of (b) mailed over STARTTLS with a login (certificates
//     made for the run), against smtplib with starttls() and login().
// (e) A log of VM_BENCH_ROWS rows written with an earlier version's key (the
//     bare file name) moved to the current layout, as the first start does.
// (f) A pass with 1,000 rows waiting (VM_BENCH_WAITING) and a server that
//     never answers a connection attempt (a listener whose queue is full, so
//     the kernel drops the attempts): with retries on, one connect limit
//     (30 s) and the rest deferred, against the 1,000 connect limits it
//     would cost to try each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "../bench_child.h"
#include "app/gateway_files.h"
#include "app/gateway_tables.h"
#include "app/log_migration.h"
#include "app/mail_settings.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app/settings_file.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "runtime/date_time.h"
#include "storage/driver/declared_table.h"

using namespace vm;
using Clock = std::chrono::steady_clock;

namespace {

using bench::ChildResult;
using bench::InChild;

constexpr int kMailboxes = 10;

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

std::string LogDir(const std::filesystem::path& root) {
  return (root / "log").string();
}

// Writes the long log (the setup of (a), not measured).
double LongLogSetup(const std::filesystem::path& root) {
  const long rows = EnvNumber("VM_BENCH_ROWS", 1000000);
  const std::string dir = LogDir(root);
  std::filesystem::create_directories(dir);
  WriteSettings(dir, 25, (root / "empty-tree").string());
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
      return -1;
    }
  }
  storage::DeclaredTable::CommitTransaction();
  std::printf("log of %ld rows written in %.1f s\n", rows, Seconds(start));
  return 0;
}

// (a): a pass with nothing waiting, then one with 10 rows waiting. Returns
// the first pass's seconds.
double LongLogPasses(const std::filesystem::path& root) {
  app::GatewayFiles files(LogDir(root));
  auto start = Clock::now();
  const app::ScanReport r = app::send_mail(files);
  const double pass = Seconds(start);
  {
    app::OpenTable open(files, app::Table::kProcessedFiles);
    for (int i = 0; i < 10; ++i) {
      app::ProcessedRow w;
      w.filename = "waiting" + std::to_string(i) + ".wav";
      w.date = runtime::Today();  // queued now, as a pass queues them
      w.time = runtime::ClockTime();
      w.processed = 0;
      w.error = "0";
      w.mailbox = 100;
      w.email_address = "alice@example.com";
      w.send_attachment = "NO";
      app::WriteProcessed(w, &files.processed().buffer());
      files.processed().Add();
    }
  }
  net::NetRuntime::Start({});
  start = Clock::now();
  const app::ScanReport r10 = app::send_mail(files);
  const double pass10 = Seconds(start);
  net::NetRuntime::Shutdown();
  std::printf("pass with nothing waiting: %.4f s (sent %d)\n", pass, r.sent);
  std::printf(
      "pass with 10 waiting:      %.4f s (%d tried and refused: no server; %d deferred to a "
      "later pass)\n",
      pass10, r10.sent + r10.failed, r10.deferred);
  return pass;
}

// What a pass costs that reads every row, as a send loop in record order
// would. Returns its seconds.
double ReadEveryRow(const std::filesystem::path& root) {
  app::GatewayFiles files(LogDir(root));
  app::OpenTable open(files, app::Table::kProcessedFiles);
  storage::DeclaredTable& pro = files.processed();
  const auto start = Clock::now();
  long waiting = 0, read = 0;
  pro.Set();
  while (pro.Next() == 0) {
    ++read;
    if (app::ReadProcessed(pro.buffer()).processed != 1) ++waiting;
  }
  const double full = Seconds(start);
  std::printf("reading every row:         %.4f s (%ld rows, %ld waiting)\n", full, read, waiting);
  return full;
}

std::string OldLogDir(const std::filesystem::path& root) {
  return (root / "old-log").string();
}

// Writes the old-layout log of (d) (not measured).
double OldLogSetup(const std::filesystem::path& root) {
  const long rows = EnvNumber("VM_BENCH_ROWS", 1000000);
  std::filesystem::create_directories(OldLogDir(root));
  storage::DeclaredTable pro(storage::ProcessedFilesFile(OldLogDir(root)),
                             storage::ProcessedFilesDefByName());
  if (pro.Create() != 0 || pro.Open() != 0) return -1;
  pro.Logout();
  for (long i = 0; i < rows; ++i) {
    app::ProcessedRow r;
    r.filename = "msg" + std::to_string(i) + ".wav";
    r.processed = 1;
    r.error = "Nil";
    r.mailbox = static_cast<int16_t>(100 + i % 50);
    app::WriteProcessed(r, &pro.buffer());
    if (pro.Add() != 0) return -1;
  }
  storage::DeclaredTable::CommitTransaction();
  return 0;
}

// (d): the move itself. Returns its seconds.
double MoveOldLog(const std::filesystem::path& root) {
  app::MigrationReport report;
  const auto start = Clock::now();
  const int rc = app::MigrateLog(OldLogDir(root), platform::Env::Default(), &report);
  const double moved = Seconds(start);
  std::printf("old log moved to the current layout: %u rows in %.1f s (result %d)\n", report.rows,
              moved, rc);
  return moved;
}

// A Python SMTP server of tests/peers started as a child: it prints its
// port, and stops when its standard input closes.
struct PeerServer {
  pid_t pid = -1;
  int stdin_fd = -1;
  uint16_t port = 0;
};

PeerServer StartServer(const std::string& script, const std::vector<std::string>& args) {
  PeerServer s;
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[1]);
    close(out_pipe[0]);
    std::vector<std::string> all = {"/usr/bin/python3",
                                    std::string(VM_SOURCE_DIR) + "/tests/peers/" + script};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  s.stdin_fd = in_pipe[1];
  std::string line;
  char c;
  while (read(out_pipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out_pipe[0]);
  if (line.rfind("PORT ", 0) == 0) s.port = static_cast<uint16_t>(std::stoi(line.substr(5)));
  return s;
}

void StopServer(const PeerServer& s) {
  close(s.stdin_fd);
  waitpid(s.pid, nullptr, 0);
}

// `count` recordings of 16000 bytes in 10 mailboxes below `tree`, old
// enough to be queued at once.
void MakeTree(const std::filesystem::path& tree, long count) {
  const std::string audio(16000, 'a');
  for (long i = 0; i < count; ++i) {
    const std::filesystem::path msg = tree / std::to_string(101 + i % kMailboxes) / "msg";
    std::filesystem::create_directories(msg);
    const auto p = msg / ("m" + std::to_string(i) + ".wav");
    std::ofstream(p, std::ios::binary) << audio;
    std::filesystem::last_write_time(
        p, std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5));
  }
}

// A working directory with the settings record for `port` and the 10 mailboxes.
void MakeWorkingDirectory(const std::string& dir, uint16_t port, const std::string& tree) {
  std::filesystem::create_directories(dir);
  WriteSettings(dir, port, tree);
  app::GatewayFiles files(dir);
  app::OpenTable open(files, app::Table::kMailboxes);
  for (int b = 0; b < kMailboxes; ++b) {
    app::WriteMailbox(
        app::MailboxRow{static_cast<int16_t>(101 + b), "alice@example.com", "", "YES", "YES"},
        &files.mailboxes().buffer());
    files.mailboxes().Add();
  }
}

// One pass over `dir`; prints and returns the messages sent per second.
double TimedPass(const std::string& dir, long count) {
  net::NetRuntime::Start({});
  app::GatewayFiles files(dir);
  const auto start = Clock::now();
  const app::ScanReport r = app::send_mail(files);
  const double ours = Seconds(start);
  net::NetRuntime::Shutdown();
  std::printf(
      "voicemail-mailer: %d of %ld recordings (16000 bytes each) in %.2f s (%.0f per second)\n",
      r.sent, count, ours, r.sent / ours);
  return r.sent / ours;
}

// smtplib_peer.py over the same tree to the same server; prints and returns
// its messages per second (0 when it did not run).
double SmtplibRate(const std::string& args, long count) {
  const std::string cmd =
      "/usr/bin/python3 '" + std::string(VM_SOURCE_DIR) + "/bench/gateway/smtplib_peer.py' " + args;
  double rate = 0;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    double py = 0;
    if (std::fscanf(p, "%lf", &py) == 1 && py > 0) {
      rate = count / py;
      std::printf("python smtplib:   %ld recordings in %.2f s (%.0f per second)\n", count, py,
                  rate);
    }
    pclose(p);
  }
  return rate;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// VM_BENCH_ROUNDS rounds (default 3) of a pass over a fresh copy of the
// working directory `make_dir` makes, each followed by smtplib over the same
// tree: the two take turns, so a busy moment of a shared machine weighs on
// both, and the medians are compared.
void CompareWithSmtplib(const std::function<std::string(int)>& make_dir,
                        const std::string& smtplib_args, long count) {
  const long rounds = std::max(1L, EnvNumber("VM_BENCH_ROUNDS", 3));
  std::vector<double> ours, theirs;
  for (long i = 0; i < rounds; ++i) {
    const std::string dir = make_dir(static_cast<int>(i));
    if (dir.empty()) return;
    ours.push_back(TimedPass(dir, count));
    theirs.push_back(SmtplibRate(smtplib_args, count));
  }
  if (Median(theirs) <= 0) return;
  std::printf(
      "voicemail-mailer sends %.2f times as many per second as smtplib (medians of %ld rounds: "
      "%.0f and %.0f per second)\n",
      Median(ours) / Median(theirs), rounds, Median(ours), Median(theirs));
}

double Mails(const std::filesystem::path& root) {
  const long count = EnvNumber("VM_BENCH_MAILS", 1000);
  const std::filesystem::path received = root / "received";
  std::filesystem::create_directories(received);
  const PeerServer server = StartServer("smtp_server.py", {received.string()});
  if (server.port == 0) {
    std::printf("aiosmtpd did not start\n");
    return -1;
  }
  MakeTree(root / "tree", count);
  const auto make_dir = [&](int round) {
    const std::string dir = (root / ("mails-" + std::to_string(round))).string();
    MakeWorkingDirectory(dir, server.port, (root / "tree").string());
    return dir;
  };
  CompareWithSmtplib(make_dir, std::to_string(server.port) + " '" + (root / "tree").string() + "'",
                     count);
  StopServer(server);
  return 0;
}

// A CA and a server certificate it signed for 127.0.0.1, made by the
// openssl command; false when it failed.
bool MakeCertificates(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  const std::string d = "'" + dir.string() + "'";
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string cmd =
      "openssl req -x509 " + ec + " -keyout " + d + "/ca.key -out " + d +
      "/ca.pem -days 2 -subj '/CN=Bench CA' -addext basicConstraints=critical,CA:TRUE -addext "
      "keyUsage=critical,keyCertSign,cRLSign && openssl req -new " +
      ec + " -keyout " + d + "/server.key -out " + d +
      "/server.csr -subj /CN=localhost && printf "
      "'subjectAltName=DNS:localhost,IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > " +
      d + "/server.ext && openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " +
      d + "/ca.key -CAcreateserial -days 2 -out " + d + "/server.pem -extfile " + d +
      "/server.ext >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// (d): the same over STARTTLS with a login, the certificate checked against
// a CA made for the run; the pass resumes the TLS session on every
// connection after its first.
double TlsMails(const std::filesystem::path& root) {
  const long count = EnvNumber("VM_BENCH_MAILS", 1000);
  const std::filesystem::path certs = root / "certs";
  if (!MakeCertificates(certs)) {
    std::printf("the openssl command could not make the certificates\n");
    return -1;
  }
  const std::string user = "bench", password = "Bench-Pw-1";
  const std::filesystem::path received = root / "received-tls";
  std::filesystem::create_directories(received);
  const PeerServer server = StartServer(
      "smtp_tls_server.py",
      {received.string(), "--mode", "starttls", "--cert", (certs / "server.pem").string(), "--key",
       (certs / "server.key").string(), "--user", user, "--password", password, "--low-port"});
  if (server.port == 0) {
    std::printf("aiosmtpd with STARTTLS did not start\n");
    return -1;
  }
  MakeTree(root / "tree-tls", count);
  const auto make_dir = [&](int round) -> std::string {
    const std::string dir = (root / ("mails-tls-" + std::to_string(round))).string();
    MakeWorkingDirectory(dir, server.port, (root / "tree-tls").string());
    auto settings = app::SettingsFile::Read(dir);
    if (!settings.ok()) return "";
    settings->Set(app::kKeySecurity, "starttls");
    settings->Set(app::kKeyUser, user);
    settings->Set(app::kKeyPassword, password);
    settings->Set(app::kKeyCaFile, (certs / "ca.pem").string());
    if (!settings->Write().ok()) return "";
    return dir;
  };
  CompareWithSmtplib(make_dir,
                     std::to_string(server.port) + " '" + (root / "tree-tls").string() +
                         "' --starttls '" + (certs / "ca.pem").string() + "' --user " + user +
                         " --password " + password,
                     count);
  StopServer(server);
  return 0;
}

// A loopback port whose listener never accepts and whose queue is full.
// Returns the port; the sockets stay open until the process ends.
uint16_t UnansweredPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 0) != 0) return 0;
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  for (int i = 0; i < 3; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  usleep(100000);
  return ntohs(a.sin_port);
}

// (f): the seconds of one pass over VM_BENCH_WAITING waiting rows whose
// server never answers the connect.
double SilentServerPass(const std::filesystem::path& root) {
  const long count = EnvNumber("VM_BENCH_WAITING", 1000);
  const std::string dir = (root / "silent").string();
  std::filesystem::create_directories(dir);
  const uint16_t port = UnansweredPort();
  WriteSettings(dir, port, (root / "silent-tree").string());
  {
    app::GatewayFiles files(dir);
    app::OpenTable open(files, app::Table::kProcessedFiles);
    storage::DeclaredTable& pro = files.processed();
    pro.Logout();  // one commit for the lot
    for (long i = 0; i < count; ++i) {
      app::ProcessedRow w;
      w.filename = "waiting" + std::to_string(i) + ".wav";
      w.full_path = "/nonexistent/" + w.filename;
      w.date = runtime::Today();
      w.time = runtime::ClockTime();
      w.processed = 0;
      w.error = "0";
      w.mailbox = 100;
      w.email_address = "alice@example.com";
      w.send_attachment = "NO";
      app::WriteProcessed(w, &pro.buffer());
      pro.Add();
    }
    storage::DeclaredTable::CommitTransaction(platform::Env::Default(), &pro);
  }
  net::NetRuntimeOptions net;
  net.connect_timeout_ms = 30000;
  net::NetRuntime::Start(std::move(net));
  app::GatewayFiles files(dir);
  const auto start = Clock::now();
  const app::ScanReport r = app::send_mail(files);
  const double pass = Seconds(start);
  net::NetRuntime::Shutdown();
  std::printf(
      "pass with %ld waiting, server silent: %.2f s (%d tried, %d deferred; connect limit 30 s; "
      "trying each would take %.1f hours)\n",
      count, pass, r.failed + r.sent, r.deferred, count * 30.0 / 3600);
  return pass;
}

}  // namespace

int main() {
  platform::SetDiagSink(nullptr);
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("vm_bench_gateway_" + std::to_string(getpid()));
  std::filesystem::create_directories(root);
  // VM_BENCH_CASES picks cases by letter ("f"); all by default.
  const char* cases_env = std::getenv("VM_BENCH_CASES");
  const std::string cases = cases_env != nullptr ? cases_env : "abcdef";
  const auto run = [&](char c) { return cases.find(c) != std::string::npos; };
  ChildResult a, b, full;
  if (run('a')) {
    std::printf("(a) a pass over a long log\n");
    InChild(LongLogSetup, root);
    a = InChild(LongLogPasses, root);
    full = InChild(ReadEveryRow, root);
    if (a.value > 0 && full.value > 0) {
      std::printf("nothing waiting is %.0f times faster than reading every row\n",
                  full.value / a.value);
    }
  }
  if (run('b')) {
    std::printf("(b) recordings mailed, one connection per message\n");
    b = InChild(Mails, root);
  }
  if (run('c')) {
    std::printf(
        "(c) peak memory (max RSS): (a) %.1f MiB, (b) %.1f MiB; reading every row %.1f MiB\n",
        a.max_rss_kib / 1024.0, b.max_rss_kib / 1024.0, full.max_rss_kib / 1024.0);
  }
  if (run('d')) {
    std::printf("(d) recordings mailed over STARTTLS with a login, one connection per message\n");
    const ChildResult d = InChild(TlsMails, root);
    std::printf("peak memory (max RSS) of (d): %.1f MiB\n", d.max_rss_kib / 1024.0);
  }
  if (run('e')) {
    std::printf("(e) an old log moved to the current layout\n");
    InChild(OldLogSetup, root);
    const ChildResult e = InChild(MoveOldLog, root);
    std::printf("peak memory of the move: %.1f MiB\n", e.max_rss_kib / 1024.0);
  }
  if (run('f')) {
    std::printf("(f) a pass with waiting rows and a server that never answers the connect\n");
    InChild(SilentServerPass, root);
  }
  std::filesystem::remove_all(root);
  return 0;
}
