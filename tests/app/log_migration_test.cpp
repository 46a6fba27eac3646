// A log written by an earlier version (PRO:FILENAMEKEY on the bare name) is
// moved to the current layout on its first open: its rows read as before
// (kfs, the log window), its recordings are not mailed again, the old file
// stays as a backup; a kill or a failed write at any moment of the move leaves
// the old log whole and usable, and the next start completes the move.
#include "app/log_migration.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include "app/gateway_relations.h"
#include "app/gateway_tables.h"
#include "app/log_viewer.h"
#include "app/records.h"
#include "app_test_support.h"
#include "framework/file_errors.h"
#include "runtime/date_time.h"
#include "runtime/directory.h"
#include "runtime/window.h"
#include "spawn_program.h"
#include "storage/driver/declared_table.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

using Rows = std::vector<std::string>;

// Every row of the log file `path` read with layout `def` (empty when it
// does not open with that layout).
Rows RowsAs(const std::string& path, const storage::TableDef& def) {
  Rows rows;
  storage::DeclaredTable t(path, def);
  if (t.Open(storage::kAccessRead | storage::kShareDenyNone) != 0) return rows;
  t.Set();
  while (t.Next() == 0) rows.emplace_back(t.buffer().begin(), t.buffer().end());
  return rows;
}

// Rows compared without printing 906-byte rows by the thousand.
::testing::AssertionResult Same(const Rows& got, const Rows& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " rows, not " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i])
      return ::testing::AssertionFailure() << "row " << i << " differs: " << got[i].substr(0, 40);
  }
  return ::testing::AssertionSuccess();
}

std::string Kfs(const std::string& args, int* status = nullptr) {
  return RunCommand("'" + BinaryPath("tools/kfs/kfs") + "' " + args, status);
}

class LogMigrationTest : public GatewayTest {
 protected:
  std::string LogFile() const { return storage::ProcessedFilesFile(data_dir()); }

  // Writes a log as an earlier version did: `rows` rows, every fifth one
  // still waiting unless `all_sent`, in one transaction.
  void WriteOldLog(int rows, bool all_sent = false) {
    storage::DeclaredTable t(LogFile(), storage::ProcessedFilesDefByName());
    ASSERT_EQ(t.Create(), 0);
    ASSERT_EQ(t.Open(), 0);
    ASSERT_EQ(t.Logout(), 0);
    for (int i = 0; i < rows; ++i) {
      ProcessedRow r;
      r.filename = "rec" + std::to_string(i) + ".wav";
      r.mailbox = static_cast<int16_t>(101 + i % 3);
      r.email_address = "box" + std::to_string(r.mailbox) + "@example.com";
      r.full_path = tree() + "/" + std::to_string(r.mailbox) + "/msg/" + r.filename;
      r.send_attachment = "NO";
      r.date = runtime::DayFromDate(2025, 1 + i % 12, 1 + i % 28);
      r.time = runtime::TimeFrom(i % 24, i % 60);
      r.date_of_recording = r.date - 1;
      r.time_of_recording = r.time;
      r.processed = i % 5 == 4 && !all_sent ? 0 : 1;
      r.error = r.processed == 1 ? "Nil" : "0";
      WriteProcessed(r, &t.buffer());
      ASSERT_EQ(t.Add(), 0) << i;
    }
    ASSERT_EQ(storage::DeclaredTable::CommitTransaction(), 0);
  }

  // The directory's names, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(data_dir())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

class SilentErrors final : public framework::FileErrors {
 public:
  framework::Level Throw(int, const framework::MessageValues&) override {
    return framework::kLevelBenign;
  }
};

TEST_F(LogMigrationTest, OldLogIsMovedOnFirstOpenAndReadsAsBefore) {
  WriteOldLog(40);
  const auto before = RowsAs(LogFile(), storage::ProcessedFilesDefByName());
  ASSERT_EQ(before.size(), 40u);
  int status = -1;
  const std::string dump_before = Kfs("dump '" + LogFile() + "'", &status);
  ASSERT_EQ(status, 0) << dump_before;

  {
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kProcessedFiles);
    ASSERT_EQ(open.code(), 0);
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"PROCESSE.KFS", "PROCESSE.KFS.by-name"}));
  EXPECT_TRUE(Same(RowsAs(LogFile(), storage::ProcessedFilesDef()), before));
  EXPECT_TRUE(RowsAs(LogFile(), storage::ProcessedFilesDefByName()).empty());
  EXPECT_TRUE(Same(RowsAs(LogBackupFile(data_dir()), storage::ProcessedFilesDefByName()), before));
  // kfs shows the same rows, the backup exactly as the log was.
  EXPECT_EQ(Kfs("dump '" + LogFile() + "'"), dump_before);
  EXPECT_EQ(Kfs("dump '" + LogBackupFile(data_dir()) + "'"), dump_before);
  Kfs("check '" + LogFile() + "'", &status);
  EXPECT_EQ(status, 0);
  const auto lines = sink_->Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("40 rows moved") != std::string::npos;
  }));

  // The log window lists them in record order.
  SilentErrors errors;
  GatewayRelations relations(data_dir(), &errors);
  runtime::Window window("Browse Records");
  LogBrowser browser(&window, &relations);
  ASSERT_EQ(browser.list().Open(), 0);
  ASSERT_GE(browser.list().rows().size(), 5u);
  EXPECT_EQ(browser.list().DisplayRow(0)[3], "box101@example.com");
  EXPECT_EQ(browser.list().DisplayRow(1)[3], "box102@example.com");
  EXPECT_EQ(browser.list().DisplayRow(4)[5], "0");  // still waiting
  EXPECT_EQ(browser.list().DisplayRow(3)[5], "Nil");
  // A second open finds the current layout and moves nothing.
  GatewayFiles again(data_dir());
  OpenTable open(again, Table::kProcessedFiles);
  EXPECT_EQ(open.code(), 0);
  EXPECT_TRUE(Same(RowsAs(LogBackupFile(data_dir()), storage::ProcessedFilesDefByName()), before));
}

