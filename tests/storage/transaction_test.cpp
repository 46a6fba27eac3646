// Transactions over table files: LOGOUT defers commits, COMMIT of one file
// needs no control file, COMMIT of two files goes through the control file,
// ROLLBACK drops everything, and a process that dies inside a two-file
// commit leaves both files old (before the commit point) or both new (after
// it). The crashes are real: a child process exits in the middle of COMMIT.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_driver.h"
#include "storage/driver/kfs_transaction.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/table/record_keys.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {
namespace {

constexpr size_t kNameSize = 20;

// The sanitizer build runs these many times slower: there the every-write
// test stops after every third write (and after the last), which still
// crosses every phase of the commit; the plain build stops after each.
#if defined(VM_SANITIZER_BUILD)
constexpr int kWriteStride = 3;
#else
constexpr int kWriteStride = 1;
#endif

TableDef NamesDef() {
  TableDef d;
  d.record_length = kNameSize + 4;
  d.fields = {MakeField("NAM:NAME", kTypeString, 0, kNameSize),
              MakeField("NAM:N", kTypeLong, kNameSize, 4)};
  d.keys = {MakeKey("NAM:NAMEKEY", kKeyNoCase, {{0, 0}})};
  return d;
}

class TransactionTest : public ::testing::Test {
 protected:
  ~TransactionTest() override {
    DeclaredTable::RollbackTransaction();
    TransactionControlSetting().clear();
    // Data and control files alike are sound table files.
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      testing::ExpectSoundFile(entry.path());
  }

  std::unique_ptr<DeclaredTable> Table(const std::string& file,
                                       platform::Env* env = platform::Env::Default()) {
    return std::make_unique<DeclaredTable>(dir_ + "/" + file + "\\!NAMES", NamesDef(), env);
  }
  static int AddName(DeclaredTable* t, const std::string& name) {
    std::fill(t->buffer().begin(), t->buffer().end(), ' ');
    std::copy(name.begin(), name.end(), t->buffer().begin());
    return t->Add();
  }
  // Names of the table's rows, read by a fresh handle.
  std::set<std::string> Names(const std::string& file) {
    auto t = Table(file);
    std::set<std::string> names;
    EXPECT_EQ(t->Open(), 0);
    EXPECT_EQ(t->Set(), 0);
    while (t->Next() == 0) {
      std::string n(t->buffer().begin(), t->buffer().begin() + kNameSize);
      names.insert(n.substr(0, n.find_last_not_of(' ') + 1));
    }
    EXPECT_EQ(t->error(), kErrRecordNotAvailable);
    EXPECT_EQ(t->Close(), 0);
    return names;
  }
  void CreateWith(const std::string& file, const std::string& name) {
    auto t = Table(file);
    ASSERT_EQ(t->Create(), 0);
    ASSERT_EQ(t->Open(), 0);
    ASSERT_EQ(AddName(t.get(), name), 0);
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_ + "/" + name); }

  testing::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(TransactionTest, OneChangedFileCommitsAloneWithoutControlFile) {
  CreateWith("A", "old");
  CreateWith("B", "b-old");
  // A reader in another process, started before this one opens the files
  // (a child must not inherit open files), looks when told to.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char c = 0;
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    auto other = Table("A");
    const bool old = other->Open() == 0 && other->Records() == 1;
    ::_exit(old ? 0 : 1);
  }
  auto a = Table("A");
  auto b = Table("B");
  ASSERT_EQ(a->Open(), 0);
  ASSERT_EQ(b->Open(), 0);
  ASSERT_EQ(a->Logout(), 0);
  ASSERT_EQ(b->Logout(), 0);  // in the transaction, but left unchanged
  ASSERT_EQ(AddName(a.get(), "new"), 0);
  ASSERT_EQ(AddName(a.get(), "newer"), 0);
  // A duplicate fails alone; the transaction's other changes stay.
  EXPECT_EQ(AddName(a.get(), "NEW"), kErrDuplicateKey);
  // Nothing reached the file yet: the other process sees the old rows.
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::close(go[0]);
  ::close(go[1]);
  ASSERT_EQ(DeclaredTable::CommitTransaction(), 0);
  EXPECT_FALSE(Exists("keelfast.tcf"));
  a.reset();
  b.reset();
  EXPECT_EQ(Names("A"), (std::set<std::string>{"old", "new", "newer"}));
  EXPECT_EQ(Names("B"), (std::set<std::string>{"b-old"}));
}

