// The file manager over real table files: the opening sequence (created,
// read-only, damaged, keys to rebuild), open counting, reading in sequence,
// inserts with duplicate keys, and updates that meet another process's change.
#include "framework/file_manager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "framework_test_support.h"
#include "storage/driver/kfs_ops.h"

namespace vm::framework {
namespace {

using testing::FaultDriver;
using testing::PutRow;
using testing::RecordingErrors;
using testing::RowCode;
using testing::RowValue;
using testing::TempDir;

class FileManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<FileManager> Make(DriverEntry entry = storage::KfsDriver) {
    return std::make_unique<FileManager>("Things", dir.File("THINGS"), testing::TwoKeyDef(),
                                         &errors, platform::Env::Default(), std::move(entry));
  }
  // Adds rows A0.. with values 0.. and closes the file again.
  void Fill(int rows) {
    auto fm = Make();
    ASSERT_EQ(fm->Open(), 0);
    for (int i = 0; i < rows; ++i) {
      PutRow(*fm, "A" + std::to_string(i), "N" + std::to_string(i), i);
      ASSERT_EQ(fm->Insert(), 0) << i;
    }
    fm->Close();
    errors.Clear();
  }
  TempDir dir;
  RecordingErrors errors;
};

TEST_F(FileManagerTest, MissingFileIsCreatedOnFirstUseWithoutAMessage) {
  auto fm = Make();
  EXPECT_EQ(fm->Open(), 0);
  EXPECT_FALSE(fm->really_open()) << "lazy opening waits for the first record operation";
  EXPECT_FALSE(std::filesystem::exists(dir.File("THINGS.KFS")));
  EXPECT_EQ(fm->SetOrder(), 0);
  EXPECT_TRUE(fm->really_open());
  EXPECT_TRUE(std::filesystem::exists(dir.File("THINGS.KFS")));
  EXPECT_EQ(fm->Next(), kLevelNotify);
  EXPECT_TRUE(fm->at_eof());
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(FileManagerTest, WithoutCreateAMissingFileGivesFileAccessError) {
  auto fm = Make();
  fm->create = false;
  fm->Open();
  EXPECT_EQ(fm->Use(), kLevelFatal);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kOpenFailed});
  EXPECT_EQ(errors.raised()[0].values.error.code, storage::kErrFileNotFound);
  EXPECT_EQ(errors.raised()[0].values.file, "Things");
}

TEST_F(FileManagerTest, FailedCreateGivesFileCreationError) {
  FaultDriver driver;
  driver.On(storage::kOpCreate, [](auto*, auto*) { return storage::kErrAccessDenied; });
  auto fm = Make(driver.Entry());
  fm->Open();
  EXPECT_EQ(fm->Use(), kLevelFatal);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kCreateError});
  EXPECT_EQ(fm->last_error(), msg::kCreateError);
}

TEST_F(FileManagerTest, RefusedWriteAccessFallsBackToReadOnlyAfterRecover) {
  Fill(2);
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](auto*, storage::KfsArgs* args) {
    return (args->access & 0x0F) != 0 ? storage::kErrAccessDenied : -1;
  });
  auto fm = Make(driver.Entry());
  fm->Open();
  ASSERT_EQ(fm->SetOrder(), 0);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kAccessDenied});
  EXPECT_EQ(driver.sent, std::vector<std::string>{"Recover=10"});
  EXPECT_TRUE(fm->read_only());
  EXPECT_EQ(fm->open_mode, 0x40);
  // Reading works; writing is refused by the driver and reported.
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(RowCode(*fm), "A0");
  PutRow(*fm, "B1", "M1", 1);
  EXPECT_EQ(fm->Insert(), kLevelNotify);
  EXPECT_EQ(errors.ids().back(), msg::kInsertError);
}

TEST_F(FileManagerTest, ReadOnlyModeThatIsStillRefusedGivesFileAccessError) {
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](auto*, auto*) { return storage::kErrAccessDenied; });
  auto fm = Make(driver.Entry());
  fm->Open();
  EXPECT_EQ(fm->Use(), kLevelFatal);
  EXPECT_EQ(errors.ids(), (std::vector<int>{msg::kAccessDenied, msg::kOpenFailed}));
}

