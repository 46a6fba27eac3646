// `kfs import` of 150,000 rows killed with SIGKILL at random moments: the
// file it leaves checks sound, holds none or all of the rows, and after
// `kfs pack` is no longer than its data.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"

extern char** environ;

namespace vm::storage {
namespace {

using testing::Kfs;
using testing::TempDir;
using testing::ToolRun;

// The sanitizer build runs every kfs many times slower: there a tenth of
// the rows keeps the test within its time, and the kills land the same way.
#if defined(VM_SANITIZER_BUILD)
constexpr int kRows = 15000;
#else
constexpr int kRows = 150000;
#endif

// Starts "kfs import FILE\!T --schema SCHEMA < ROWS"; the process id, or -1.
pid_t StartImport(const std::string& file, const std::string& schema, const std::string& rows) {
  const char* bin = std::getenv("VM_BINARY_DIR");
  if (bin == nullptr) return -1;
  const std::string kfs = std::string(bin) + "/tools/kfs/kfs";
  const std::string table = file + "\\!T";
  std::vector<std::string> args = {kfs, "import", table, "--schema", schema};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, rows.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, kfs.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The number after `label` in `text`, or -1 when the label is missing.
long long NumberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + label.size()));
}

// Rows of table T in the output of `kfs info`: 0 when there is no table.
long long RowsOfT(const ToolRun& info) {
  EXPECT_EQ(info.exit_code, 0) << info.out;
  const size_t at = info.out.find("table T: ");
  if (at == std::string::npos) return 0;
  const std::string line = info.out.substr(at, info.out.find('\n', at) - at);
  const size_t rows = line.rfind(" rows");
  const size_t from = line.rfind(", ", rows);
  return std::stoll(line.substr(from + 2, rows - from - 2));
}

// The file as a kill left it: sound, none or all rows, and no longer than
// its data once packed. Returns the rows.
long long ExpectWhole(const std::string& file, const std::string& round) {
  SCOPED_TRACE(round);
  testing::ExpectSoundFile(file);
  const long long rows = RowsOfT(Kfs("info " + file));
  EXPECT_TRUE(rows == 0 || rows == kRows) << rows << " rows";
  const ToolRun pack = Kfs("pack " + file);
  EXPECT_EQ(pack.exit_code, 0) << pack.out;
  const ToolRun info = Kfs("info " + file);
  EXPECT_EQ(RowsOfT(info), rows);
  const uintmax_t size = std::filesystem::file_size(file);
  if (size != 0) {
    EXPECT_EQ(static_cast<long long>(size), NumberAfter(info.out, "data end: "));
  }
  return rows;
}

TEST(KfsKillTest, KilledImportLeavesNoneOrAllRows) {
  TempDir dir;
  const std::string schema = dir.path() + "/t.schema";
  const std::string rows = dir.path() + "/rows.csv";
  std::ofstream(schema) << "table T record length 30\n"
                           "  field T:N LONG offset 0 size 4\n"
                           "  field T:NAME STRING offset 4 size 26\n"
                           "  key   T:NKEY attributes 0: +T:N\n";
  {
    std::ofstream out(rows);
    out << "T:N,T:NAME\n";
    for (int i = 0; i < kRows; ++i) out << i << ",\"name " << (i * 7919 % kRows) << "\"\n";
  }
  // An import run to its end tells how long one takes.
  const std::string whole = dir.path() + "/WHOLE.KFS";
  const auto start = std::chrono::steady_clock::now();
  const pid_t first = StartImport(whole, schema, rows);
  ASSERT_GT(first, 0);
  int status = 0;
  ASSERT_EQ(waitpid(first, &status, 0), first);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto duration = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(ExpectWhole(whole, "import run to its end"), kRows);

  const unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  int landed = 0;
  for (int attempt = 0; landed < 6 && attempt < 24; ++attempt) {
    const std::string file = dir.path() + "/ROUND" + std::to_string(attempt) + ".KFS";
    const pid_t pid = StartImport(file, schema, rows);
    ASSERT_GT(pid, 0);
    // The import gathers its rows in memory and writes them at its end. Half
    // the rounds kill at any moment of the import; the others wait until it
    // writes pages and kill in the last fifth of its time.
    const auto began = std::chrono::steady_clock::now();
    std::chrono::microseconds delay(rng() % static_cast<unsigned>(micros + 1));
    if (landed % 2 == 1) {
      std::error_code ec;
      pid_t ended = 0;
      auto size = [&] {
        const uintmax_t n = std::filesystem::file_size(file, ec);
        return ec ? 0 : n;  // not made yet
      };
      while (std::chrono::steady_clock::now() - began < 3 * duration && size() <= 512 &&
             (ended = waitpid(pid, &status, WNOHANG)) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (ended == pid) continue;  // ended on its own: no round
      delay = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - began) +
              std::chrono::microseconds(rng() % static_cast<unsigned>(micros / 5 + 1));
    }
    std::this_thread::sleep_until(began + delay);
    // kill() succeeds on a process that has ended but is not yet waited for.
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // A process that ended before the signal reports its exit instead: that
    // attempt proves nothing and does not count.
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) continue;
    ++landed;
    if (!std::filesystem::exists(file)) continue;  // killed before it made the file
    ExpectWhole(
        file, "killed after " + std::to_string(delay.count()) + " us of " + std::to_string(micros));
  }
  EXPECT_EQ(landed, 6) << "too many imports ended before their kill";
}

}  // namespace
}  // namespace vm::storage