TEST_F(TransactionTest, RollbackDropsEveryFilesChanges) {
  CreateWith("A", "a");
  CreateWith("B", "b");
  {
    auto a = Table("A");
    auto b = Table("B");
    ASSERT_EQ(a->Open(), 0);
    ASSERT_EQ(b->Open(), 0);
    ASSERT_EQ(a->Logout(), 0);
    ASSERT_EQ(b->Logout(), 0);
    ASSERT_EQ(AddName(a.get(), "a2"), 0);
    ASSERT_EQ(AddName(b.get(), "b2"), 0);
    ASSERT_EQ(b->Set(), 0);
    ASSERT_EQ(b->Next(), 0);
    ASSERT_EQ(b->Delete(), 0);
    EXPECT_EQ(b->Records(), 1u);  // the handle sees its own changes
    ASSERT_EQ(DeclaredTable::RollbackTransaction(), 0);
  }
  EXPECT_EQ(Names("A"), (std::set<std::string>{"a"}));
  EXPECT_EQ(Names("B"), (std::set<std::string>{"b"}));
  // After the transaction each statement commits again.
  auto a = Table("A");
  ASSERT_EQ(a->Open(), 0);
  ASSERT_EQ(AddName(a.get(), "a3"), 0);
  a.reset();
  EXPECT_EQ(Names("A"), (std::set<std::string>{"a", "a3"}));
}

TEST_F(TransactionTest, TwoFilesCommitThroughTheControlFileThatIsInForce) {
  CreateWith("A", "a");
  CreateWith("B", "b");
  KfsControlBlock cb;
  cb.name = dir_ + "/A\\!NAMES";
  cb.def = NamesDef();
  KfsArgs send;
  send.text = "TCF=" + dir_ + "/mine.tcf";
  ASSERT_EQ(KfsDriver(kOpSend, &cb, &send), 0);
  EXPECT_EQ(send.answer, dir_ + "/mine.tcf");
  auto commit_both = [&](const std::string& tag) {
    auto a = Table("A");
    auto b = Table("B");
    ASSERT_EQ(a->Open(), 0);
    ASSERT_EQ(b->Open(), 0);
    ASSERT_EQ(a->Logout(), 0);
    ASSERT_EQ(b->Logout(), 0);
    ASSERT_EQ(AddName(a.get(), "a" + tag), 0);
    ASSERT_EQ(AddName(b.get(), "b" + tag), 0);
    ASSERT_EQ(DeclaredTable::CommitTransaction(), 0);
  };
  commit_both("1");
  EXPECT_TRUE(Exists("mine.tcf"));
  EXPECT_FALSE(Exists("keelfast.tcf"));
  // "TCF=" with nothing after it returns to the default beside the files.
  send.text = "tcf=";
  ASSERT_EQ(KfsDriver(kOpSend, &cb, &send), 0);
  EXPECT_EQ(send.answer, "");
  commit_both("2");
  EXPECT_TRUE(Exists("keelfast.tcf"));
  EXPECT_EQ(Names("A"), (std::set<std::string>{"a", "a1", "a2"}));
  EXPECT_EQ(Names("B"), (std::set<std::string>{"b", "b1", "b2"}));
  // Each file carries the transaction record naming its control file, and
  // the control file keeps no number once the commit is through.
  std::unique_ptr<TreeFile> f;
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), dir_ + "/A.KFS", {}, &f).ok());
  ASSERT_TRUE(f->Begin(false).ok());
  std::string data;
  bool found = false;
  ASSERT_TRUE(f->tree().Get(TransactionKey(), &data, &found).ok());
  f->EndRead();
  ASSERT_TRUE(found);
  uint32_t number = 0;
  std::string control;
  ASSERT_TRUE(DecodeTransactionRecord(data, &number, &control));
  EXPECT_EQ(control, std::string(kDefaultControlFile));
  bool pending = true;
  ASSERT_TRUE(
      TransactionPending(platform::Env::Default(), dir_ + "/keelfast.tcf", number, &pending).ok());
  EXPECT_FALSE(pending);
}

// Ends the process in the middle of a two-file commit: before the commit
// point (the first control-file write after the data files' journals) or
// after it (the first data-file write after that).
class CrashingEnv : public platform::EnvWrapper {
 public:
  explicit CrashingEnv(bool after_commit_point)
      : EnvWrapper(platform::Env::Default()), after_(after_commit_point) {}

  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    auto r = target()->OpenFile(path, access, share, disposition);
    if (!r.ok()) return r;
    const bool control = path.size() > 4 && path.substr(path.size() - 4) == ".tcf";
    return std::unique_ptr<platform::File>(new Watched(std::move(r.value()), this, control));
  }

 private:
  class Watched : public platform::FileWrapper {
   public:
    Watched(std::unique_ptr<platform::File> f, CrashingEnv* env, bool control)
        : FileWrapper(std::move(f)), env_(env), control_(control) {}
    platform::Status WriteAt(uint64_t o, const void* b, size_t n) override {
      env_->BeforeWrite(control_);
      return target()->WriteAt(o, b, n);
    }

   private:
    CrashingEnv* env_;
    bool control_;
  };

  void BeforeWrite(bool control) {
    if (control) {
      if (journals_ && !after_) ::_exit(0);
      if (journals_) point_passed_ = true;
      control_seen_ = true;
    } else {
      if (control_seen_) journals_ = true;
      if (point_passed_) ::_exit(0);
    }
  }

  bool after_;
  bool control_seen_ = false;  // the number is in the control file
  bool journals_ = false;      // data files are being written to their journals
  bool point_passed_ = false;  // the number has left the control file
};

