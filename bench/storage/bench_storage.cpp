// The table storage engine against SQLite on a table shaped like
// ProcessedFiles (906-byte rows; a unique case-insensitive key of mailbox,
// 255-byte name and recording date and time, which these rows leave blank,
// so a look-up by name finds its row; a duplicates key on one byte): durable
// single adds, one large transaction,
// warm lookups by key, a full scan in record order and the file size.
// SQLite runs twice: rollback journal with synchronous=FULL, and WAL (also
// synchronous=FULL). Then the engine alone: an import of IMPORT_ROWS rows
// through the driver in one LOGOUT/COMMIT transaction, whose commit must
// cost time linear in the pages it changes, then every row rewritten in a
// second transaction, whose commit moves existing pages between classes.
// Usage: bench_storage [ROWS] [DURABLE_ADDS] [IMPORT_ROWS].
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/gateway_tables.h"
#include "storage/driver/declared_table.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"

namespace {

using namespace vm::storage;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string Name(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Recording-%08d.WAV", i);
  return buf;
}

// The row image of row i (name blank-padded to 255 bytes).
std::string Row(int i) {
  std::string row(kProcessedFilesLength, ' ');
  const std::string name = Name(i);
  std::memcpy(row.data() + processed::kFileName, name.data(), name.size());
  int32_t date = 80000 + i % 365;
  std::memcpy(row.data() + processed::kDate, &date, 4);
  row[processed::kProcessed] = static_cast<char>(i % 2);
  const std::string path = "/var/voicemail/101/msg/" + name;
  std::memcpy(row.data() + processed::kFullPath, path.data(), path.size());
  return row;
}

struct Figures {
  double durable_adds = 0;  // seconds
  double bulk = 0;
  double lookups = 0;
  double scan = 0;
  uint64_t size = 0;  // bytes after the bulk load
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_storage: %s failed\n", what);
    std::exit(1);
  }
}

Figures RunEngine(const std::string& dir, int rows, int durable) {
  Figures f;
  {
    auto t = DeclareProcessedFiles(dir + "/durable");
    std::filesystem::create_directory(dir + "/durable");
    Check(t->Create() == 0 && t->Open() == 0, "engine create");
    auto start = Clock::now();
    for (int i = 0; i < durable; ++i) {
      const std::string row = Row(i);
      std::memcpy(t->buffer().data(), row.data(), row.size());
      Check(t->Add() == 0, "engine durable add");
    }
    f.durable_adds = Seconds(start);
    t->Close();
  }
  const std::string path = ProcessedFilesFile(dir);
  {
    auto t = DeclareProcessedFiles(dir);
    Check(t->Create() == 0, "engine create");
  }
  {
    std::unique_ptr<TreeFile> file;
    TreeFile::Options o;
    o.share = vm::platform::Share::kExclusive;
    Check(TreeFile::Open(vm::platform::Env::Default(), path, o, &file).ok(), "engine open");
    StoredTable table(&file->tree(), file.get());
    auto start = Clock::now();
    Check(file->Begin(true).ok(), "engine begin");
    const TableDef def = ProcessedFilesDef();
    Check(table.Open("UNNAMED", &def).ok(), "engine table open");
    for (int i = 0; i < rows; ++i) {
      uint32_t rn = 0;
      Check(table.Add(Row(i), nullptr, false, &rn).ok(), "engine bulk add");
    }
    Check(file->Commit().ok(), "engine commit");
    Check(file->TruncateToData().ok(), "engine truncate");
    f.bulk = Seconds(start);
  }
  f.size = std::filesystem::file_size(path);
  auto t = DeclareProcessedFiles(dir);
  Check(t->Open(kAccessRead | kShareDenyWrite) == 0, "engine reopen");
  for (int i = 0; i < 1000; ++i) {  // warm the cache
    const std::string row = Row(i);
    std::memcpy(t->buffer().data(), row.data(), row.size());
    Check(t->Get(processed::kFileNameKey) == 0, "engine warm-up");
  }
  auto start = Clock::now();
  for (int n = 0; n < rows; ++n) {
    const std::string name = Name((n * 7919) % rows);
    std::memset(t->buffer().data(), ' ', processed::kFileNameSize);
    std::memcpy(t->buffer().data(), name.data(), name.size());
    Check(t->Get(processed::kFileNameKey) == 0, "engine lookup");
  }
  f.lookups = Seconds(start);
  start = Clock::now();
  int seen = 0;
  t->Set();
  while (t->Next() == 0) ++seen;
  f.scan = Seconds(start);
  Check(seen == rows, "engine scan count");
  t->Close();
  return f;
}

