// Transactions over table files: LOGOUT defers commits, COMMIT of one file
// needs no control file, COMMIT of two files goes through the control file,
// ROLLBACK drops everything, and a process that dies inside a two-file
// commit leaves both files old (before the commit point) or both new (after
// it). The crashes are real: a child process exits in the middle of COMMIT.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "storage/declared_table.h"
#include "storage/kfs_driver.h"
#include "storage/kfs_run.h"
#include "storage/kfs_transaction.h"
#include "storage/page_file_fixture.h"
#include "storage/page_file.h"
#include "storage/record_keys.h"

namespace vm::storage {
namespace {

constexpr size_t kNameSize = 20;

TableDef NamesDef() {
  TableDef d;
  d.record_length = kNameSize + 4;
  d.fields = {MakeField("NAM:NAME", kTypeString, 0, kNameSize), MakeField("NAM:N", kTypeLong, kNameSize, 4)};
  d.keys = {MakeKey("NAM:NAMEKEY", kKeyNoCase, {{0, 0}})};
  return d;
}

class TransactionTest : public ::testing::Test {
 protected:
  ~TransactionTest() override {
    DeclaredTable::RollbackTransaction();
    TransactionControlSetting().clear();
    // Data and control files alike are sound table files.
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) testing::ExpectSoundFile(entry.path());
  }

  std::unique_ptr<DeclaredTable> Table(const std::string& file, platform::Env* env = platform::Env::Default()) {
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
  std::unique_ptr<PageFile> f;
  ASSERT_TRUE(PageFile::Open(platform::Env::Default(), dir_ + "/A.KFS", {}, &f).ok());
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
  ASSERT_TRUE(TransactionPending(platform::Env::Default(), dir_ + "/keelfast.tcf", number, &pending).ok());
  EXPECT_FALSE(pending);
}

// Ends the process in the middle of a two-file commit: before the commit
// point (the first control-file write after the data files' journals) or
// after it (the first data-file write after that).
class CrashingEnv : public platform::EnvWrapper {
 public:
  explicit CrashingEnv(bool after_commit_point)
      : EnvWrapper(platform::Env::Default()), after_(after_commit_point) {}

  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& path, platform::Access access,
                                                             platform::Share share,
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
      ok = AddName(a.get(), "a" + std::to_string(i)) == 0 && AddName(b.get(), "b" + std::to_string(i)) == 0;
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
    std::unique_ptr<PageFile> f;
    ASSERT_TRUE(PageFile::Open(platform::Env::Default(), dir_ + file, {}, &f).ok());
    ASSERT_TRUE(f->Begin(false).ok());
    EXPECT_TRUE(f->tree().Verify().ok());
    f->EndRead();
  }
}

INSTANTIATE_TEST_SUITE_P(CommitPoint, TransactionCrashTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "After" : "Before"; });

}  // namespace
}  // namespace vm::storage