TEST_F(FileManagerTest, DamagedFileGivesFileAccessError) {
  {
    std::ofstream f(dir.File("THINGS.KFS"), std::ios::binary);
    f << std::string(4096, 'x');
  }
  auto fm = Make();
  fm->Open();
  EXPECT_EQ(fm->Next(), kLevelFatal);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kOpenFailed});
  EXPECT_NE(errors.raised()[0].values.error.code, 0);
  EXPECT_FALSE(fm->really_open());
}

TEST_F(FileManagerTest, KeysToRebuildAreRebuiltAndTheOpenRetried) {
  Fill(3);
  FaultDriver driver;
  int opens = 0;
  driver.On(storage::kOpOpen,
            [&](auto*, auto*) { return ++opens == 1 ? kErrKeysNeedRebuild : -1; });
  auto fm = Make(driver.Entry());
  fm->Open();
  ASSERT_EQ(fm->SetOrder(0), 0);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kInvalidKey});
  EXPECT_NE(std::find(driver.ops.begin(), driver.ops.end(), storage::kOpBuildFile),
            driver.ops.end());
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(RowCode(*fm), "A0");
}

TEST_F(FileManagerTest, KeysThatCannotBeRebuiltGiveKeyNotBuilt) {
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](auto*, auto*) { return kErrKeysNeedRebuild; });
  driver.On(storage::kOpBuildFile, [](auto*, auto*) { return storage::kErrFileSystem; });
  auto fm = Make(driver.Entry());
  fm->Open();
  EXPECT_EQ(fm->Use(), kLevelFatal);
  EXPECT_EQ(errors.ids(), (std::vector<int>{msg::kInvalidKey, msg::kRebuildKeyError}));
}

TEST_F(FileManagerTest, UnreportedOpenFailuresOnlySetTheLastError) {
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](auto*, auto*) { return kErrKeysNeedRebuild; });
  auto fm = Make(driver.Entry());
  EXPECT_EQ(fm->Open(false, true), kLevelNotify);
  EXPECT_EQ(fm->last_error(), msg::kInvalidKey);
  EXPECT_EQ(fm->open_count(), 0);
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(FileManagerTest, RefusedDeclarationGivesFileAccessErrorWithoutCrashing) {
  storage::TableDef def = testing::TwoKeyDef();
  def.record_length = storage::kMaxRecordLength + 1;
  FileManager fm("Things", dir.File("THINGS"), def, &errors);
  EXPECT_EQ(fm.buffer().size(), def.record_length);
  fm.Open();
  EXPECT_EQ(fm.Next(), kLevelFatal);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kOpenFailed});
  EXPECT_EQ(errors.raised()[0].values.error.code, storage::kErrBadDeclaration);
}

TEST_F(FileManagerTest, AlreadyOpenCountsAsOpen) {
  Fill(1);
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](storage::KfsControlBlock* cb, storage::KfsArgs* args) {
    storage::KfsDriver(storage::kOpOpen, cb, args);
    return kErrAlreadyOpen;
  });
  auto fm = Make(driver.Entry());
  fm->Open();
  EXPECT_EQ(fm->SetOrder(), 0);
  EXPECT_TRUE(fm->really_open());
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(FileManagerTest, RecordOperationBeforeAnyOpenGivesFileUsageError) {
  Fill(1);
  auto fm = Make();
  EXPECT_EQ(fm->Next(), kLevelFatal);
  PutRow(*fm, "Z", "Z", 9);
  EXPECT_EQ(fm->Insert(), kLevelFatal);
  EXPECT_EQ(errors.ids(), (std::vector<int>{msg::kUseClosedFile, msg::kUseClosedFile}));
  EXPECT_EQ(errors.raised()[0].values.file, "Things");
  // After the last window closed, the same holds again.
  fm->Open();
  EXPECT_EQ(fm->SetOrder(), 0);
  fm->Close();
  EXPECT_EQ(fm->Next(), kLevelFatal);
  EXPECT_EQ(errors.ids().back(), msg::kUseClosedFile);
}

