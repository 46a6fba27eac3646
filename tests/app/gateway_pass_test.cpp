// One scan pass from the voice-mail tree to a real SMTP server (aiosmtpd on
// loopback) and back into the log table: what is queued, what is sent, and
// what each row says afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "framework/error_manager.h"
#include "platform/clock.h"
#include "runtime/date_time.h"
#include "runtime/picture.h"

namespace vm::app::testing {
namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class PassTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = std::make_unique<SmtpSink>(root() / "received");
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
  }
  void TearDown() override {
    server_.reset();
    GatewayTest::TearDown();
  }
  std::unique_ptr<SmtpSink> server_;
};

TEST_F(PassTest, AttachmentChoiceCopyAddressAndTags) {
  WriteSettings(server_->port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  AddMailbox(102, "bob@example.com", "boss@example.com", "YES", "NO");
  std::string audio(70000, '\0');
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<char>(i * 7 + 3);
  const std::string wav = MakeRecording(101, "a1.wav", audio);
  MakeRecording(102, "b1.wav", "RIFFxxxx");

  std::vector<std::string> statuses;
  framework::ErrorManager errors;
  ScanOptions o = FastOptions();
  o.dispatch.errors = &errors;
  o.on_status = [&](const std::string& s) {
    statuses.push_back(s);
    EXPECT_EQ(errors.ProcedureName().value_or("<none>"), "send_mail");
  };
  const ScanReport r = Pass(o);
  EXPECT_EQ(r.queued, 2);
  EXPECT_EQ(r.sent, 2);
  EXPECT_FALSE(errors.ProcedureName().has_value()) << "the pass left its name behind";
  EXPECT_EQ(r.failed, 0);
  EXPECT_EQ(statuses.front(), "Scanning for new messages");
  EXPECT_TRUE(Contains(statuses, "Scanning for new messages : 101"));
  EXPECT_TRUE(Contains(statuses, "New messages added to Queue :1"));
  EXPECT_TRUE(Contains(statuses, "New messages added to Queue :2"));

  const auto mails = server_->Messages(2);
  ASSERT_EQ(mails.size(), 2u);
  const auto first = DumpMail(mails[0]);
  const auto second = DumpMail(mails[1]);
  EXPECT_EQ(HeaderCount(first, "Cc"), 0);
  EXPECT_EQ(HeaderOf(first, "Subject"), "New voice message");
  EXPECT_TRUE(Contains(first, "attachment a1.wav 70000 " + Sha256OfFile(wav)));
  EXPECT_NE(HeaderOf(second, "Cc").find("boss@example.com"), std::string::npos);
  EXPECT_FALSE(Contains(second, "attachment "));

  const std::vector<ProcessedRow> log = Log();
  ASSERT_EQ(log.size(), 2u);
  const std::string date = runtime::FormatDate(log[0].date_of_recording, 5);
  const std::string time = runtime::FormatTime(log[0].time_of_recording, 1);
  EXPECT_TRUE(Contains(first, "text Attached: 101  " + date + "  " + time + "\\r\\n"))
      << first.back();
  EXPECT_TRUE(Contains(second, "text Call 102  about")) << second.back();
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.processed, 1);
    EXPECT_EQ(row.error_code, 0);
    EXPECT_EQ(row.error, "Nil");
  }
  EXPECT_EQ(log[0].mailbox, 101);
  EXPECT_EQ(log[0].full_path, wav);
  EXPECT_EQ(log[0].send_attachment, "YES");
  EXPECT_EQ(log[1].cc_email_address, "boss@example.com");
  EXPECT_TRUE(Contains(sink_->Lines(), "send_mail: queued mailbox 101 file a1.wav"));
  EXPECT_TRUE(Contains(sink_->Lines(), "send_mail: sent mailbox 102 file b1.wav: Nil"));

  // Nothing new: nothing is queued or sent again.
  const ScanReport again = Pass(FastOptions());
  EXPECT_EQ(again.queued + again.sent + again.failed, 0);
  EXPECT_EQ(again.last_status, "No new messages added to Queue");
}

