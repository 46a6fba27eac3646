// The file manager's messages as the operator sees them, through the real
// error manager and a scripted message presenter.
#include <gtest/gtest.h>

#include <fstream>

#include "framework/error_manager.h"
#include "framework/file_errors.h"
#include "framework/file_manager.h"
#include "framework_test_support.h"
#include "runtime/message_box.h"
#include "storage/driver/kfs_ops.h"

namespace vm::framework {
namespace {

using testing::FaultDriver;
using testing::TempDir;

class FileManagerMessagesTest : public ::testing::Test {
 protected:
  FileManagerMessagesTest() {
    previous_ = runtime::SetMessagePresenter(presenter_);
    errors_.SetExitHandler([this](int status) { exits_.push_back(status); });
  }
  ~FileManagerMessagesTest() override { runtime::SetMessagePresenter(previous_); }
  std::unique_ptr<FileManager> Make(DriverEntry entry = storage::KfsDriver) {
    return std::make_unique<FileManager>("Mailboxes", dir_.File("MAILBOXE"), testing::TwoKeyDef(),
                                         &sink_, platform::Env::Default(), std::move(entry));
  }

  TempDir dir_;
  std::shared_ptr<runtime::ScriptedPresenter> presenter_ =
      std::make_shared<runtime::ScriptedPresenter>();
  std::shared_ptr<runtime::MessagePresenter> previous_;
  ErrorManager errors_;
  ErrorManagerErrors sink_{&errors_};
  std::vector<int> exits_;
};

TEST_F(FileManagerMessagesTest, ReadOnlyFallbackNamesTheTable) {
  FaultDriver driver;
  driver.On(storage::kOpOpen, [](auto*, storage::KfsArgs* args) {
    return (args->access & 0x0F) != 0 ? storage::kErrAccessDenied : -1;
  });
  {
    auto create = Make();
    create->Open();
    ASSERT_EQ(create->SetOrder(), 0);
    create->Close();
  }
  auto fm = Make(driver.Entry());
  fm->Open();
  ASSERT_EQ(fm->SetOrder(), 0);
  const auto requests = presenter_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].caption, "Access Denied");
  EXPECT_EQ(requests[0].text, "Could not get write access to Mailboxes so trying read-only.");
  EXPECT_TRUE(exits_.empty());
}

TEST_F(FileManagerMessagesTest, DamagedFileIsAFatalFileAccessError) {
  {
    std::ofstream f(dir_.File("MAILBOXE.KFS"), std::ios::binary);
    f << std::string(2048, '\x7f');
  }
  auto fm = Make();
  fm->Open();
  EXPECT_EQ(fm->Next(), kLevelFatal);
  const auto requests = presenter_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].caption, "File Access Error");
  EXPECT_EQ(requests[0].text.rfind("File Mailboxes could not be opened.  Error: ", 0), 0u)
      << requests[0].text;
  EXPECT_NE(requests[0].text.find("  Press OK to end this application"), std::string::npos);
  EXPECT_EQ(exits_.size(), 1u) << "a fatal message ends the program";
}

TEST_F(FileManagerMessagesTest, DuplicateKeyMessageNamesTheKey) {
  auto fm = Make();
  fm->Open();
  fm->SetKeyDescription(0, "MAI:MailboxKey");
  testing::PutRow(*fm, "101", "A", 1);
  ASSERT_EQ(fm->Insert(), 0);
  testing::PutRow(*fm, "101", "B", 2);
  EXPECT_EQ(fm->Insert(), kLevelNotify);
  const auto requests = presenter_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].caption, "Duplicate Key Error");
  EXPECT_EQ(requests[0].text,
            "Adding this record creates a duplicate entry for the key: MAI:MailboxKey");
}

TEST_F(FileManagerMessagesTest, UseBeforeOpenNamesTheFile) {
  auto fm = Make();
  EXPECT_EQ(fm->Next(), kLevelFatal);
  const auto requests = presenter_->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].caption, "File Usage Error");
  EXPECT_EQ(requests[0].text.rfind("Attempt to use file (Mailboxes) before it was opened", 0), 0u);
}

}  // namespace
}  // namespace vm::framework