TEST_F(LogMigrationTest, RecordingsOfAnOldLogAreNotMailedAgain) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "known.wav", "sent by the earlier version");
  MakeRecording(101, "new.wav", "not sent yet");
  {
    // The earlier version queued and sent known.wav from this very file.
    const auto listed =
        runtime::ListDirectory(tree() + "/101/msg/known.wav", runtime::ListKind::kFilesOnly);
    ASSERT_EQ(listed.size(), 1u);
    storage::DeclaredTable t(LogFile(), storage::ProcessedFilesDefByName());
    ASSERT_EQ(t.Create(), 0);
    ASSERT_EQ(t.Open(), 0);
    ProcessedRow r;
    r.filename = "known.wav";
    r.mailbox = 101;
    r.email_address = "alice@example.com";
    r.full_path = tree() + "/101/msg/known.wav";
    r.send_attachment = "NO";
    r.date_of_recording = listed[0].date;
    r.time_of_recording = listed[0].time;
    r.processed = 1;
    r.error = "Nil";
    WriteProcessed(r, &t.buffer());
    ASSERT_EQ(t.Add(), 0);
  }
  int status = -1;
  const std::string out = RunCommand(
      "'" + BinaryPath("voicemail-mailer") + "' --scan-once --data-dir '" + data_dir() + "'",
      &status);
  EXPECT_EQ(status, 0) << out;
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u) << out;
  EXPECT_EQ(log[0].filename, "known.wav");
  EXPECT_EQ(log[1].filename, "new.wav");
  EXPECT_EQ(server.Messages(1).size(), 1u) << "known.wav was mailed again";
  EXPECT_NE(out.find("1 rows moved"), std::string::npos) << out;
}

TEST_F(LogMigrationTest, KillsDuringTheMoveLeaveTheOldLogUsable) {
  // The sanitizer build runs the program many times slower: a quarter of
  // the rows there, the kills spread over its run the same way.
#if defined(VM_SANITIZER_BUILD)
  constexpr int kRows = 1500;
#else
  constexpr int kRows = 6000;
#endif
  // All sent: the pass after the move leaves the rows as they are.
  WriteOldLog(kRows, true);
  WriteSettings(25);  // a pass runs only where a settings record stands
  const fs::path original = root() / "original";
  fs::copy(data_dir(), original);
  const auto before = RowsAs(LogFile(), storage::ProcessedFilesDefByName());
  const auto run = [&]() {
    return test_process::SpawnProgram(
        {BinaryPath("voicemail-mailer"), "--scan-once", "--data-dir", data_dir()},
        test_process::SpawnOptions().Output("/dev/null").Errors("/dev/null"));
  };
  constexpr auto kLimit = std::chrono::seconds(120);
  // How long an undisturbed move (and the pass after it) takes here.
  auto start = std::chrono::steady_clock::now();
  test_process::WaitExit(run(), kLimit);
  const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  ASSERT_EQ(RowsAs(LogFile(), storage::ProcessedFilesDef()).size(), before.size());

  std::mt19937 rng(20260124);
  std::uniform_int_distribution<int64_t> delay(0, whole.count() + whole.count() / 5);
  int old_left = 0, new_left = 0;
  for (int round = 0; round < 8; ++round) {
    fs::remove_all(data_dir());
    fs::copy(original, data_dir());
    const pid_t pid = run();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng)));
    kill(pid, SIGKILL);
    test_process::WaitExit(pid, kLimit);
    // Either layout, each whole; never neither.
    const auto as_old = RowsAs(LogFile(), storage::ProcessedFilesDefByName());
    const auto as_new = RowsAs(LogFile(), storage::ProcessedFilesDef());
    if (!as_old.empty()) {
      ++old_left;
      EXPECT_TRUE(Same(as_old, before)) << "round " << round;
    } else {
      ++new_left;
      EXPECT_TRUE(Same(as_new, before)) << "round " << round;
      EXPECT_TRUE(
          Same(RowsAs(LogBackupFile(data_dir()), storage::ProcessedFilesDefByName()), before));
    }
    // The next start completes the move.
    test_process::WaitExit(run(), kLimit);
    EXPECT_TRUE(Same(RowsAs(LogFile(), storage::ProcessedFilesDef()), before)) << "round " << round;
    EXPECT_TRUE(
        Same(RowsAs(LogBackupFile(data_dir()), storage::ProcessedFilesDefByName()), before));
    EXPECT_FALSE(fs::exists(LogFile() + ".migrating")) << "round " << round;
  }
  // The delays reach before and after the switch.
  EXPECT_GT(old_left, 0);
  std::printf("move of %d rows: %lld ms; kills before the switch %d, after it %d\n", kRows,
              static_cast<long long>(whole.count()), old_left, new_left);
}

