#include "app/log_migration.h"

#include <memory>
#include <mutex>
#include <string_view>

#include "app/gateway_tables.h"
#include "storage/driver/declared_table.h"
#include "storage/file/result_codes.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"

namespace vm::app {
namespace {

// Rows per commit of the copy: bounds the changed pages held in memory; the
// copy counts only once it replaces the log, so its commits need not be one.
constexpr uint32_t kRowsPerCommit = 5000;

// The table of a file named without "\!".
constexpr std::string_view kTableName = "UNNAMED";

std::string CopyFile(const std::string& dir) {
  return storage::ProcessedFilesFile(dir) + ".migrating";
}

std::mutex& MigrationMutex() {
  static std::mutex mu;
  return mu;
}

int CodeOf(const storage::Status& s) {
  return s.ok() ? 0 : s.code() != 0 ? s.code() : storage::kErrFileSystem;
}

// Copies the rows of `old` (open, old layout) in record order into a new
// file at `path` with the current layout; *rows counts them. The copy is
// durable when this returns 0.
int WriteCopy(storage::DeclaredTable& old, const std::string& path, platform::Env* env,
              uint32_t* rows) {
  if (int rc = storage::DeclaredTable(path, storage::ProcessedFilesDef(), env).Create()) return rc;
  std::unique_ptr<storage::TreeFile> file;
  storage::TreeFile::Options options;
  options.share = platform::Share::kExclusive;
  storage::Status s = storage::TreeFile::Open(env, path, options, &file);
  if (!s.ok()) return CodeOf(s);
  storage::StoredTable table(&file->tree(), file.get());
  const storage::TableDef def = storage::ProcessedFilesDef();
  s = file->Begin(true);
  if (s.ok()) s = table.Open(kTableName, &def);
  if (int rc = s.ok() ? old.Set() : CodeOf(s)) {
    file->Rollback();
    return rc;
  }
  uint32_t in_batch = 0;
  for (;;) {
    const int rc = old.Next();
    if (rc == storage::kErrRecordNotFound || rc == storage::kErrRecordNotAvailable) break;
    uint32_t record = 0;
    s = rc != 0 ? storage::Status::Error(rc)
                : table.Add(std::string_view(old.buffer().data(), old.buffer().size()), nullptr,
                            false, &record);
    if (s.ok() && ++in_batch == kRowsPerCommit) {
      in_batch = 0;
      s = file->Commit();
      if (s.ok()) s = file->Begin(true);
    }
    if (!s.ok()) {
      file->Rollback();
      return CodeOf(s);
    }
    ++*rows;
  }
  s = file->Commit();
  if (s.ok()) s = file->TruncateToData();
  return CodeOf(s);
}

bool Gone(const platform::Status& s) {
  return s.ok() || s.code() == platform::Code::kNotFound;
}

}  // namespace

std::string LogBackupFile(const std::string& dir) {
  return storage::ProcessedFilesFile(dir) + ".by-name";
}

int MigrateLog(const std::string& dir, platform::Env* env, MigrationReport* report) {
  std::lock_guard<std::mutex> one_at_a_time(MigrationMutex());
  *report = MigrationReport{};
  const std::string log = storage::ProcessedFilesFile(dir);
  if (!env->FileExists(log)) return 0;
  // Exclusive: nobody reads or writes the old log while it is copied, and
  // an opener that comes during the switch finds it taken, not half moved.
  storage::DeclaredTable old(log, storage::ProcessedFilesDefByName(), env);
  if (int rc = old.Open(storage::kAccessReadWrite | storage::kShareExclusive)) {
    if (rc != storage::kErrBadDeclaration) return rc;
    // Not the old layout: the current one (moved meanwhile), or neither.
    storage::DeclaredTable now(log, storage::ProcessedFilesDef(), env);
    return now.Open(storage::kAccessRead | storage::kShareDenyNone);
  }
  const std::string copy = CopyFile(dir);
  const std::string backup = LogBackupFile(dir);
  // A copy left by an interrupted attempt is incomplete; the old log is whole.
  if (!Gone(env->DeleteFile(copy))) return storage::kErrAccessDenied;
  uint32_t rows = 0;
  int rc = WriteCopy(old, copy, env, &rows);
  // The backup is a second name of the old log, made before the switch, so
  // the old rows stay reachable whatever moment a kill comes.
  if (rc == 0 && !(Gone(env->DeleteFile(backup)) && env->LinkFile(log, backup).ok()))
    rc = storage::kErrFileSystem;
  if (rc == 0 && !env->RenameFile(copy, log).ok()) rc = storage::kErrFileSystem;
  if (rc != 0) {
    env->DeleteFile(copy);
    return rc;
  }
  report->migrated = true;
  report->rows = rows;
  report->text = "the log " + log +
                 " now knows a recording by its mailbox, name and time: " + std::to_string(rows) +
                 " rows moved; the file as it was is kept as " + backup;
  return 0;
}

}  // namespace vm::app