class TransactionCrashTest : public TransactionTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TransactionCrashTest, BothFilesOldBeforeTheCommitPointAndNewAfterIt) {
  const bool after = GetParam();
  CreateWith("A", "a");
  CreateWith("B", "b");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CrashingEnv env(after);
    auto a = Table("A", &env);
    auto b = Table("B", &env);
    bool ok = a->Open() == 0 && b->Open() == 0 && a->Logout() == 0 && b->Logout() == 0;
    for (int i = 0; ok && i < 50; ++i) {
      ok = AddName(a.get(), "a" + std::to_string(i)) == 0 &&
           AddName(b.get(), "b" + std::to_string(i)) == 0;
    }
    if (ok) DeclaredTable::CommitTransaction(&env);
    ::_exit(3);  // the commit should not have come back
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child did not stop inside the commit";
  std::set<std::string> want_a{"a"}, want_b{"b"};
  for (int i = 0; after && i < 50; ++i) {
    want_a.insert("a" + std::to_string(i));
    want_b.insert("b" + std::to_string(i));
  }
  // Reading handles resolve the journals without writing; then a changing
  // one writes the outcome, and it must stay the same.
  EXPECT_EQ(Names("A"), want_a);
  EXPECT_EQ(Names("B"), want_b);
  for (const std::string file : {"A", "B"}) {
    auto t = Table(file);
    ASSERT_EQ(t->Open(), 0);
    ASSERT_EQ(AddName(t.get(), "later"), 0);
  }
  want_a.insert("later");
  want_b.insert("later");
  EXPECT_EQ(Names("A"), want_a);
  EXPECT_EQ(Names("B"), want_b);
  for (const std::string file : {"/A.KFS", "/B.KFS"}) {
    std::unique_ptr<TreeFile> f;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), dir_ + file, {}, &f).ok());
    ASSERT_TRUE(f->Begin(false).ok());
    EXPECT_TRUE(f->tree().Verify().ok());
    f->EndRead();
  }
}

INSTANTIATE_TEST_SUITE_P(CommitPoint, TransactionCrashTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "After" : "Before"; });

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A journal committed through its control file stays pending while that
// file is gone: opening the data file fails and writes nothing, and once the
// control file is back the committed rows are there.
TEST_F(TransactionTest, ControlFileThatCannotBeReadIsAnErrorNotARollback) {
  CreateWith("A", "a");
  CreateWith("B", "b");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CrashingEnv env(/*after_commit_point=*/true);
    auto a = Table("A", &env);
    auto b = Table("B", &env);
    bool ok = a->Open() == 0 && b->Open() == 0 && a->Logout() == 0 && b->Logout() == 0;
    ok = ok && AddName(a.get(), "a1") == 0 && AddName(b.get(), "b1") == 0;
    if (ok) DeclaredTable::CommitTransaction(&env);
    ::_exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child did not stop inside the commit";
  const std::string control = dir_ + "/keelfast.tcf";
  const std::string away = dir_ + "/elsewhere";
  std::filesystem::rename(control, away);
  const std::string a_bytes = Slurp(dir_ + "/A.KFS");
  {
    auto t = Table("A");
    EXPECT_NE(t->Open(), 0) << "a journal whose control file is missing was resolved";
  }
  EXPECT_TRUE(Slurp(dir_ + "/A.KFS") == a_bytes) << "the failed open wrote to the file";
  // A damaged control file is no better than a missing one.
  std::ofstream(control, std::ios::binary) << std::string(512, 'x');
  {
    auto t = Table("A");
    EXPECT_NE(t->Open(), 0);
  }
  EXPECT_TRUE(Slurp(dir_ + "/A.KFS") == a_bytes);
  std::filesystem::rename(away, control);
  EXPECT_EQ(Names("A"), (std::set<std::string>{"a", "a1"}));
  EXPECT_EQ(Names("B"), (std::set<std::string>{"b", "b1"}));
}

// Which control file each data file uses: "" for the default beside it.
struct Layout {
  std::vector<std::string> controls;  // one per data file
  const char* name;
};