// Adds `rows` rows through the driver in one transaction; prints the time of
// the adds and of the COMMIT apart, and the file size.
void RunImport(const std::string& dir, int rows) {
  {
    auto t = DeclareProcessedFiles(dir);
    Check(t->Create() == 0, "import create");
  }
  auto t = DeclareProcessedFiles(dir);
  Check(t->Open() == 0 && t->Logout() == 0, "import open");
  auto start = Clock::now();
  for (int i = 0; i < rows; ++i) {
    const std::string row = Row(i);
    std::memcpy(t->buffer().data(), row.data(), row.size());
    Check(t->Add() == 0, "import add");
  }
  const double adds = Seconds(start);
  auto commit_start = Clock::now();
  const std::clock_t commit_cpu_start = std::clock();
  Check(DeclaredTable::CommitTransaction() == 0, "import commit");
  const double commit = Seconds(commit_start);
  // Processor time too: on a busy machine it shows the commit's own cost.
  const double commit_cpu = static_cast<double>(std::clock() - commit_cpu_start) / CLOCKS_PER_SEC;
  const double total = Seconds(start);
  const double import_mib = std::filesystem::file_size(ProcessedFilesFile(dir)) / 1048576.0;
  // Then every row rewritten in one transaction: the rows stop compressing,
  // so existing pages change size class and the commit moves them.
  Check(t->Logout() == 0 && t->Set() == 0, "rewrite start");
  int rewritten = 0;
  const auto rewrite_start = Clock::now();
  while (t->Next() == 0) {
    char* path = t->buffer().data() + processed::kFullPath + 60;
    for (int j = 0; j < 120; ++j) path[j] = static_cast<char>('!' + (rewritten * 31 + j * 17) % 90);
    Check(t->Put() == 0, "rewrite put");
    ++rewritten;
  }
  Check(rewritten == rows, "rewrite count");
  const std::clock_t rewrite_cpu_start = std::clock();
  const auto rewrite_commit_start = Clock::now();
  Check(DeclaredTable::CommitTransaction() == 0, "rewrite commit");
  const double rewrite_commit = Seconds(rewrite_commit_start);
  const double rewrite_cpu = static_cast<double>(std::clock() - rewrite_cpu_start) / CLOCKS_PER_SEC;
  const double rewrite = Seconds(rewrite_start);
  Check(t->Close() == 0, "import close");
  std::printf("engine import through the driver, one LOGOUT/COMMIT transaction\n");
  std::printf(
      "  %-34s total %10.3f s   adds %10.3f s   commit %10.3f s (cpu %.3f s)   file %8.1f MiB\n",
      (std::to_string(rows) + " rows").c_str(), total, adds, commit, commit_cpu, import_mib);
  std::printf("  %-34s total %10.3f s   commit %10.3f s (cpu %.3f s)\n",
              (std::to_string(rows) + " rows rewritten").c_str(), rewrite, rewrite_commit,
              rewrite_cpu);
  std::fflush(stdout);
}

void Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s: %s\n", sql, err ? err : "?");
    std::exit(1);
  }
}

sqlite3* OpenSqlite(const std::string& path, bool wal) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "sqlite open");
  Exec(db, wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
  Exec(db, "PRAGMA synchronous=FULL");
  Exec(db,
       "CREATE TABLE IF NOT EXISTS processed(rn INTEGER PRIMARY KEY, name TEXT NOT NULL COLLATE "
       "NOCASE UNIQUE,"
       " processed INTEGER NOT NULL, row BLOB NOT NULL)");
  Exec(db, "CREATE INDEX IF NOT EXISTS processed_key ON processed(processed)");
  return db;
}

void InsertRows(sqlite3* db, int from, int to, bool each_in_own_transaction) {
  sqlite3_stmt* ins = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO processed(name, processed, row) VALUES(?,?,?)", -1,
                           &ins, nullptr) == SQLITE_OK,
        "sqlite prepare");
  if (!each_in_own_transaction) Exec(db, "BEGIN");
  for (int i = from; i < to; ++i) {
    const std::string row = Row(i);
    const std::string name(row.data(),
                           processed::kFileNameSize);  // the padded 255-byte key, as stored by us
    sqlite3_bind_text(ins, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 2, i % 2);
    sqlite3_bind_blob(ins, 3, row.data(), static_cast<int>(row.size()), SQLITE_TRANSIENT);
    Check(sqlite3_step(ins) == SQLITE_DONE, "sqlite insert");
    sqlite3_reset(ins);
  }
  if (!each_in_own_transaction) Exec(db, "COMMIT");
  sqlite3_finalize(ins);
}