// Fails the n-th write, flush, truncation, link or rename (counted from 1);
// every one of them when n is 0 counts only.
class FailNthEnv : public platform::EnvWrapper {
 public:
  FailNthEnv() : EnvWrapper(platform::Env::Default()) {}
  int fail_at = 0;
  int count = 0;
  bool Fails() { return ++count == fail_at; }

  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    auto f = EnvWrapper::OpenFile(path, access, share, disposition);
    if (!f.ok()) return f;
    return std::unique_ptr<platform::File>(new Counted(std::move(f.value()), this));
  }
  platform::Status LinkFile(const std::string& from, const std::string& to) override {
    return Fails() ? Error() : EnvWrapper::LinkFile(from, to);
  }
  platform::Status RenameFile(const std::string& from, const std::string& to) override {
    return Fails() ? Error() : EnvWrapper::RenameFile(from, to);
  }

 private:
  static platform::Status Error() {
    return platform::Status::Error(platform::Code::kIoError, "injected failure", 5);
  }
  class Counted : public platform::FileWrapper {
   public:
    Counted(std::unique_ptr<platform::File> f, FailNthEnv* env)
        : FileWrapper(std::move(f)), env_(env) {}
    platform::Status WriteAt(uint64_t offset, const void* buf, size_t n) override {
      return env_->Fails() ? Error() : FileWrapper::WriteAt(offset, buf, n);
    }
    platform::Status Sync() override { return env_->Fails() ? Error() : FileWrapper::Sync(); }
    platform::Status Truncate(uint64_t size) override {
      return env_->Fails() ? Error() : FileWrapper::Truncate(size);
    }

   private:
    FailNthEnv* env_;
  };
};

TEST_F(LogMigrationTest, AFailedWriteAtEveryPointLeavesTheOldLogWhole) {
  WriteOldLog(60, true);
  const auto before = RowsAs(LogFile(), storage::ProcessedFilesDefByName());
  const fs::path original = root() / "original";
  fs::copy(data_dir(), original);
  FailNthEnv counting;
  MigrationReport report;
  ASSERT_EQ(MigrateLog(data_dir(), &counting, &report), 0);
  ASSERT_TRUE(report.migrated);
  const int steps = counting.count;
  ASSERT_GT(steps, 5);
  for (int n = 1; n <= steps; ++n) {
    fs::remove_all(data_dir());
    fs::copy(original, data_dir());
    FailNthEnv env;
    env.fail_at = n;
    const int rc = MigrateLog(data_dir(), &env, &report);
    if (rc != 0) {
      EXPECT_FALSE(report.migrated);
      EXPECT_TRUE(Same(RowsAs(LogFile(), storage::ProcessedFilesDefByName()), before))
          << "step " << n;
      EXPECT_FALSE(fs::exists(LogFile() + ".migrating")) << "step " << n;
    } else {
      // A failure after the switch (the flush of the directory) cannot undo it.
      EXPECT_TRUE(Same(RowsAs(LogFile(), storage::ProcessedFilesDef()), before)) << "step " << n;
    }
    ASSERT_EQ(MigrateLog(data_dir(), platform::Env::Default(), &report), 0) << "step " << n;
    EXPECT_TRUE(Same(RowsAs(LogFile(), storage::ProcessedFilesDef()), before)) << "step " << n;
    EXPECT_TRUE(
        Same(RowsAs(LogBackupFile(data_dir()), storage::ProcessedFilesDefByName()), before));
  }
}

TEST_F(LogMigrationTest, AFileOfNeitherLayoutIsLeftAlone) {
  {
    storage::TableDef other = storage::ProcessedFilesDef();
    other.keys.pop_back();
    storage::DeclaredTable t(LogFile(), other);
    ASSERT_EQ(t.Create(), 0);
  }
  MigrationReport report;
  EXPECT_EQ(MigrateLog(data_dir(), platform::Env::Default(), &report), 47);
  EXPECT_FALSE(report.migrated);
  EXPECT_EQ(Names(), (std::vector<std::string>{"PROCESSE.KFS"}));
}

}  // namespace
}  // namespace vm::app::testing