TEST_F(FileManagerTest, OnlyTheLastCloseClosesTheFile) {
  Fill(1);
  auto fm = Make();
  fm->Open();
  fm->Open();
  ASSERT_EQ(fm->SetOrder(), 0);
  fm->Close();
  EXPECT_TRUE(fm->really_open());
  EXPECT_EQ(fm->Next(), 0) << "the position survives the inner close";
  fm->Close();
  EXPECT_FALSE(fm->really_open());
  fm->Close();  // one close too many is ignored
  EXPECT_EQ(fm->open_count(), 0);
}

TEST_F(FileManagerTest, NextAndPreviousRunToEitherEnd) {
  Fill(3);
  auto fm = Make();
  fm->Open();
  ASSERT_EQ(fm->SetOrder(), 0);
  std::vector<std::string> seen;
  while (fm->Next() == 0) seen.push_back(RowCode(*fm));
  EXPECT_EQ(seen, (std::vector<std::string>{"A0", "A1", "A2"}));
  EXPECT_TRUE(fm->at_eof());
  ASSERT_EQ(fm->SetOrder(), 0);
  seen.clear();
  while (fm->Previous() == 0) seen.push_back(RowCode(*fm));
  EXPECT_EQ(seen, (std::vector<std::string>{"A2", "A1", "A0"}));
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(FileManagerTest, HeldRecordIsReportedOrSkipped) {
  Fill(3);
  FaultDriver driver;
  int nexts = 0;
  // The second read meets a record held elsewhere; the driver then leaves
  // the position where it was.
  driver.On(storage::kOpNext,
            [&](auto*, auto*) { return ++nexts == 2 ? storage::kErrRecordHeld : -1; });
  auto fm = Make(driver.Entry());
  fm->Open();
  fm->SetOrder();
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(fm->Next(false), kLevelNotify);
  EXPECT_EQ(fm->last_error(), msg::kRecordHeld);
  EXPECT_TRUE(errors.ids().empty());

  nexts = 0;
  fm->skip_held_records = true;
  fm->SetOrder();
  std::vector<std::string> seen;
  while (fm->Next() == 0) seen.push_back(RowCode(*fm));
  EXPECT_EQ(seen, (std::vector<std::string>{"A0", "A2"}));
}

TEST_F(FileManagerTest, OtherReadErrorsGiveRecordRetrievalError) {
  Fill(1);
  FaultDriver driver;
  driver.On(storage::kOpNext, [](auto*, auto*) { return storage::kErrFileSystem; });
  auto fm = Make(driver.Entry());
  fm->Open();
  fm->SetOrder();
  errors.QueueAnswer(kLevelFatal);
  EXPECT_EQ(fm->Next(), kLevelFatal);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kRetrievalError});
}

TEST_F(FileManagerTest, DuplicateInsertNamesTheFirstDuplicatedKey) {
  Fill(2);
  auto fm = Make();
  fm->Open();
  fm->SetKeyDescription(1, "T:NameKey");
  // A new code but the name of row 1: only the second key is duplicated.
  PutRow(*fm, "NEW", "n1", 7);
  EXPECT_EQ(fm->Insert(), kLevelNotify);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kDuplicateKey});
  EXPECT_EQ(errors.raised()[0].values.message, "T:NameKey");
  EXPECT_EQ(RowCode(*fm), "NEW") << "the buffer keeps the record that was to be added";
  EXPECT_EQ(fm->driver_error(), storage::kErrDuplicateKey);
  // Both keys duplicated: the first key is named.
  PutRow(*fm, "a0", "N1", 7);
  fm->Insert();
  EXPECT_EQ(errors.raised()[1].values.message, "T:CODEKEY");
  // Without reporting only the last error is set.
  EXPECT_EQ(fm->Insert(false), kLevelNotify);
  EXPECT_EQ(errors.ids().size(), 2u);
  EXPECT_EQ(fm->Records(), 2u);
}

