// Scale benchmark: a voice-mail tree of VM_BENCH_MAILBOXES (10,000) enabled
// mailboxes with VM_BENCH_KEPT (20) old recordings each, every one of them
// in a log of VM_BENCH_ROWS (1,000,000) rows. Each case runs in a child
// process of its own and prints its peak memory (maximum resident set):
// (a) a pass with nothing new, after a first pass of the same run, with the
//     tree watched as the running program watches it; (a') the same
//     without the watch (every folder's stamp taken);
// (b) the same with folder skipping off (every folder listed, every file
//     looked up), not watched;
// (c) a pass with 10 new recordings, mailed to aiosmtpd on loopback, the
//     tree watched;
// (d) the floor: a plain walk of the same folders that lists each and looks
//     each name up in a hash set;
// and the ratios (a)/(b) and (a)/(d); then the latency of the program
// itself (headless) with settle=2, from a recording's close to the
// server's receipt of its message, median and worst of 20.
// Making the tree and the log is setup and is not measured. The data lives
// below the system's temporary directory and is removed at the end.
//
// `bench_scale profile DIR` makes the data in DIR (once) and runs (b) in the
// calling process, for a heap profiler (heaptrack bench_scale profile DIR);
// `bench_scale profile DIR a N` runs N passes with nothing new after the
// first, the tree watched ("s": not watched), for a sampling profiler
// (perf record bench_scale profile DIR a 50).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "../bench_child.h"
#include "app/frame.h"
#include "app/gateway_files.h"
#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app/settings_file.h"
#include "app/tree_watcher.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "runtime/date_time.h"
#include "storage/driver/declared_table.h"

using namespace vm;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

using bench::ChildResult;
using bench::InChild;

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::atol(v) : fallback;
}

const long kMailboxes = EnvNumber("VM_BENCH_MAILBOXES", 10000);
const long kKept = EnvNumber("VM_BENCH_KEPT", 20);
const long kRows = EnvNumber("VM_BENCH_ROWS", 1000000);

