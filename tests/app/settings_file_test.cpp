// The store of settings beside the tables, with keys defined here (the
// program's own table grows as later settings are built): typed values and
// defaults, secrets kept apart in a private file, hand edits that break a
// rule left out and reported, lines of unknown keys kept, and a writer that
// never leaves half a file.
#include "app/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/instance_lock.h"
#include "app_test_support.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

std::vector<SettingKey> TestKeys() {
  return {
      {"mode", "none", [](std::string_view v) { return v == "none" || v == "on"; }, "none or on",
       false},
      {"hours", "24",
       [](std::string_view v) { return !CheckNumber(v, 0, 720, "hours").has_value(); },
       "a number of hours from 0 to 720", false},
      {"verify", "yes", [](std::string_view v) { return v == "yes" || v == "no"; }, "yes or no",
       false},
      {"token", "", nullptr, "any one line", true},
  };
}

class SettingsFileTest : public GatewayTest {
 protected:
  std::string Conf() const { return ReadFileBytes(fs::path(data_dir()) / kSettingsFileName); }
  fs::path Credentials() const { return fs::path(data_dir()) / kCredentialsFileName; }
  static unsigned Mode(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }
  const std::vector<SettingKey> keys_ = TestKeys();
};

TEST_F(SettingsFileTest, DefaultsTypedValuesAndSecretsApart) {
  auto empty = SettingsFile::Read(data_dir(), keys_);
  ASSERT_TRUE(empty.ok()) << empty.status().message();
  EXPECT_EQ(empty->Text("mode"), "none");
  EXPECT_EQ(empty->Number("hours"), 24);
  EXPECT_TRUE(empty->Flag("verify"));
  EXPECT_FALSE(empty->IsSet("token"));
  // Nothing set: nothing written, no file made.
  ASSERT_TRUE(empty->Write().ok());
  EXPECT_FALSE(fs::exists(fs::path(data_dir()) / kSettingsFileName));
  EXPECT_FALSE(fs::exists(Credentials()));

  empty->Set("hours", "0");
  empty->Set("verify", "no");
  empty->Set("token", "s3cret=with=equals");
  ASSERT_TRUE(empty->Write().ok());
  EXPECT_EQ(Mode(fs::path(data_dir()) / kSettingsFileName), 0600u);
  EXPECT_EQ(Mode(Credentials()), 0600u);
  EXPECT_EQ(Conf().find("s3cret"), std::string::npos) << "a secret outside credentials";
  EXPECT_NE(ReadFileBytes(Credentials()).find("token=s3cret=with=equals\n"), std::string::npos);

  auto again = SettingsFile::Read(data_dir(), keys_);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->Number("hours"), 0);
  EXPECT_FALSE(again->Flag("verify"));
  EXPECT_EQ(again->Text("token"), "s3cret=with=equals");
  EXPECT_TRUE(again->IsSet("hours"));
  EXPECT_FALSE(again->IsSet("mode"));
  EXPECT_TRUE(again->problems().empty());

  // Only the file whose contents change is written again.
  const auto stamp = fs::last_write_time(Credentials());
  again->Set("mode", "on");
  ASSERT_TRUE(again->Write().ok());
  EXPECT_EQ(fs::last_write_time(Credentials()), stamp);
  EXPECT_NE(Conf().find("mode=on\n"), std::string::npos);
}

TEST_F(SettingsFileTest, HandEditsThatBreakARuleAreLeftOutAndUnknownKeysKept) {
  std::ofstream(fs::path(data_dir()) / kSettingsFileName) << "# a comment\n"
                                                             "hours=9999\n"
                                                             "mode=on\r\n"
                                                             "from-a-later-version=keep me\n"
                                                             "token=not here\n"
                                                             "no equals sign\n";
  auto file = SettingsFile::Read(data_dir(), keys_);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file->Number("hours"), 24) << "a refused value gives the default";
  EXPECT_EQ(file->Text("mode"), "on");
  EXPECT_FALSE(file->IsSet("token"));
  ASSERT_EQ(file->problems().size(), 3u);
  EXPECT_EQ(file->problems()[0],
            "voicemail-mailer.conf line 2: hours is not allowed; must be a number of hours from "
            "0 to 720");
  EXPECT_NE(file->problems()[1].find("line 5: token belongs in credentials"), std::string::npos);
  EXPECT_NE(file->problems()[2].find("line 6: not KEY=VALUE"), std::string::npos);

  file->Set("verify", "no");
  ASSERT_TRUE(file->Write().ok());
  const std::string conf = Conf();
  EXPECT_NE(conf.find("mode=on\nverify=no\nfrom-a-later-version=keep me\n"), std::string::npos)
      << conf;
}

TEST_F(SettingsFileTest, CredentialsOthersCanReadAreRefusedWithTheFix) {
  std::ofstream(Credentials()) << "token=abc\n";
  fs::permissions(Credentials(), fs::perms::owner_read | fs::perms::owner_write |
                                     fs::perms::group_read | fs::perms::others_read);
  auto file = SettingsFile::Read(data_dir(), keys_);
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.status().message(), Credentials().string() +
                                         " can be read by other users; make it private: chmod "
                                         "600 " +
                                         Credentials().string());
  fs::permissions(Credentials(), fs::perms::owner_read | fs::perms::owner_write);
  auto fixed = SettingsFile::Read(data_dir(), keys_);
  ASSERT_TRUE(fixed.ok());
  EXPECT_EQ(fixed->Text("token"), "abc");
}

TEST_F(SettingsFileTest, WritersTakeTurnsWithABoundedWait) {
  std::string error;
  auto first = SettingsWriteLock::Acquire(data_dir(), std::chrono::seconds(1), &error);
  ASSERT_NE(first, nullptr) << error;
  auto second = SettingsWriteLock::Acquire(data_dir(), std::chrono::milliseconds(100), &error);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(error.find("another command is writing the settings"), std::string::npos) << error;
  first.reset();
  EXPECT_NE(SettingsWriteLock::Acquire(data_dir(), std::chrono::milliseconds(100), &error),
            nullptr);
  // The settings writers' byte is not the instance lock: a service still starts.
  auto writer = SettingsWriteLock::Acquire(data_dir(), std::chrono::seconds(1), &error);
  EXPECT_NE(InstanceLock::Acquire(data_dir(), &error), nullptr) << error;
}

}  // namespace
}  // namespace vm::app::testing