TEST_F(PassTest, SkippedMailboxesAndOneFileNameInTwoMailboxes) {
  WriteSettings(server_->port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  AddMailbox(102, "bob@example.com", "", "YES", "NO");
  AddMailbox(103, "carol@example.com", "", "NO", "NO");
  AddMailbox(104, "", "", "YES", "NO");
  AddMailbox(105, "eve@example.com", "", "yes", "NO");
  MakeRecording(101, "same.wav", "one");
  MakeRecording(102, "SAME.WAV", "two");
  MakeRecording(103, "c.wav", "x");
  MakeRecording(104, "d.wav", "x");
  MakeRecording(105, "e.wav", "x");
  MakeRecording(101, "notes.txt", "not a recording");
  std::filesystem::create_directories(std::filesystem::path(tree()) / "101/msg/dir.wav");

  const ScanReport r = Pass(FastOptions());
  // The same name in two mailboxes is two recordings.
  EXPECT_EQ(r.queued, 2);
  EXPECT_EQ(r.sent, 2);
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].mailbox, 101);
  EXPECT_EQ(log[0].filename, "same.wav");
  EXPECT_EQ(log[1].mailbox, 102);
  EXPECT_EQ(log[1].filename, "SAME.WAV");
  // The last mailbox was skipped, so its scanning text stays.
  EXPECT_EQ(r.last_status, "Scanning for new messages : 105");
}

TEST_F(PassTest, YoungRecordingWaitsForALaterPass) {
  WriteSettings(server_->port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "young.wav", "x", 0);
  const auto written =
      std::filesystem::last_write_time(std::filesystem::path(tree()) / "101/msg/young.wav");
  const int64_t unix_written = std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::file_clock::to_sys(written).time_since_epoch())
                                   .count();
  platform::ManualClock clock;
  clock.Set(platform::LocalFromUnix(unix_written + 10, 0), unix_written + 10);
  ScanOptions o = FastOptions();
  o.clock = &clock;
  EXPECT_EQ(Pass(o).queued, 0);
  EXPECT_TRUE(Log().empty());

  clock.Set(platform::LocalFromUnix(unix_written + 60, 0), unix_written + 60);
  const ScanReport later = Pass(o);
  EXPECT_EQ(later.queued, 1);
  EXPECT_EQ(later.sent, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].date, runtime::Today(clock));
  EXPECT_EQ(log[0].time, runtime::ClockTime(clock));
}

TEST_F(PassTest, RowsLeftWaitingAreSentByAPassThatFindsNothing) {
  WriteSettings(server_->port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  ProcessedRow done;
  done.filename = "old.wav";
  done.processed = 1;
  done.error = "Nil";
  AddRow(done);
  ProcessedRow waiting;
  waiting.filename = "left.wav";
  waiting.mailbox = 101;
  waiting.email_address = "alice@example.com";
  waiting.send_attachment = "NO";
  waiting.error = "0";
  AddRow(waiting);
  AddRow(done = [&] {
    ProcessedRow d = done;
    d.filename = "old2.wav";
    return d;
  }());
  waiting.filename = "left2.wav";
  AddRow(waiting);

  const ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.queued, 0);
  EXPECT_EQ(r.sent, 2);
  const auto log = Log();
  ASSERT_EQ(log.size(), 4u);
  for (const ProcessedRow& row : log) EXPECT_EQ(row.processed, 1) << row.filename;
  EXPECT_EQ(log[1].error, "Nil");
  EXPECT_EQ(log[3].error, "Nil");
  EXPECT_TRUE(Contains(sink_->Lines(), "send_mail: sent mailbox 101 file left.wav"));
  EXPECT_EQ(server_->Messages(2).size(), 2u);
}

TEST_F(PassTest, RejectedRecipientIsRecordedAndThePassGoesOn) {
  WriteSettings(server_->port());
  AddMailbox(101, "reject@example.com", "", "YES", "NO");
  AddMailbox(102, "bob@example.com", "", "YES", "NO");
  MakeRecording(101, "r.wav", "x");
  MakeRecording(102, "ok.wav", "x");
  const ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(r.sent, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].processed, 1);
  EXPECT_NE(log[0].error.find("550"), std::string::npos) << log[0].error;
  EXPECT_EQ(log[0].error_code, 550) << "the failure is logged with the server's code";
  EXPECT_EQ(log[1].error, "Nil");
  EXPECT_EQ(log[1].error_code, 0);
}

}  // namespace
}  // namespace vm::app::testing
