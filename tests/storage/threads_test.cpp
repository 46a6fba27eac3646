// Threads of one process using one table file at once: some with handles of
// their own (opened and closed again while others work), some sharing one
// handle, all adding, reading back and updating rows, one scanning, and
// transactions committed from several threads. Every row is checked
// afterwards and the file must be sound. Runs under ThreadSanitizer too.
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"

namespace vm::storage {
namespace {

constexpr size_t kNameSize = 16;
constexpr size_t kValueSize = 8;
constexpr int kRowsPerThread = 60;

TableDef RowsDef() {
  TableDef d;
  d.record_length = kNameSize + kValueSize;
  d.fields = {MakeField("ROW:NAME", kTypeString, 0, kNameSize),
              MakeField("ROW:VALUE", kTypeString, kNameSize, kValueSize)};
  d.keys = {MakeKey("ROW:NAMEKEY", 0, {{0, 0}})};
  return d;
}

std::string Trim(const std::string& s) {
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

void Fill(DeclaredTable* t, const std::string& name, const std::string& value) {
  std::vector<char>& b = t->buffer();
  std::fill(b.begin(), b.end(), ' ');
  std::copy(name.begin(), name.end(), b.begin());
  std::copy(value.begin(), value.end(), b.begin() + kNameSize);
}

std::string ValueIn(DeclaredTable* t) {
  return Trim(std::string(t->buffer().begin() + kNameSize, t->buffer().end()));
}

// Failures are gathered, not asserted, inside the threads.
class Failures {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> lock(mu_);
    if (list_.size() < 20) list_.push_back(what);
  }
  std::string Text() const {
    std::string out;
    for (const std::string& f : list_) out += f + "\n";
    return out;
  }
  bool empty() const { return list_.empty(); }

 private:
  std::mutex mu_;
  std::vector<std::string> list_;
};

// Adds, reads back and updates one row; `claim` keeps other threads off a
// shared handle from filling its buffer to reading the result.
void AddReadUpdate(DeclaredTable* t, const std::string& name, Failures* failures) {
  auto step = [&](const char* what, int rc) {
    if (rc != 0)
      failures->Add(name + ": " + what + " gave " + std::to_string(rc) + " " +
                    t->file_error_text());
    return rc == 0;
  };
  auto claim = t->Claim();
  Fill(t, name, "new");
  if (!step("ADD", t->Add())) return;
  Fill(t, name, "");
  if (!step("GET", t->Get(0))) return;
  if (ValueIn(t) != "new") failures->Add(name + ": read back " + ValueIn(t));
  Fill(t, name, "upd-" + name.substr(name.size() - 2));
  step("PUT", t->Put());
}

TEST(Threads, OwnAndSharedHandlesAddReadAndUpdateRowsOfOneFile) {
  testing::TempDir dir;
  const std::string name = dir.path() + "/THREADS.KFS\\!ROWS";
  {
    DeclaredTable t(name, RowsDef());
    ASSERT_EQ(t.Create(), 0);
  }
  Failures failures;
  DeclaredTable shared(name, RowsDef());
  ASSERT_EQ(shared.Open(), 0);
  std::atomic<bool> writers_done{false};
  std::vector<std::thread> threads;
  // Handles of their own, reopened every 20 rows.
  for (int k = 0; k < 3; ++k) {
    threads.emplace_back([&, k] {
      auto t = std::make_unique<DeclaredTable>(name, RowsDef());
      for (int i = 0; i < kRowsPerThread; ++i) {
        if (i % 20 == 0) {
          t = std::make_unique<DeclaredTable>(name, RowsDef());
          if (int rc = t->Open()) failures.Add("OPEN gave " + std::to_string(rc));
        }
        char row[32];
        std::snprintf(row, sizeof row, "own%d-%02d", k, i);
        AddReadUpdate(t.get(), row, &failures);
      }
    });
  }
  // One handle shared by two threads.
  for (int k = 0; k < 2; ++k) {
    threads.emplace_back([&, k] {
      for (int i = 0; i < kRowsPerThread; ++i) {
        char row[32];
        std::snprintf(row, sizeof row, "shr%d-%02d", k, i);
        AddReadUpdate(&shared, row, &failures);
      }
    });
  }
  // A reader scanning the table in key order until the writers are done:
  // every row it meets is whole.
  std::thread scanner([&] {
    DeclaredTable t(name, RowsDef());
    if (int rc = t.Open(kAccessRead | kShareDenyNone))
      failures.Add("scanner OPEN gave " + std::to_string(rc));
    while (!writers_done) {
      if (t.SetKeyStart(0) != 0) failures.Add("scanner SET failed");
      while (t.Next() == 0) {
        const std::string v = ValueIn(&t);
        if (v != "new" && v.rfind("upd-", 0) != 0) failures.Add("scanner met value '" + v + "'");
      }
      if (t.error() != kErrRecordNotAvailable)
        failures.Add("scanner NEXT gave " + std::to_string(t.error()));
    }
  });
  for (auto& th : threads) th.join();
  writers_done = true;
  scanner.join();
  ASSERT_TRUE(failures.empty()) << failures.Text();

  // Every row, once, with its update.
  std::map<std::string, std::string> rows;
  DeclaredTable check(name, RowsDef());
  ASSERT_EQ(check.Open(), 0);
  ASSERT_EQ(check.Set(), 0);
  while (check.Next() == 0) {
    const std::string row =
        Trim(std::string(check.buffer().begin(), check.buffer().begin() + kNameSize));
    EXPECT_TRUE(rows.emplace(row, ValueIn(&check)).second) << "twice: " << row;
  }
  EXPECT_EQ(check.error(), kErrRecordNotAvailable);
  EXPECT_EQ(rows.size(), 5u * kRowsPerThread);
  EXPECT_EQ(check.Records(), 5u * kRowsPerThread);
  for (const char* prefix : {"own0", "own1", "own2", "shr0", "shr1"}) {
    for (int i = 0; i < kRowsPerThread; ++i) {
      char row[32], value[16];
      std::snprintf(row, sizeof row, "%s-%02d", prefix, i);
      std::snprintf(value, sizeof value, "upd-%02d", i);
      auto it = rows.find(row);
      if (it == rows.end()) {
        ADD_FAILURE() << "missing " << row;
      } else {
        EXPECT_EQ(it->second, value) << row;
      }
    }
  }
  EXPECT_EQ(check.Close(), 0);
  EXPECT_EQ(shared.Close(), 0);
  testing::ExpectSoundFile(dir.path() + "/THREADS.KFS");
}

// Threads that each put a file of their own into the process's transaction
// and commit it, while others commit theirs: the commits take the member
// files one after another, and every committed row is there afterwards.
TEST(Threads, TransactionsCommittedFromSeveralThreads) {
  testing::TempDir dir;
  constexpr int kThreads = 3;
  constexpr int kRounds = 15;
  for (int k = 0; k < kThreads; ++k) {
    DeclaredTable t(dir.path() + "/TX" + std::to_string(k) + ".KFS\\!ROWS", RowsDef());
    ASSERT_EQ(t.Create(), 0);
  }
  Failures failures;
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      DeclaredTable t(dir.path() + "/TX" + std::to_string(k) + ".KFS\\!ROWS", RowsDef());
      if (int rc = t.Open()) failures.Add("OPEN gave " + std::to_string(rc));
      for (int i = 0; i < kRounds; ++i) {
        if (int rc = t.Logout()) failures.Add("LOGOUT gave " + std::to_string(rc));
        char row[32];
        std::snprintf(row, sizeof row, "tx%d-%02d", k, i);
        Fill(&t, row, "v");
        if (int rc = t.Add()) failures.Add(std::string(row) + ": ADD gave " + std::to_string(rc));
        if (int rc = DeclaredTable::CommitTransaction()) {
          failures.Add(std::string(row) + ": COMMIT gave " + std::to_string(rc));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(failures.empty()) << failures.Text();
  for (int k = 0; k < kThreads; ++k) {
    const std::string file = dir.path() + "/TX" + std::to_string(k) + ".KFS";
    DeclaredTable t(file + "\\!ROWS", RowsDef());
    ASSERT_EQ(t.Open(), 0);
    EXPECT_EQ(t.Records(), static_cast<uint32_t>(kRounds)) << file;
    EXPECT_EQ(t.Close(), 0);
    testing::ExpectSoundFile(file);
  }
}

}  // namespace
}  // namespace vm::storage