class TransactionEveryWriteTest : public TransactionTest,
                                  public ::testing::WithParamInterface<Layout> {
 protected:
  using Files = std::map<std::string, std::string>;  // name -> bytes

  Files Snapshot() {
    Files files;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      files[e.path().filename().string()] = Slurp(e.path().string());
    }
    return files;
  }
  void Restore(const Files& files) {
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      if (!files.count(e.path().filename().string())) std::filesystem::remove(e.path());
    }
    for (const auto& [name, bytes] : files) {
      std::ofstream(dir_ + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
    }
  }
  static std::string File(size_t i) { return std::string(1, static_cast<char>('A' + i)); }

  // One transaction adding rows <tag>0..<tag>29 to every file, its writes
  // stopping after `budget` (crash: the rest vanish; else they fail).
  // Returns COMMIT's answer and the writes made.
  std::pair<int, int> Transact(const std::string& tag, int budget, bool crash) {
    testing::FaultyEnv env(budget, crash);
    const Layout& layout = GetParam();
    std::vector<std::unique_ptr<DeclaredTable>> tables;
    bool ok = true;
    for (size_t i = 0; ok && i < layout.controls.size(); ++i) {
      TransactionControlSetting() =
          layout.controls[i].empty() ? "" : dir_ + "/" + layout.controls[i];
      tables.push_back(Table(File(i), &env));
      ok = tables.back()->Open() == 0 && tables.back()->Logout() == 0;
      for (int r = 0; ok && r < 30; ++r)
        ok = AddName(tables.back().get(), tag + std::to_string(r)) == 0;
    }
    TransactionControlSetting().clear();
    EXPECT_TRUE(ok);
    const int rc = ok ? DeclaredTable::CommitTransaction(&env) : -1;
    DeclaredTable::RollbackTransaction();
    tables.clear();
    return {rc, (1 << 30) - env.budget_};
  }
};

TEST_P(TransactionEveryWriteTest, AllFilesOldOrAllNewAfterEveryWrite) {
  const size_t n = GetParam().controls.size();
  for (size_t i = 0; i < n; ++i) CreateWith(File(i), "old");
  // A first transaction creates the control files and leaves their
  // numbers behind, as in a directory in use for a while.
  ASSERT_EQ(Transact("p", 1 << 30, false).first, 0);
  std::vector<std::set<std::string>> old_names, new_names;
  for (size_t i = 0; i < n; ++i) {
    old_names.push_back(Names(File(i)));
    new_names.push_back(old_names.back());
    for (int r = 0; r < 30; ++r) new_names.back().insert("x" + std::to_string(r));
  }
  const Files pristine = Snapshot();
  const int total = Transact("x", 1 << 30, false).second;
  ASSERT_GT(total, static_cast<int>(4 * n));
  for (bool crash : {true, false}) {
    bool saw_old = false, saw_new = false;
    for (int k = 0; k <= total; k = k < total ? std::min(k + kWriteStride, total) : total + 1) {
      Restore(pristine);
      const int rc = Transact("x", k, crash).first;
      std::vector<std::set<std::string>> seen;
      for (size_t i = 0; i < n; ++i) seen.push_back(Names(File(i)));
      const bool all_old = seen == old_names;
      const bool all_new = seen == new_names;
      ASSERT_TRUE(all_old || all_new)
          << "torn after write " << k << (crash ? " (crash)" : " (failed write)");
      if (!crash) {
        EXPECT_EQ(rc == 0, all_new) << "COMMIT's answer disagrees with the files after write " << k;
      }
      saw_old = saw_old || all_old;
      saw_new = saw_new || all_new;
      // The next change to each file writes the outcome for good.
      for (size_t i = 0; i < n; ++i) {
        auto t = Table(File(i));
        ASSERT_EQ(t->Open(), 0);
        ASSERT_EQ(AddName(t.get(), "later"), 0);
      }
      for (size_t i = 0; i < n; ++i) {
        std::set<std::string> want = all_new ? new_names[i] : old_names[i];
        want.insert("later");
        EXPECT_EQ(Names(File(i)), want) << "after write " << k;
      }
      if (crash) {
        for (const auto& e : std::filesystem::directory_iterator(dir_))
          testing::ExpectSoundFile(e.path());
      }
    }
    EXPECT_TRUE(saw_old && saw_new);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TransactionEveryWriteTest,
                         ::testing::Values(Layout{{"", ""}, "TwoFilesOneControlFile"},
                                           Layout{{"", "", ""}, "ThreeFilesOneControlFile"},
                                           Layout{{"a.tcf", ""}, "TwoFilesTwoControlFiles"},
                                           Layout{{"", "a.tcf", ""}, "ThreeFilesTwoControlFiles"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vm::storage
