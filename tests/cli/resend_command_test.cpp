// `resend` and the retry fields of `log --json` as an operator and a script
// use them: failed rows back in the queue with the mailbox's address of now,
// a sent row only with --force, each refusal on a line of its own, and the
// next pass mailing every resent row once; `log --json` naming the attempts
// and the next one of a row that waits for a retry.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/gateway_files.h"
#include "app/retry_state.h"
#include "cli_test_support.h"
#include "runtime/date_time.h"

namespace vm::cli::testing {
namespace {

using app::testing::DumpMail;
using app::testing::RunCommand;

app::ProcessedRow Row(const std::string& name, int box, int16_t code, const std::string& text) {
  app::ProcessedRow r;
  r.filename = name;
  r.mailbox = static_cast<int16_t>(box);
  r.date = runtime::DayFromDate(2026, 7, 5);
  r.time = runtime::TimeFrom(9, 0, 30);
  r.date_of_recording = r.date;
  r.time_of_recording = runtime::TimeFrom(9, 0);
  r.email_address = "old@example.com";
  r.send_attachment = "NO";
  r.processed = 1;
  r.error_code = code;
  r.error = text;
  return r;
}

class ResendCommandTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    smtp_ = std::make_unique<app::testing::SmtpSink>(root() / "received");
    WriteSettings(smtp_->port());
    AddMailbox(101, "alice@example.com", "", "YES", "NO");
    AddMailbox(102, "bob@example.com", "carol@example.com", "YES", "YES");
    // Recordings outside the tree, so a pass queues nothing of its own.
    for (int box : {101, 102}) {
      const std::filesystem::path dir = root() / "kept" / std::to_string(box);
      std::filesystem::create_directories(dir);
      const std::string path = (dir / "m.wav").string();
      std::ofstream(path, std::ios::binary) << "voice";
      rows_.push_back(Row("m.wav", box, 0, "Nil"));
      rows_.back().full_path = path;
    }
    rows_[1].error_code = 10061;
    rows_[1].error = "Could not connect: refused";
    app::ProcessedRow gone = rows_[1];
    gone.mailbox = 103;  // a mailbox since removed
    rows_.push_back(gone);
    for (const auto& r : rows_) AddRow(r);
    const std::vector<uint32_t> records = LogRecords();
    for (uint32_t n : records) n_.push_back(std::to_string(n));
  }
  // "row N: " of the row at `index`.
  std::string RowLine(size_t index) const { return "row " + n_[index] + ": "; }
  std::unique_ptr<app::testing::SmtpSink> smtp_;
  std::vector<app::ProcessedRow> rows_;
  std::vector<std::string> n_;  // the rows' record numbers
};

TEST_F(ResendCommandTest, FailedRowsGoBackWithTodaysAddressSentOnesOnlyWithForce) {
  Outcome o = Run({"resend", n_[1]});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, RowLine(1) + "queued again: the next pass sends it\n");
  auto log = Log();
  EXPECT_EQ(log[1].processed, 0);
  EXPECT_EQ(log[1].error, "0");
  EXPECT_EQ(log[1].error_code, 0);
  EXPECT_EQ(log[1].email_address, "bob@example.com");
  EXPECT_EQ(log[1].cc_email_address, "carol@example.com");
  EXPECT_EQ(log[1].send_attachment, "YES");

  // Refusals: a sent row without --force, no such row, a row whose mailbox
  // is gone; the rows named with them that can be resent still are.
  o = Run({"resend", n_[0], "99", n_[2], n_[1]});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, RowLine(1) + "waiting already\n");
  EXPECT_EQ(o.err, RowLine(0) + "was sent; give --force to send it again\n" +
                       "row 99: no such row in the log\n" + RowLine(2) +
                       "its mailbox is no longer in the mailbox table\n");
  EXPECT_EQ(Log()[0].processed, 1);
  for (const auto& words :
       std::vector<std::vector<std::string>>{{"resend"},
                                             {"resend", "x"},
                                             {"resend", "0"},
                                             {"resend", "--since", "2026-07-05"},
                                             {"resend", "--failed", "1"},
                                             {"resend", "--failed", "--since", "2026-02-30"}}) {
    EXPECT_EQ(Run(words).status, 2) << words.back();
  }
  o = Run({"resend", n_[0], "--force"});
  EXPECT_EQ(o.status, 0) << o.err;

  // The next pass mails both once, to the addresses of now.
  const app::ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.sent, 2) << r.failed << " " << r.last_failure;
  const auto mails = smtp_->Messages(2);
  ASSERT_EQ(mails.size(), 2u);
  std::string recipients;
  for (const auto& m : mails) {
    std::string env =
        app::testing::ReadFileBytes(std::filesystem::path(m).replace_extension(".txt"));
    recipients += env;
  }
  EXPECT_NE(recipients.find("rcpt alice@example.com"), std::string::npos) << recipients;
  EXPECT_NE(recipients.find("rcpt bob@example.com"), std::string::npos) << recipients;
  EXPECT_NE(recipients.find("rcpt carol@example.com"), std::string::npos) << recipients;
  EXPECT_EQ(recipients.find("old@"), std::string::npos) << recipients;
  EXPECT_EQ(Pass(FastOptions()).sent, 0) << "sent twice";
}

