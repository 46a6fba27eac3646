// The largest recording mailed as an attachment: the rule of the
// `max-attachment` key, where a recording's size falls against it, and end
// to end through `settings set` and `--scan-once` against a real SMTP
// server, with a 2 GiB recording among them (a sparse file: never read).
#include "app/attachment_limit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/mail_settings.h"
#include "app/settings_file.h"
#include "app_test_support.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(AttachmentLimit, TheKeyTakesWholeMegabytesFromOneTo4096) {
  const SettingKey* key = FindSettingKey(ProgramSettingKeys(), kKeyMaxAttachment);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->default_value, "20");
  EXPECT_FALSE(key->secret);
  for (const char* ok : {"1", "20", "0020", "4096"})
    EXPECT_FALSE(CheckSettingValue(*key, ok).has_value()) << ok;
  for (const char* bad : {"", "0", "4097", "99999", "18446744073709551637", "-1", "+5", " 20",
                          "20 ", "20MB", "1e3", "2.5", "\xD9\xA3", "20\n"})
    EXPECT_TRUE(CheckSettingValue(*key, bad).has_value()) << bad;
}

TEST(AttachmentLimit, SizesAgainstTheLimitAndHowTheyAreSaid) {
  EXPECT_FALSE(TooLargeToAttach(20 * kMiB, 20)) << "exactly the limit is attached";
  EXPECT_TRUE(TooLargeToAttach(20 * kMiB + 1, 20));
  EXPECT_FALSE(TooLargeToAttach(0, 1));
  // Sizes that do not fit 32 bits, signed or not.
  EXPECT_TRUE(TooLargeToAttach((uint64_t{1} << 31) + 1, 20));
  EXPECT_TRUE(TooLargeToAttach((uint64_t{1} << 32) + 1, 20));
  EXPECT_FALSE(TooLargeToAttach(uint64_t{4096} * kMiB, 4096));
  EXPECT_TRUE(TooLargeToAttach(uint64_t{4096} * kMiB + 1, 4096));

  EXPECT_EQ(MegabytesOf(0), 0u);
  EXPECT_EQ(MegabytesOf(kMiB), 1u);
  EXPECT_EQ(MegabytesOf(kMiB + 1), 2u) << "over the limit always shows more than the limit";
  EXPECT_EQ(MegabytesOf((uint64_t{1} << 31) + 1), 2049u);
  EXPECT_EQ(SentWithoutAttachmentText(20 * kMiB + 1, 20),
            "sent without attachment: 21 MB over the limit of 20 MB");
  // A hostile name cannot start a line of its own in the body.
  EXPECT_EQ(TooLargeToAttachLine("a\r\nBcc: x@y.wav", 3 * kMiB, 2),
            "The recording a\\x0D\\x0ABcc: x@y.wav (3 MB) is not attached: it is larger than "
            "the 2 MB limit for attachments.");
}

TEST(AttachmentLimit, OnlyCodeZeroWithNilOrTheTextOfALeftOutRecordingIsSent) {
  EXPECT_TRUE(IsSentOutcome(0, "Nil"));
  EXPECT_TRUE(IsSentOutcome(0, SentWithoutAttachmentText(30 * kMiB, 20)));
  EXPECT_FALSE(IsSentOutcome(-34, SentWithoutAttachmentText(30 * kMiB, 20)));
  EXPECT_FALSE(IsSentOutcome(-34, "Nil"));
  EXPECT_FALSE(IsSentOutcome(0, "nil"));
  EXPECT_FALSE(IsSentOutcome(0, ""));
  EXPECT_FALSE(IsSentOutcome(0, "The send ended without a report from the mail object"));
  EXPECT_FALSE(IsSentOutcome(0, "sent without attachment"));
}

class AttachmentLimitTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = std::make_unique<SmtpSink>(root() / "received");
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    WriteSettings(server_->port(), "Attached: <EXT>", "Call <ext> about your message.");
  }
  void TearDown() override {
    server_.reset();
    GatewayTest::TearDown();
  }
  std::string Program(const std::string& words, int* status) {
    return RunCommand(
        "'" + BinaryPath("voicemail-mailer") + "' --data-dir '" + data_dir() + "' " + words,
        status);
  }
  // Bytes that differ from position to position, so a cut or shifted
  // attachment shows in its digest.
  static std::string Pattern(uint64_t size) {
    std::string s(size, '\0');
    for (uint64_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return s;
  }
  // The dump of the message sent to mailbox `box`'s address about `name`.
  std::vector<std::string> MessageAbout(const std::vector<fs::path>& messages,
                                        const std::string& marker) {
    for (const fs::path& m : messages) {
      std::vector<std::string> dump = DumpMail(m);
      for (const std::string& l : dump)
        if (l.find(marker) != std::string::npos) return dump;
    }
    return {};
  }
  std::unique_ptr<SmtpSink> server_;
};

