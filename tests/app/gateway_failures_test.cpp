// Sends that fail, and recordings that are hostile or disappear: each ends as
// a row with a clear outcome, none stops the pass, none reaches the server as
// extra header lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "platform/file.h"

namespace vm::app::testing {
namespace {

// With retries off every failure is final at once, as this program has
// always recorded it (retries: retry_pass_test).
class FailureTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    SetRetryFor(0);
  }
};

TEST_F(FailureTest, ServerDownIsRecordedWithItsNumber) {
  WriteSettings(ClosedPort());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  MakeRecording(101, "b.wav", "x");
  const ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.failed, 2);
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.processed, 1);
    EXPECT_NE(row.error.find("10061"), std::string::npos) << row.error;
    EXPECT_EQ(row.error_code, 10061) << "the close after the failure must not leave code 0";
    EXPECT_NE(row.error, "Nil");
  }
  EXPECT_TRUE(presenter_->requests().empty()) << "the mail object showed a message box";
}

TEST_F(FailureTest, ServerThatNeverAnswersIsBoundedByTheReplyLimit) {
  SilentServer silent;
  WriteSettings(silent.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  ScanOptions o = FastOptions();
  o.dispatch.reply_timeout_ms = 1000;
  const auto start = std::chrono::steady_clock::now();
  const ScanReport r = Pass(o);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20))
      << "the pass was not bounded";
  EXPECT_EQ(r.failed, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].error.find("No reply"), std::string::npos) << log[0].error;
  EXPECT_NE(log[0].error.find("-53"), std::string::npos) << log[0].error;
  EXPECT_EQ(log[0].error_code, -53);
}

TEST_F(FailureTest, WholeMessageLimitEndsASendThatDoesNotFinish) {
  SilentServer silent;
  WriteSettings(silent.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  ScanOptions o = FastOptions();
  o.dispatch.reply_timeout_ms = 600000;
  o.dispatch.send_timeout_ms = 1500;
  const ScanReport r = Pass(o);
  EXPECT_EQ(r.failed, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].error.find("not sent within"), std::string::npos) << log[0].error;
  EXPECT_NE(log[0].error.find("-53"), std::string::npos) << log[0].error;
  EXPECT_EQ(log[0].error_code, -53);
}

// Fails every open of a file whose name holds "locked", as an unreadable
// recording would.
class LockedFilesEnv : public platform::EnvWrapper {
 public:
  LockedFilesEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    if (path.find("locked") != std::string::npos) return Denied();
    return EnvWrapper::OpenFile(path, access, share, disposition);
  }
  platform::Result<std::unique_ptr<platform::File>> OpenForReading(
      const std::string& path, const platform::FileId* expect) override {
    if (path.find("locked") != std::string::npos) return Denied();
    return EnvWrapper::OpenForReading(path, expect);
  }

 private:
  static platform::Status Denied() {
    return platform::Status::Error(platform::Code::kAccessDenied, "permission denied", 13);
  }
};

TEST_F(FailureTest, HostileVanishingAndUnreadableRecordings) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  const std::vector<std::string> names = {"quo\"te.wav",
                                          "back\\slash.wav",
                                          "semi;colon.wav",
                                          "com,ma.wav",
                                          "pi|pe.wav",
                                          "caf\xc3\xa9 \xe2\x82\xac.wav",
                                          "cp1252 \xe9.wav",
                                          "line\r\nBcc: evil@example.com.wav",
                                          "new\nX-Injected: yes.wav",
                                          std::string(240, 'L') + ".wav",
                                          "empty.wav",
                                          "locked.wav"};
  for (const std::string& n : names) MakeRecording(101, n, n == "empty.wav" ? "" : "audio of " + n);
  ProcessedRow gone;
  gone.filename = "gone.wav";
  gone.mailbox = 101;
  gone.email_address = "alice@example.com";
  gone.send_attachment = "YES";
  gone.full_path = tree() + "/101/msg/gone.wav";
  gone.error = "0";
  AddRow(gone);

  LockedFilesEnv env;
  ScanOptions o = FastOptions();
  o.dispatch.env = &env;
  const ScanReport r = Pass(o);
  EXPECT_EQ(r.queued, static_cast<int>(names.size()));
  const auto log = Log();
  ASSERT_EQ(log.size(), names.size() + 1);
  int failed = 0;
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.processed, 1) << row.filename;
    EXPECT_FALSE(row.error.empty()) << row.filename;
    if (row.error != "Nil") ++failed;
  }
  EXPECT_EQ(failed, r.failed);
  const auto text_of = [&](const std::string& name) {
    for (const ProcessedRow& row : log) {
      if (row.filename == name) return row.error;
    }
    return std::string("<no row>");
  };
  EXPECT_NE(text_of("gone.wav").find("-35"), std::string::npos) << text_of("gone.wav");
  EXPECT_NE(text_of("locked.wav").find("-35"), std::string::npos) << text_of("locked.wav");
  EXPECT_EQ(text_of("empty.wav"), "Nil");
  EXPECT_NE(text_of(names[9]).find("path is longer than the 255 characters"), std::string::npos)
      << text_of(names[9]);
  for (const char* n :
       {"quo\"te.wav", "com,ma.wav", "pi|pe.wav", "back\\slash.wav", "semi;colon.wav"}) {
    EXPECT_EQ(text_of(n), "Nil") << n;
  }

  // Whatever arrived carries exactly the recording's bytes, and no name
  // turned into a header line of its own.
  for (const auto& eml : server.Messages(static_cast<size_t>(r.sent))) {
    const auto dump = DumpMail(eml);
    EXPECT_EQ(HeaderCount(dump, "Bcc"), 0);
    EXPECT_EQ(HeaderCount(dump, "X-Injected"), 0);
    EXPECT_EQ(HeaderCount(dump, "To"), 1);
    for (const std::string& l : dump) EXPECT_EQ(l.rfind("defect", 0), std::string::npos) << l;
  }
  EXPECT_EQ(server.Messages(static_cast<size_t>(r.sent)).size(), static_cast<size_t>(r.sent));
  // Diagnostic lines stay one line each.
  for (const std::string& line : sink_->Lines()) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
  const auto lines = sink_->Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "send_mail: queued mailbox 101 file line\\x0D\\x0ABcc: evil@example.com.wav"),
            lines.end());
  EXPECT_GE(r.sent, 6);
}

}  // namespace
}  // namespace vm::app::testing
