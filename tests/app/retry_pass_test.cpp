// Passes that meet a server that is down, greylisting, closing or silent:
// failures that pass keep their rows waiting with the time of the next
// attempt (driven by an injected clock), each recording reaches the server
// exactly once when it is back, final failures stay final, the retries end
// after `retry-for`, and a server that is gone costs one attempt per pass.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "app/records.h"
#include "app/resend.h"
#include "app/retry_state.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "platform/clock.h"
#include "runtime/date_time.h"

namespace vm::app::testing {
namespace {

class RetryPassTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    const int64_t now = std::time(nullptr);
    clock_.Set(platform::LocalFromUnix(now, 0), now);
  }
  ScanReport RetryPass() {
    ScanOptions o = FastOptions();
    o.clock = &clock_;
    return Pass(o);
  }
  void Advance(int seconds) { clock_.AdvanceMilliseconds(static_cast<uint32_t>(seconds) * 1000); }
  RetryState State() {
    auto s = RetryState::Read(data_dir());
    EXPECT_TRUE(s.ok());
    return s.ok() ? *s : RetryState();
  }
  platform::ManualClock clock_;
};

TEST_F(RetryPassTest, ServerDownForThreePassesThenUpMailsEachRecordingOnce) {
  WriteSettings(ClosedPort());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "first");
  MakeRecording(101, "b.wav", "second");
  // Passes at 0, 60 and 180 s: the first row is due at each (its attempts
  // 1 minute, then 2 minutes apart) and the second is deferred each time.
  const int waits[] = {60, 120, 0};
  for (int pass = 1; pass <= 3; ++pass) {
    const ScanReport r = RetryPass();
    EXPECT_EQ(r.failed, 1) << pass;
    EXPECT_EQ(r.retrying, 1) << pass;
    EXPECT_EQ(r.deferred, 1) << "one connect a pass, not one a row";
    const auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].processed, 0);
    EXPECT_EQ(log[0].error_code, 10061);
    EXPECT_EQ(log[0].error.rfind("Retry " + std::to_string(pass) + " of 28 at ", 0), 0u)
        << log[0].error;
    EXPECT_NE(log[0].error.find("10061"), std::string::npos) << log[0].error;
    EXPECT_EQ(log[1].processed, 0);
    EXPECT_EQ(log[1].error, "0") << "a deferred row is not touched";
    Advance(waits[pass - 1]);
  }
  // At 200 s the first row's next attempt (420 s) is not due: the deferred
  // row is the one tried.
  Advance(20);
  ScanReport r = RetryPass();
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(r.deferred, 0);
  EXPECT_EQ(Log()[0].error.rfind("Retry 3 of", 0), 0u) << Log()[0].error;
  EXPECT_EQ(Log()[1].error.rfind("Retry 1 of", 0), 0u) << Log()[1].error;
  EXPECT_EQ(State().Find(LogRecords()[0])->attempts, 3);

  SmtpSink sink(root() / "received");
  WriteSettings(sink.port());
  Advance(100);  // 300 s: the second row is due (260 s), the first is not
  r = RetryPass();
  EXPECT_EQ(r.sent, 1) << "only the row that was due";
  EXPECT_EQ(Log()[1].error, "Nil");
  Advance(3600);
  EXPECT_EQ(RetryPass().sent, 1);
  EXPECT_EQ(RetryPass().sent, 0);
  EXPECT_EQ(sink.Messages(2).size(), 2u);
  for (const ProcessedRow& row : Log()) {
    EXPECT_EQ(row.processed, 1);
    EXPECT_EQ(row.error, "Nil");
  }
  const RetryState state = State();
  ASSERT_NE(state.Find(LogRecords()[0]), nullptr);
  EXPECT_EQ(state.Find(LogRecords()[0])->attempts, 4);
  EXPECT_NE(state.Find(LogRecords()[0])->ended, 0);
}