TEST_F(AttachmentLimitTest, ALargerRecordingIsMailedWithoutItAndLoggedAsSentSo) {
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  AddMailbox(102, "bob@example.com", "", "YES", "YES");
  // Above 2 GiB under the default limit of 20 MB; sparse, so it takes no
  // room, and it is never read.
  const std::string huge = MakeRecording(102, "huge.wav", "x");
  fs::resize_file(huge, (uint64_t{1} << 31) + 1);
  fs::last_write_time(huge, fs::file_time_type::clock::now() - std::chrono::seconds(120));

  int status = -1;
  std::string out = Program("--scan-once", &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<ProcessedRow> log = Log();
  ASSERT_EQ(log.size(), 1u) << out;
  EXPECT_EQ(log[0].error_code, 0);
  EXPECT_EQ(log[0].error, "sent without attachment: 2049 MB over the limit of 20 MB");
  std::vector<fs::path> messages = server_->Messages(1);
  ASSERT_EQ(messages.size(), 1u);
  std::vector<std::string> dump = DumpMail(messages[0]);
  // The plain body with its tag filled (a filled tag is followed by a
  // blank), then the line that says where the recording went.
  EXPECT_EQ(std::count_if(dump.begin(), dump.end(),
                          [](const std::string& l) { return l.rfind("attachment ", 0) == 0; }),
            0);
  EXPECT_NE(std::find(dump.begin(), dump.end(),
                      "text Call 102  about your message.\\r\\n\\r\\nThe recording huge.wav (2049 "
                      "MB) is not attached: it is larger than the 20 MB limit for "
                      "attachments.\\r\\n"),
            dump.end())
      << ::testing::PrintToString(dump);
  EXPECT_NE(out.find("send_mail: sent mailbox 102 file huge.wav: sent without attachment: 2049 MB "
                     "over the limit of 20 MB"),
            std::string::npos)
      << out;

  // A lower limit set as the operator sets it: a recording of exactly the
  // limit is attached whole, one byte more is left out.
  ASSERT_EQ(Program("settings set max-attachment=1", &status), "");
  ASSERT_EQ(status, 0);
  const std::string edge = MakeRecording(101, "edge.wav", Pattern(kMiB));
  MakeRecording(101, "over.wav", Pattern(kMiB + 1));
  out = Program("--scan-once", &status);
  EXPECT_EQ(status, 0) << out;
  log = Log();
  ASSERT_EQ(log.size(), 3u) << out;
  for (const ProcessedRow& r : log) {
    EXPECT_EQ(r.error_code, 0) << r.filename;
    if (r.filename == "edge.wav") {
      EXPECT_EQ(r.error, "Nil");
    } else if (r.filename == "over.wav") {
      EXPECT_EQ(r.error, "sent without attachment: 2 MB over the limit of 1 MB");
    }
  }
  messages = server_->Messages(3);
  ASSERT_EQ(messages.size(), 3u);
  dump = MessageAbout(messages, "edge.wav");
  EXPECT_NE(std::find(dump.begin(), dump.end(),
                      "attachment edge.wav " + std::to_string(kMiB) + " " + Sha256OfFile(edge)),
            dump.end())
      << ::testing::PrintToString(dump);
  dump = MessageAbout(messages, "over.wav");
  ASSERT_FALSE(dump.empty());
  EXPECT_EQ(std::count_if(dump.begin(), dump.end(),
                          [](const std::string& l) { return l.rfind("attachment ", 0) == 0; }),
            0);
  EXPECT_NE(std::find(dump.begin(), dump.end(),
                      "text Call 101  about your message.\\r\\n\\r\\nThe recording over.wav (2 "
                      "MB) is not attached: it is larger than the 1 MB limit for "
                      "attachments.\\r\\n"),
            dump.end())
      << ::testing::PrintToString(dump);

  // The log command counts them all as sent.
  EXPECT_EQ(Program("log --failed", &status), "");
  EXPECT_EQ(status, 0);
  const std::string sent = Program("log --sent", &status);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), 3) << sent;
}

TEST_F(AttachmentLimitTest, AHandEditedLimitOutOfRangeGivesTheDefault) {
  std::ofstream(fs::path(data_dir()) / kSettingsFileName) << "max-attachment=0\n";
  auto file = SettingsFile::Read(data_dir());
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(MailSettingsOf(*file).max_attachment_mb, kDefaultMaxAttachmentMb);
  const std::vector<std::string> warnings = MailSettingsWarnings(*file);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("max-attachment is not allowed"), std::string::npos) << warnings[0];

  std::ofstream(fs::path(data_dir()) / kSettingsFileName) << "max-attachment=4096\n";
  file = SettingsFile::Read(data_dir());
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(MailSettingsOf(*file).max_attachment_mb, 4096);
}

}  // namespace
}  // namespace vm::app::testing
