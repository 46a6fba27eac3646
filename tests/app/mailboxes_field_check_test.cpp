// The Mailboxes field check on a real Mailboxes file, through the real error
// manager: the message the operator sees and what reaches the file.
#include "app/mailboxes_field_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/gateway_tables.h"
#include "framework/error_manager.h"
#include "framework/file_errors.h"
#include "runtime/fixed_text.h"
#include "runtime/message_box.h"

namespace vm::app {
namespace {

namespace mai = storage::mailboxes;

class MailboxesFieldCheckTest : public ::testing::Test {
 protected:
  MailboxesFieldCheckTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vm-app-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    previous = runtime::SetMessagePresenter(presenter);
    file = std::make_unique<framework::FileManager>(
        "Mailboxes", storage::MailboxesFile(dir.string()), storage::MailboxesDef(), &sink);
    InstallMailboxesFieldCheck(*file);
    file->Open();
  }
  ~MailboxesFieldCheckTest() override {
    file->Close();
    file.reset();
    runtime::SetMessagePresenter(previous);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void Fill(int16_t number, std::string_view enable, std::string_view voice) {
    std::vector<char>& b = file->buffer();
    runtime::AssignFixed(b.data(), b.size(), "");
    b[mai::kMailboxNo] = static_cast<char>(number & 0xFF);
    b[mai::kMailboxNo + 1] = static_cast<char>(number >> 8);
    runtime::AssignFixed(b.data() + mai::kEnableEmail, mai::kEnableEmailSize, enable);
    runtime::AssignFixed(b.data() + mai::kSendVoiceFile, mai::kSendVoiceFileSize, voice);
  }

  std::filesystem::path dir;
  std::shared_ptr<runtime::ScriptedPresenter> presenter =
      std::make_shared<runtime::ScriptedPresenter>();
  std::shared_ptr<runtime::MessagePresenter> previous;
  framework::ErrorManager errors;
  framework::ErrorManagerErrors sink{&errors};
  std::unique_ptr<framework::FileManager> file;
};

TEST(ChoiceList, WordsMatchWholeAndCaseSensitive) {
  const std::string_view list = "]YES[]NO[";
  EXPECT_TRUE(InChoiceList("YES", list));
  EXPECT_TRUE(InChoiceList("NO                  ", list));
  EXPECT_TRUE(InChoiceList("YES ", list));
  EXPECT_FALSE(InChoiceList("yes", list));
  EXPECT_FALSE(InChoiceList("Yes", list));
  EXPECT_FALSE(InChoiceList(" YES", list));
  EXPECT_FALSE(InChoiceList("", list));
  EXPECT_FALSE(InChoiceList("ES", list));
  EXPECT_FALSE(InChoiceList("YES[]NO", list)) << "a value must not match across two words";
  EXPECT_FALSE(InChoiceList("[]", list));
}

TEST_F(MailboxesFieldCheckTest, LowerCaseYesIsRejectedWithValueError) {
  Fill(101, "yes", "NO");
  EXPECT_EQ(file->Insert(), framework::kLevelNotify);
  EXPECT_EQ(file->Records(), 0u);
  const auto requests = presenter->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].caption, "Value Error");
  EXPECT_EQ(requests[0].text, "The value of MAI:Enable_Email must be in the list : 'YES','NO'.");
  EXPECT_EQ(file->last_error(), framework::msg::kFieldNotInList);
}

TEST_F(MailboxesFieldCheckTest, SecondFieldIsNamedWhenOnlyItFails) {
  Fill(102, "YES", "MAYBE");
  EXPECT_EQ(file->Insert(), framework::kLevelNotify);
  const auto requests = presenter->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].text, "The value of MAI:Send_Voice_File must be in the list : 'YES','NO'.");
}

TEST_F(MailboxesFieldCheckTest, PaddedUpperCaseWordsPassAndAreStored) {
  Fill(103, "YES", "NO ");
  ASSERT_EQ(file->Insert(), 0);
  EXPECT_EQ(file->Records(), 1u);
  EXPECT_TRUE(presenter->requests().empty());
  // Changing it to a bad value through an update is refused; the stored
  // record keeps its value.
  runtime::AssignFixed(file->buffer().data() + mai::kEnableEmail, mai::kEnableEmailSize, "no");
  EXPECT_EQ(file->Update(), framework::kLevelUser);
  ASSERT_EQ(file->SetOrder(), 0);
  ASSERT_EQ(file->Next(), 0);
  EXPECT_EQ(runtime::ClipField(file->buffer().data() + mai::kEnableEmail, mai::kEnableEmailSize),
            "YES");
}

TEST_F(MailboxesFieldCheckTest, WithoutShowingNothingIsAskedButTheRecordIsStillRefused) {
  Fill(104, "", "NO");
  EXPECT_EQ(file->Insert(false), framework::kLevelNotify);
  EXPECT_TRUE(presenter->requests().empty());
  EXPECT_EQ(file->Records(), 0u);
}

}  // namespace
}  // namespace vm::app