Figures RunSqlite(const std::string& dir, int rows, int durable, bool wal) {
  Figures f;
  {
    sqlite3* db = OpenSqlite(dir + "/durable.db", wal);
    auto start = Clock::now();
    InsertRows(db, 0, durable, true);
    f.durable_adds = Seconds(start);
    sqlite3_close(db);
  }
  const std::string path = dir + "/bulk.db";
  sqlite3* db = OpenSqlite(path, wal);
  auto start = Clock::now();
  InsertRows(db, 0, rows, false);
  f.bulk = Seconds(start);
  if (wal) Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
  f.size = std::filesystem::file_size(path);
  sqlite3_stmt* get = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT row FROM processed WHERE name = ?", -1, &get, nullptr) ==
            SQLITE_OK,
        "sqlite prepare");
  std::vector<char> buffer(kProcessedFilesLength);
  auto lookup = [&](int i) {
    std::string name = Name(i);
    name.resize(processed::kFileNameSize, ' ');
    sqlite3_bind_text(get, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    Check(sqlite3_step(get) == SQLITE_ROW, "sqlite lookup");
    std::memcpy(buffer.data(), sqlite3_column_blob(get, 0), buffer.size());
    sqlite3_reset(get);
  };
  for (int i = 0; i < 1000; ++i) lookup(i);
  start = Clock::now();
  for (int n = 0; n < rows; ++n) lookup((n * 7919) % rows);
  f.lookups = Seconds(start);
  sqlite3_finalize(get);
  sqlite3_stmt* scan = nullptr;
  Check(sqlite3_prepare_v2(db, "SELECT row FROM processed ORDER BY rn", -1, &scan, nullptr) ==
            SQLITE_OK,
        "sqlite prepare");
  start = Clock::now();
  int seen = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) {
    std::memcpy(buffer.data(), sqlite3_column_blob(scan, 0), buffer.size());
    ++seen;
  }
  f.scan = Seconds(start);
  sqlite3_finalize(scan);
  Check(seen == rows, "sqlite scan count");
  sqlite3_close(db);
  return f;
}

void Print(const char* what, double ours, double theirs, const char* unit) {
  std::printf("  %-34s engine %10.3f %-3s sqlite %10.3f %-3s ratio %6.2f\n", what, ours, unit,
              theirs, unit, theirs > 0 ? ours / theirs : 0.0);
}

void Report(const char* label, const Figures& ours, const Figures& theirs, int rows, int durable) {
  std::printf("engine vs sqlite (%s), ratio = engine / sqlite\n", label);
  Print(("(a) " + std::to_string(durable) + " durable adds").c_str(), ours.durable_adds,
        theirs.durable_adds, "s");
  Print(("(b) " + std::to_string(rows) + " rows, one transaction").c_str(), ours.bulk, theirs.bulk,
        "s");
  Print(("(c) " + std::to_string(rows) + " lookups by key, warm").c_str(), ours.lookups,
        theirs.lookups, "s");
  Print("(d) full scan in record order", ours.scan, theirs.scan, "s");
  Print("(e) file size after (b)", ours.size / 1048576.0, theirs.size / 1048576.0, "MiB");
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int durable = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int import_rows = argc > 3 ? std::atoi(argv[3]) : 1000000;
  std::string pattern = (std::filesystem::temp_directory_path() / "bench-storage-XXXXXX").string();
  const std::string dir = ::mkdtemp(pattern.data());
  std::filesystem::create_directories(dir + "/engine");
  std::filesystem::create_directories(dir + "/full");
  std::filesystem::create_directories(dir + "/wal");
  std::printf("bench_storage: %d rows of %u bytes, %d durable adds, in %s\n", rows,
              kProcessedFilesLength, durable, dir.c_str());
  const Figures ours = RunEngine(dir + "/engine", rows, durable);
  const Figures full = RunSqlite(dir + "/full", rows, durable, false);
  const Figures wal = RunSqlite(dir + "/wal", rows, durable, true);
  Report("rollback journal, synchronous=FULL", ours, full, rows, durable);
  Report("WAL, synchronous=FULL", ours, wal, rows, durable);
  std::fflush(stdout);
  std::filesystem::create_directories(dir + "/import");
  RunImport(dir + "/import", import_rows);
  std::filesystem::remove_all(dir);
  return 0;
}