TEST_F(FileManagerTest, FieldChecksRunBeforeInsertAndUpdate) {
  auto fm = Make();
  fm->Open();
  int calls = 0;
  fm->AddFieldCheck([&](FileManager& f, bool show) {
    ++calls;
    if (RowValue(f) >= 0) return 0;
    if (show) f.ThrowField(msg::kFieldNotInList, "T:VALUE", "'0+'");
    return kLevelNotify;
  });
  PutRow(*fm, "X", "X", -1);
  EXPECT_EQ(fm->Insert(), kLevelNotify);
  EXPECT_EQ(fm->Records(), 0u);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kFieldNotInList});
  EXPECT_EQ(errors.raised()[0].values.field, "T:VALUE");
  PutRow(*fm, "X", "X", 1);
  ASSERT_EQ(fm->Insert(), 0);
  PutRow(*fm, "X", "X", -2);
  EXPECT_EQ(fm->Update(), kLevelUser);
  EXPECT_EQ(calls, 3);
}

TEST_F(FileManagerTest, DeleteRemovesTheCurrentRecordAndReportsFailures) {
  Fill(2);
  auto fm = Make();
  fm->Open();
  fm->SetOrder();
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(fm->Delete(), 0);
  EXPECT_EQ(fm->Records(), 1u);
  fm->SetOrder();
  EXPECT_EQ(fm->Delete(), kLevelNotify);  // no current record
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kDeleteError});
}

// Waits for a child process with a deadline; -1 when it did not end well.
int JoinChild(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  ADD_FAILURE() << "child process did not finish in time";
  return -1;
}

TEST_F(FileManagerTest, UpdateOfARecordChangedByAnotherProcessShowsTheOtherVersion) {
  Fill(2);
  // The child starts before this process opens the file, so it shares none
  // of its open files or locks; it waits for a byte on the pipe.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(go[1]);
    char c = 0;
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    RecordingErrors child_errors;
    FileManager other("Things", dir.File("THINGS"), testing::TwoKeyDef(), &child_errors);
    other.Open();
    if (other.SetOrder() != 0 || other.Next() != 0) ::_exit(3);
    PutRow(other, "A0", "OTHER", 500);
    if (other.Update() != 0) ::_exit(4);
    other.Close();
    ::_exit(0);
  }
  ::close(go[0]);
  auto fm = Make();
  fm->Open();
  fm->SetOrder();
  fm->Watch();
  ASSERT_EQ(fm->Next(), 0);
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  ::close(go[1]);
  ASSERT_EQ(JoinChild(pid), 0);

  PutRow(*fm, "A0", "MINE", 42);
  EXPECT_EQ(fm->Update(kUpdateShowOther), kLevelNotify);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kRecordChangedShown});
  EXPECT_EQ(RowValue(*fm), 500) << "the buffer shows the other process's version";
  const std::vector<char> kept = fm->kept_copy();
  ASSERT_EQ(kept.size(), 16u);
  EXPECT_EQ(std::string(kept.data() + 4, 4), "MINE");
  // The watch was armed again on the stored version: writing now succeeds.
  PutRow(*fm, "A0", "MINE", 43);
  EXPECT_EQ(fm->Update(), 0);
  fm->SetOrder();
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(RowValue(*fm), 43);
}

TEST_F(FileManagerTest, UpdateModesChooseTheMessage) {
  Fill(1);
  FaultDriver driver;
  driver.On(storage::kOpPut, [](auto*, auto*) { return storage::kErrChangedByOther; });
  auto fm = Make(driver.Entry());
  fm->Open();
  fm->SetOrder();
  ASSERT_EQ(fm->Next(), 0);
  EXPECT_EQ(fm->Update(kUpdateSilent), kLevelNotify);
  EXPECT_EQ(fm->last_error(), msg::kRecordChanged);
  EXPECT_EQ(fm->Update(kUpdateReport), kLevelNotify);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kRecordChanged});
  driver.On(storage::kOpPut, [](auto*, auto*) { return storage::kErrFileSystem; });
  EXPECT_EQ(fm->Update(kUpdateSilent), kLevelNotify);
  EXPECT_EQ(fm->last_error(), msg::kUpdateError);
  errors.QueueAnswer(kLevelNotify);
  EXPECT_EQ(fm->Update(kUpdateReport), kLevelNotify);
  EXPECT_EQ(errors.ids().back(), msg::kUpdateError);
  EXPECT_EQ(errors.raised().back().values.error.code, storage::kErrFileSystem);
}

}  // namespace
}  // namespace vm::framework