double Seconds(SteadyClock::time_point since) {
  return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

std::string TreeOf(const fs::path& root) {
  return (root / "tree").string();
}
std::string WorkOf(const fs::path& root) {
  return (root / "work").string();
}

// The recordings' last write: a day ago plus `i` seconds, whole seconds.
int64_t RecordingTime(int64_t base, long i) {
  return base + i;
}

std::string RecordingName(long k) {
  char name[32];
  std::snprintf(name, sizeof name, "msg%04ld.wav", k);
  return name;
}

void SetTimes(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// The tree: folder N/msg for every mailbox, kKept empty recordings each (a
// recording's bytes do not matter to a pass that finds it mailed). The
// folders' own times are set an hour back, as on a server that has run a
// while.
void MakeTree(const fs::path& root, int64_t base) {
  const std::string tree = TreeOf(root);
  for (long b = 1; b <= kMailboxes; ++b) {
    const std::string msg = tree + "/" + std::to_string(b) + "/msg";
    fs::create_directories(msg);
    for (long k = 0; k < kKept; ++k) {
      const std::string p = msg + "/" + RecordingName(100 - kKept + k);
      const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) close(fd);
      SetTimes(p, RecordingTime(base, b * 100 + k));
    }
    SetTimes(msg, base + 23 * 3600);
  }
}

void WriteSettings(const std::string& dir, const std::string& tree, uint16_t port) {
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

void WriteMailboxes(const std::string& dir) {
  app::GatewayFiles files(dir);
  app::OpenTable open(files, app::Table::kMailboxes);
  storage::DeclaredTable& mai = files.mailboxes();
  mai.Logout();
  for (long b = 1; b <= kMailboxes; ++b) {
    app::WriteMailbox(app::MailboxRow{static_cast<int16_t>(b),
                                      "box" + std::to_string(b) + "@example.com", "", "YES", "YES"},
                      &mai.buffer());
    mai.Add();
  }
  storage::DeclaredTable::CommitTransaction();
}

// The log, in the order a server would have written it: round after round
// of one recording per mailbox, the older rounds for recordings deleted
// since, the last kKept rounds for those still in the tree.
void WriteLog(const std::string& dir, int64_t base) {
  app::GatewayFiles files(dir);
  app::OpenTable open(files, app::Table::kProcessedFiles);
  storage::DeclaredTable& pro = files.processed();
  pro.Logout();
  const long rounds = std::max(kKept, kRows / kMailboxes);
  for (long k = 100 - rounds; k < 100; ++k) {
    for (long b = 1; b <= kMailboxes; ++b) {
      app::ProcessedRow r;
      r.filename = RecordingName(k);
      r.mailbox = static_cast<int16_t>(b);
      const runtime::DayAndTime when =
          runtime::LocalDayAndTime(RecordingTime(base, b * 100 + (k - (100 - kKept))), 0);
      r.date_of_recording = when.day;
      r.time_of_recording = when.time;
      r.date = when.day;
      r.time = when.time;
      r.processed = 1;
      r.error = "Nil";
      r.email_address = "box" + std::to_string(b) + "@example.com";
      r.send_attachment = "YES";
      r.full_path =
          TreeOf(fs::path(dir).parent_path()) + "/" + std::to_string(b) + "/msg/" + r.filename;
      app::WriteProcessed(r, &pro.buffer());
      if (pro.Add() != 0) {
        std::printf("add failed: %s\n", pro.error_text().c_str());
        return;
      }
    }
    if ((k + 1) % 10 == 0) {
      storage::DeclaredTable::CommitTransaction();
      pro.Logout();
    }
  }
  storage::DeclaredTable::CommitTransaction();
}

double Setup(const fs::path& root) {
  const auto start = SteadyClock::now();
  const int64_t base = time(nullptr) - 2 * 86400;
  MakeTree(root, base);
  const double tree = Seconds(start);
  const std::string work = WorkOf(root);
  fs::create_directories(work);
  WriteSettings(work, TreeOf(root), 25);
  WriteMailboxes(work);
  WriteLog(work, base);
  std::printf("setup: %ld mailboxes x %ld recordings in %.1f s, log of %ld rows in %.1f s\n",
              kMailboxes, kKept, tree, std::max(kKept, kRows / kMailboxes) * kMailboxes,
              Seconds(start) - tree);
  return 0;
}

// The tree watcher of a running program, its watches set up before any
// clock starts; null unless `watched`.
std::unique_ptr<app::TreeWatcher> WatcherOf(const fs::path& root, bool watched) {
  if (!watched) return nullptr;
  auto w = std::make_unique<app::TreeWatcher>(app::TreeWatchOptions{});
  w->Follow(TreeOf(root), 45);
  w->WaitUntilFollowing();
  return w;
}

// The tables, the tree watcher and the pass memory of a running program
// over `root`, as its passes see them.
struct Program {
  Program(const fs::path& root, bool watched)
      : watcher(WatcherOf(root, watched)), files(WorkOf(root)) {
    options.memory = std::make_shared<app::ScanMemory>();
    options.watcher = watcher.get();
  }
  app::ScanReport Pass() { return app::send_mail(files, options); }

  std::unique_ptr<app::TreeWatcher> watcher;
  app::GatewayFiles files;
  app::ScanOptions options;
};

// A first pass to give the others the memory of a running program, then
// `count` passes with nothing new (kStampTurns of them take every folder's
// stamp once, the tree watched); returns the median's seconds.
double LaterPasses(const fs::path& root, bool skip_unchanged, bool watched, int count,
                   const char* label) {
  Program program(root, watched);
  program.options.skip_unchanged = skip_unchanged;
  auto start = SteadyClock::now();
  app::ScanReport r = program.Pass();
  const double first = Seconds(start);
  std::vector<double> later;
  for (int i = 0; i < count; ++i) {
    start = SteadyClock::now();
    r = program.Pass();
    later.push_back(Seconds(start));
  }
  const double second = later.front();
  std::sort(later.begin(), later.end());
  const size_t mid = later.size() / 2;
  const double median = later.size() % 2 == 1 ? later[mid] : (later[mid - 1] + later[mid]) / 2;
  std::printf(
      "%s: %.1f ms median of %zu passes, worst %.1f ms (queued %d; the run's first pass %.0f ms, "
      "the second %.1f ms; the last read %d mailbox rows, took %d folder stamps, listed %d "
      "folders)\n",
      label, median * 1000, later.size(), later.back() * 1000, r.queued, first * 1000,
      second * 1000, r.mailboxes_read, r.folders_stamped, r.folders_listed);
  return median;
}

double NothingNew(const fs::path& root) {
  return LaterPasses(root, true, true, app::kStampTurns,
                     "(a) a pass with nothing new, the tree watched");
}

double NothingNewUnwatched(const fs::path& root) {
  return LaterPasses(root, true, false, app::kStampTurns,
                     "(a') the same, not watched (folder stamps alone)");
}

// A first pass, then `count` passes with nothing new, each timed.
void RepeatedPasses(const fs::path& root, bool watched, long count) {
  Program program(root, watched);
  program.Pass();
  std::vector<double> ms;
  for (long i = 0; i < count; ++i) {
    const auto start = SteadyClock::now();
    program.Pass();
    ms.push_back(Seconds(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty())
    std::printf("%ld passes with nothing new: best %.1f ms, median %.1f ms, worst %.1f ms\n", count,
                ms.front(), ms[ms.size() / 2], ms.back());
}

double NothingNewEveryFolder(const fs::path& root) {
  // One pass: each takes seconds.
  return LaterPasses(root, false, false, 1, "(b) the same, every folder listed");
}

// A Python SMTP server of tests/peers started as a child: it prints its
// port, and stops when its standard input closes.
struct PeerServer {
  pid_t pid = -1;
  int stdin_fd = -1;
  uint16_t port = 0;
};

PeerServer StartSink(const fs::path& received) {
  PeerServer s;
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[1]);
    close(out_pipe[0]);
    std::string python = "/usr/bin/python3";
    std::string script = std::string(VM_SOURCE_DIR) + "/tests/peers/smtp_server.py";
    std::string dir = received.string();
    char* argv[] = {python.data(), script.data(), dir.data(), nullptr};
    execv(argv[0], argv);
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

void StopSink(const PeerServer& s) {
  close(s.stdin_fd);
  waitpid(s.pid, nullptr, 0);
}

void SetPort(const std::string& dir, uint16_t port) {
  app::GatewayFiles files(dir);
  app::OpenTable open(files, app::Table::kControl);
  storage::DeclaredTable& con = files.control();
  if (con.Set() != 0 || con.Next() != 0) return;
  app::ControlRow row = app::ReadControl(con.buffer());
  row.port = static_cast<int16_t>(port);
  app::WriteControl(row, &con.buffer());
  con.Put();
}

// Ten recordings of 16000 bytes, one in each of ten mailboxes spread over
// the tree, old enough to be queued at once.
void AddNewRecordings(const fs::path& root, int64_t written) {
  const std::string audio(16000, 'a');
  for (long i = 0; i < 10; ++i) {
    const long box = 1 + i * (kMailboxes / 10);
    const std::string p = TreeOf(root) + "/" + std::to_string(box) + "/msg/new" +
                          std::to_string(i) + "_" + std::to_string(getpid()) + ".wav";
    std::ofstream(p, std::ios::binary) << audio;
    SetTimes(p, written);
  }
}

// (c): the tree watched, after two passes, 10 new recordings, mailed to
// aiosmtpd. The sends' share is the time from the end of the first send to the end of the last,
// times 10/9 (each send is one connection, all alike).
double TenNew(const fs::path& root) {
  fs::create_directories(root / "received");
  const PeerServer sink = StartSink(root / "received");
  if (sink.port == 0) {
    std::printf("(c) aiosmtpd did not start\n");
    return -1;
  }
  SetPort(WorkOf(root), sink.port);
  net::NetRuntime::Start({});
  Program program(root, true);
  program.Pass();
  program.Pass();
  AddNewRecordings(root, time(nullptr) - 300);
  // The running program's pass comes settle seconds after the closes, when
  // the watcher has long read their events.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<SteadyClock::time_point> sent;
  program.options.on_sent = [&sent] { sent.push_back(SteadyClock::now()); };
  const auto start = SteadyClock::now();
  const app::ScanReport r = program.Pass();
  const double pass = Seconds(start);
  net::NetRuntime::Shutdown();
  StopSink(sink);
  double sends = 0;
  if (sent.size() >= 2) {
    sends = std::chrono::duration<double>(sent.back() - sent.front()).count() * sent.size() /
            (sent.size() - 1);
  }
  std::printf(
      "(c) a pass with 10 new recordings: %.1f ms, %d sent; the sends about %.1f ms, the rest "
      "%.1f ms\n",
      pass * 1000, r.sent, sends * 1000, (pass - sends) * 1000);
  return pass - sends;
}

// (d): the floor: every msg folder listed and each name looked up in a hash
// set of the recordings the log holds (loaded before the clock starts).
double PlainWalk(const fs::path& root) {
  std::unordered_set<std::string> known;
  for (long b = 1; b <= kMailboxes; ++b) {
    for (long k = 0; k < kKept; ++k)
      known.insert(std::to_string(b) + "/" + RecordingName(100 - kKept + k));
  }
  const std::string tree = TreeOf(root);
  const auto start = SteadyClock::now();
  long found = 0;
  for (long b = 1; b <= kMailboxes; ++b) {
    const std::string box = std::to_string(b);
    DIR* d = opendir((tree + "/" + box + "/msg").c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      found += known.count(box + "/" + e->d_name) != 0;
    }
    closedir(d);
  }
  const double walk = Seconds(start);
  std::printf("(d) a plain walk of the same folders: %.1f ms (%ld names known)\n", walk * 1000,
              found);
  return walk;
}

// Messages the sink has saved (it saves each before it answers the DATA).
size_t Received(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.path().extension() == ".eml";
  return n;
}

// Waits up to `limit` seconds for the sink to hold `count` messages; the
// seconds waited, or -1.
double WaitForReceived(const fs::path& dir, size_t count, double limit) {
  const auto start = SteadyClock::now();
  while (Received(dir) < count) {
    if (Seconds(start) > limit) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return Seconds(start);
}

pid_t StartProgram(const std::string& work) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    std::string exe = std::string(VM_BINARY_DIR) + "/voicemail-mailer";
    std::string headless = "--headless", dir_switch = "--data-dir", dir = work;
    char* argv[] = {exe.data(), headless.data(), dir_switch.data(), dir.data(), nullptr};
    execv(argv[0], argv);
    _exit(127);
  }
  return pid;
}

// The running program (headless, the service's mode) with settle=2: from a
// recording's close to the sink's saving of its message, 20 recordings one
// after another in mailboxes across the tree, after one that warms the run
// up (the run's first pass lists every folder).
double Latency(const fs::path& root) {
  const fs::path received = root / "received-latency";
  fs::create_directories(received);
  const PeerServer sink = StartSink(received);
  if (sink.port == 0) return -1;
  const std::string work = WorkOf(root);
  SetPort(work, sink.port);
  auto settings = app::SettingsFile::Read(work);
  if (!settings.ok()) return -1;
  settings->Set(app::kKeySettle, "2");
  if (!settings->Write().ok()) return -1;
  const pid_t program = StartProgram(work);
  const std::string audio(16000, 'a');
  auto record = [&](long box, const std::string& name) {
    std::ofstream(TreeOf(root) + "/" + std::to_string(box) + "/msg/" + name, std::ios::binary)
        << audio;
  };
  std::vector<double> latencies;
  // The program is ready once a warm-up recording is mailed; every one
  // written is waited for, so that none counts as a later one.
  size_t written = 0;
  while (written < 60 && Received(received) == 0) {
    record(kMailboxes, "warm" + std::to_string(written++) + ".wav");
    WaitForReceived(received, 1, 5);
  }
  const size_t warm = WaitForReceived(received, written, 60) < 0 ? 0 : written;
  for (size_t i = 0; i < 20 && warm > 0; ++i) {
    record(1 + static_cast<long>(i) * (kMailboxes / 20), "late" + std::to_string(i) + ".wav");
    const double waited = WaitForReceived(received, warm + i + 1, 60);
    if (waited < 0) break;
    latencies.push_back(waited);
  }
  kill(program, SIGTERM);
  int status = 0;
  rusage usage{};
  wait4(program, &status, 0, &usage);
  StopSink(sink);
  if (latencies.size() < 20) {
    std::printf("latency: only %zu of 20 recordings were mailed\n", latencies.size());
    return -1;
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf(
      "latency with settle=2, close to the server's receipt, 20 recordings: median %.2f s, worst "
      "%.2f s (the program's peak memory %.1f MiB)\n",
      (latencies[9] + latencies[10]) / 2, latencies.back(), usage.ru_maxrss / 1024.0);
  return latencies.back();
}

ChildResult Measured(double (*work)(const fs::path&), const fs::path& root) {
  const ChildResult r = InChild(work, root);
  std::printf("    peak memory (max RSS) %.1f MiB\n", r.max_rss_kib / 1024.0);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SetDiagSink(nullptr);
  if ((argc == 3 || argc == 5) && std::strcmp(argv[1], "profile") == 0) {
    const fs::path root = argv[2];
    if (!fs::exists(root / "work")) Setup(root);
    if (argc == 5) {
      RepeatedPasses(root, std::strcmp(argv[3], "a") == 0, std::atol(argv[4]));
    } else {
      NothingNewEveryFolder(root);
    }
    return 0;
  }
  const fs::path root = fs::temp_directory_path() / ("vm_bench_scale_" + std::to_string(getpid()));
  fs::create_directories(root);
  InChild(Setup, root);
  const ChildResult a = Measured(NothingNew, root);
  Measured(NothingNewUnwatched, root);
  const ChildResult b = Measured(NothingNewEveryFolder, root);
  Measured(TenNew, root);
  const ChildResult d = Measured(PlainWalk, root);
  InChild(Latency, root);
  if (a.value > 0 && b.value > 0 && d.value > 0) {
    std::printf("(a)/(b) = %.4f ((b) takes %.0f times as long); (a)/(d) = %.2f\n",
                a.value / b.value, b.value / a.value, a.value / d.value);
  }
  fs::remove_all(root);
  return 0;
}