TEST_F(RetryPassTest, GreylistedOnTheThirdAttemptRefusedAtOnce) {
  SmtpSink sink(root() / "received");
  WriteSettings(sink.port());
  AddMailbox(101, "greylist@example.com", "", "YES", "NO");
  AddMailbox(102, "reject@example.com", "", "YES", "NO");
  AddMailbox(103, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  MakeRecording(102, "b.wav", "x");
  MakeRecording(103, "c.wav", "x");

  ScanReport r = RetryPass();
  EXPECT_EQ(r.sent, 1) << "a 451 for one recipient leaves the others to be sent";
  EXPECT_EQ(r.failed, 2);
  EXPECT_EQ(r.retrying, 1);
  EXPECT_EQ(r.deferred, 0);
  auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].processed, 0);
  EXPECT_EQ(log[0].error_code, 451);
  EXPECT_EQ(log[1].processed, 1) << "550 is final";
  EXPECT_EQ(log[1].error_code, 550);
  EXPECT_EQ(log[1].error.find("Retry"), std::string::npos);
  EXPECT_EQ(log[2].error, "Nil");

  Advance(60);
  r = RetryPass();
  EXPECT_EQ(r.retrying, 1);
  EXPECT_EQ(Log()[0].error.rfind("Retry 2 of 28", 0), 0u) << Log()[0].error;
  EXPECT_EQ(Log()[1].error_code, 550) << "a final row is not tried again";
  Advance(120);
  r = RetryPass();
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(r.failed, 0);
  log = Log();
  EXPECT_EQ(log[0].processed, 1);
  EXPECT_EQ(log[0].error, "Nil");
  EXPECT_EQ(sink.Messages(2).size(), 2u);
  EXPECT_EQ(State().Find(LogRecords()[0])->attempts, 3);
}

TEST_F(RetryPassTest, RetriesEndAfterRetryForWithTheLastAttemptsOutcome) {
  SetRetryFor(1);
  WriteSettings(ClosedPort());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  // Attempts after 0, 1, 3, 7, 15, 31 minutes; the next would be at 63.
  int passes = 0;
  while (Log().empty() || Log()[0].processed == 0) {
    ASSERT_LT(++passes, 40);
    RetryPass();
    Advance(60);
  }
  const ProcessedRow row = Log()[0];
  EXPECT_EQ(row.error_code, 10061);
  EXPECT_EQ(row.error.find("Retry"), std::string::npos) << row.error;
  EXPECT_NE(row.error.find("10061"), std::string::npos) << row.error;
  EXPECT_EQ(State().Find(LogRecords()[0])->attempts, 6);
  EXPECT_EQ(passes, 32);
}

