// The standard list over a ProcessedFiles table: paging through every row
// (rows per second), the cost of showing the first and the last page (they
// should be about equal: neither reads the rows in between), and the peak
// memory of a process that shows the two ends and of one that pages through
// the whole table, for tables of several sizes. Each table is built and each measurement runs in
// a process of its own, so that one's memory does not count for another.
// A whole pass also fills the storage driver's cache of decoded pages, which
// keeps up to 96 MiB of expanded records; 200,000 rows show that cap.
// Usage: bench_framework [ROWS...] (default 10000 100000 200000).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/gateway_tables.h"
#include "framework/file_manager.h"
#include "framework/list_model.h"
#include "framework/relation_manager.h"

namespace {

using namespace vm;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class CountingErrors final : public framework::FileErrors {
 public:
  framework::Level Throw(int id, const framework::MessageValues& v) override {
    std::fprintf(stderr, "message %d on %s: %s (%d)\n", id, v.file.c_str(), v.error.text.c_str(),
                 v.error.code);
    ++count;
    return framework::kLevelNotify;
  }
  int count = 0;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_framework: %s failed\n", what);
    std::exit(1);
  }
}

// kB of a line of /proc/self/status ("VmHWM", "VmRSS").
long StatusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0)
      return std::strtol(line.c_str() + std::strlen(key) + 1, nullptr, 10);
  }
  return -1;
}

void Build(const std::string& dir, int rows) {
  auto t = storage::DeclareProcessedFiles(dir);
  Check(t->Create() == 0, "create");
  Check(t->Open() == 0, "open");
  Check(t->Logout() == 0, "logout");
  for (int i = 0; i < rows; ++i) {
    std::vector<char>& b = t->buffer();
    std::fill(b.begin(), b.end(), ' ');
    char name[64];
    std::snprintf(name, sizeof name, "Recording-%08d.WAV", i);
    std::memcpy(b.data() + storage::processed::kFileName, name, std::strlen(name));
    const int32_t date = 80000 + i % 365, time = 1 + (i % 8640) * 1000;
    std::memcpy(b.data() + storage::processed::kDate, &date, 4);
    std::memcpy(b.data() + storage::processed::kTime, &time, 4);
    b[storage::processed::kProcessed] = 1;
    const int16_t code = 0, mailbox = static_cast<int16_t>(100 + i % 50);
    std::memcpy(b.data() + storage::processed::kErrorCode, &code, 2);
    std::memcpy(b.data() + storage::processed::kMailbox, &mailbox, 2);
    std::memcpy(b.data() + storage::processed::kError, "Nil", 3);
    Check(t->Add() == 0, "add");
  }
  Check(storage::DeclaredTable::CommitTransaction() == 0, "commit");
  t->Close();
}

// The log viewer's columns.
std::vector<framework::ListColumnSpec> LogColumns() {
  return {{"Date", "PRO:DATE", "@D5", 33},
          {"Time", "PRO:TIME", "@T1", 23},
          {"MailBox", "PRO:MAILBOX", "@N3B", 31},
          {"Email", "PRO:EMAILADDRESS", "@S50", 113},
          {"Error Code", "PRO:ERRORCODE", "@N-7", 21},
          {"Error", "PRO:ERROR", "@S255", 1020}};
}

struct Bench {
  explicit Bench(const std::string& dir)
      : file("ProcessedFiles", storage::ProcessedFilesFile(dir), storage::ProcessedFilesDef(),
             &errors),
        relation(&file),
        window("Browse Records"),
        list(&window, &relation, LogColumns(), Options()) {}
  static framework::ListOptions Options() {
    framework::ListOptions o;
    o.page_rows = 20;
    return o;
  }
  CountingErrors errors;
  framework::FileManager file;
  framework::RelationManager relation;
  runtime::Window window;
  framework::StandardList list;
};

// Showing the first and the last page only: what a list costs that is
// opened and jumped to its end.
void MeasureEnds(const std::string& dir, int rows) {
  Bench b(dir);
  Check(b.list.Open() == 0, "list open");
  constexpr int kRepeats = 300;
  auto start = Clock::now();
  for (int i = 0; i < kRepeats; ++i) Check(b.list.Top(), "top");
  const double top = Seconds(start) / kRepeats;
  start = Clock::now();
  for (int i = 0; i < kRepeats; ++i) Check(b.list.Bottom(), "bottom");
  const double bottom = Seconds(start) / kRepeats;
  Check(b.list.rows().size() == 20, "full last page");
  Check(b.errors.count == 0, "no messages");
  std::printf("rows %7d: first page %6.1f us, last page %6.1f us; peak memory %6ld kB\n", rows,
              top * 1e6, bottom * 1e6, StatusKb("VmHWM"));
}

// Paging through every row forward, then back.
void MeasurePaging(const std::string& dir, int rows) {
  Bench b(dir);
  Check(b.list.Open() == 0, "list open");
  const int page = Bench::Options().page_rows;
  auto start = Clock::now();
  long shown = static_cast<long>(b.list.rows().size());
  while (b.list.PageDown()) shown += page;
  const double down = Seconds(start);
  start = Clock::now();
  long back = 0;
  while (b.list.PageUp()) back += page;
  const double up = Seconds(start);
  Check(b.errors.count == 0, "no messages");
  std::printf(
      "rows %7d: page down %7.0f rows/s, page up %7.0f rows/s (%ld rows); peak memory %6ld kB\n",
      rows, shown / down, back / up, shown, StatusKb("VmHWM"));
}

// Runs `body` in a child process and waits for it.
template <typename Body>
void InChild(Body body) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  Check(pid >= 0, "fork");
  if (pid == 0) {
    body();
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  Check(::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "child");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {10000, 100000, 200000};
  char pattern[] = "/tmp/vm-bench-framework-XXXXXX";
  Check(::mkdtemp(pattern) != nullptr, "mkdtemp");
  const std::string root = pattern;
  for (int rows : sizes) {
    const std::string dir = root + "/" + std::to_string(rows);
    std::filesystem::create_directories(dir);
    const auto start = Clock::now();
    InChild([&] { Build(dir, rows); });
    std::printf("rows %7d: built in %.1f s, file %ju kB\n", rows, Seconds(start),
                static_cast<uintmax_t>(
                    std::filesystem::file_size(storage::ProcessedFilesFile(dir)) / 1024));
    InChild([&] { MeasureEnds(dir, rows); });
    InChild([&] { MeasurePaging(dir, rows); });
  }
  std::filesystem::remove_all(root);
  return 0;
}