TEST_F(ResendCommandTest, FailedSinceADateAndTheRetryFieldsOfLogJson) {
  EXPECT_EQ(Run({"resend", "--failed", "--since", "2026-07-06"}).out, "no failed rows\n");
  Outcome o = Run({"resend", "--failed", "--since", "2026-07-05"});
  EXPECT_EQ(o.out, RowLine(1) + "queued again: the next pass sends it\n");
  EXPECT_EQ(o.err, RowLine(2) + "its mailbox is no longer in the mailbox table\n");

  // Row 2 waits for its second attempt, as a pass leaves it after a 4xx.
  ASSERT_TRUE(app::UpdateRetryState(
                  data_dir(),
                  [&](app::RetryState& s) {
                    app::RetryEntry e = *s.Find(LogRecords()[1]);
                    e.attempts = 1;
                    e.next = 1783242000;  // 2026-07-05 09:00:00 UTC
                    s.Put(e);
                  },
                  0)
                  .ok());
  {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kProcessedFiles);
    auto& pro = files.processed();
    ASSERT_EQ(pro.GetByPointer(LogRecords()[1]), 0);
    app::ProcessedRow r = app::ReadProcessed(pro.buffer());
    r.error_code = 451;
    r.error = "Retry 1 of 28 at 09:00: greylisted";
    app::WriteProcessed(r, &pro.buffer());
    ASSERT_EQ(pro.Put(), 0);
  }
  o = Run({"log", "--json"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string file = (root() / "log.json").string();
  std::ofstream(file, std::ios::binary) << o.out;
  const std::string py = (root() / "read.py").string();
  std::ofstream(py) << "import json,sys\n"
                       "for line in open(sys.argv[1]):\n"
                       "  r = json.loads(line)\n"
                       "  print(r['row'], r['state'], r['attempts'], r['next_attempt'])\n";
  int status = -1;
  const std::string read = RunCommand("/usr/bin/python3 '" + py + "' '" + file + "'", &status);
  ASSERT_EQ(status, 0) << read;
  // The next attempt in local time: 2026-07-05 or the day either side.
  std::istringstream lines(read);
  std::vector<std::string> got;
  for (std::string l; std::getline(lines, l);) got.push_back(l);
  ASSERT_EQ(got.size(), 3u) << read;
  EXPECT_EQ(got[0], n_[0] + " sent 1 None");
  EXPECT_EQ(got[1].rfind(n_[1] + " retrying 1 2026-07-0", 0), 0u) << got[1];
  EXPECT_EQ(got[1].size(), (n_[1] + " retrying 1 2026-07-05T09:00:00").size()) << got[1];
  EXPECT_EQ(got[2], n_[2] + " failed 1 None");
  // --waiting lists it (it waits, for a later attempt); --failed does not.
  EXPECT_NE(Run({"log", "--waiting"}).out.find("\t451\t"), std::string::npos);
  EXPECT_EQ(Run({"log", "--failed"}).out.find("\t451\t"), std::string::npos);
}

}  // namespace
}  // namespace vm::cli::testing