TEST_F(RetryPassTest, AClosingServerOrOneThatNeverAnswersCostsOneAttemptAPass) {
  UnansweredServer unanswered;
  WriteSettings(unanswered.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  for (int i = 0; i < 25; ++i) MakeRecording(101, "m" + std::to_string(i) + ".wav", "x");
  ScanReport r = RetryPass();
  EXPECT_EQ(r.queued, 25);
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(r.deferred, 24);
  EXPECT_EQ(Log()[0].error_code, 10060) << Log()[0].error;

  // The next pass tries one first: a row that was deferred, not the one
  // whose next attempt is later.
  SmtpSink sink(root() / "received");
  WriteSettings(sink.port());
  Advance(30);
  r = RetryPass();
  EXPECT_EQ(r.sent, 24);
  EXPECT_EQ(r.failed, 0);
  Advance(30);
  EXPECT_EQ(RetryPass().sent, 1);
  EXPECT_EQ(sink.Messages(25).size(), 25u);
}

TEST_F(RetryPassTest, A421EndsSendingForThePass) {
  SmtpSink sink(root() / "received");
  WriteSettings(sink.port());
  AddMailbox(101, "closing@example.com", "", "YES", "NO");
  AddMailbox(102, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  MakeRecording(102, "b.wav", "x");
  ScanReport r = RetryPass();
  EXPECT_EQ(r.failed, 1);
  EXPECT_EQ(r.deferred, 1);
  EXPECT_EQ(r.sent, 0);
  EXPECT_EQ(Log()[0].error_code, 421);
  EXPECT_EQ(Log()[0].processed, 0);
  // The closing row's next attempt is a minute away; the other is tried.
  Advance(30);
  r = RetryPass();
  EXPECT_EQ(r.sent, 1);
  EXPECT_EQ(sink.Messages(1).size(), 1u);
}

// The walk for waiting rows counts the rows the retry state names, so a row
// resent far back in the log is found without the walk reaching it; an entry
// a kill left behind a row written as sent must not stand in for a waiting
// row the walk has yet to meet.
TEST_F(RetryPassTest, AResentRowFarBackAndAStaleEntryLeaveNoWaitingRowBehind) {
  SmtpSink sink(root() / "received");
  WriteSettings(sink.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  std::filesystem::create_directories(root() / "kept");
  const auto row = [&](const std::string& name, uint8_t processed) {
    ProcessedRow r;
    r.filename = name;
    r.full_path = (root() / "kept" / name).string();
    std::ofstream(r.full_path) << "voice";
    r.mailbox = 101;
    r.date = runtime::Today(clock_);
    r.time = runtime::ClockTime(clock_);
    r.email_address = "alice@example.com";
    r.send_attachment = "NO";
    r.processed = processed;
    r.error = processed == 1 ? "Nil" : "0";
    return r;
  };
  ProcessedRow old = row("old.wav", 1);
  old.error_code = 550;
  old.error = "550 mailbox unavailable";
  AddRow(old);
  for (int i = 0; i < 40; ++i) AddRow(row("sent" + std::to_string(i) + ".wav", 1));
  AddRow(row("waiting.wav", 0));
  for (int i = 40; i < 80; ++i) AddRow(row("sent" + std::to_string(i) + ".wav", 1));
  const std::vector<uint32_t> records = LogRecords();
  {
    GatewayFiles files(data_dir());
    std::string error;
    ASSERT_EQ(ResendRow(files, records[0], false, clock_, &error), ResendResult::kQueued) << error;
  }
  // An entry left waiting for a row that was sent (a kill between the
  // row's write and its entry's end).
  ASSERT_TRUE(UpdateRetryState(
                  data_dir(),
                  [&](RetryState& s) {
                    ProcessedRow sent = row("sent70.wav", 1);
                    s.Put(NewRetryEntry(records[71], sent, 0, 0));
                  },
                  0)
                  .ok());
  const ScanReport r = RetryPass();
  EXPECT_EQ(r.sent, 2);
  EXPECT_EQ(sink.Messages(2).size(), 2u);
  const auto log = Log();
  EXPECT_EQ(log[0].error, "Nil");
  EXPECT_EQ(log[41].filename, "waiting.wav");
  EXPECT_EQ(log[41].error, "Nil");
}

// A state file that cannot be read turns retries off for the pass (the
// failure is final, as without them); a line that does not parse is named
// and the rest of the file still counts.
TEST_F(RetryPassTest, AnUnusableStateFileMakesFailuresFinalAndBadLinesAreNamed) {
  WriteSettings(ClosedPort());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "x");
  std::ofstream(std::filesystem::path(data_dir()) / kRetryFileName) << "7 junk\n";
  ScanReport r = RetryPass();
  EXPECT_EQ(r.retrying, 1);
  bool named = false;
  for (const std::string& l : sink_->Lines())
    named |= l.find("send_mail: ignored voicemail-mailer.retry line 1") != std::string::npos;
  EXPECT_TRUE(named);
  EXPECT_EQ(State().entries().size(), 1u) << "the bad line is dropped, the new entry kept";

  MakeRecording(101, "b.wav", "x");
  std::filesystem::remove(std::filesystem::path(data_dir()) / kRetryFileName);
  std::filesystem::create_directories(std::filesystem::path(data_dir()) / kRetryFileName);
  Advance(60);
  r = RetryPass();
  EXPECT_EQ(r.retrying, 0);
  EXPECT_EQ(r.deferred, 0) << "without retries every row is tried";
  EXPECT_EQ(r.failed, 2);
  for (const ProcessedRow& row : Log()) EXPECT_EQ(row.processed, 1) << row.filename;
}

}  // namespace
}  // namespace vm::app::testing
