// Which files of the voice-mail tree are recordings, and which recording is
// which: a link or a FIFO is never mailed (and said once a run), a file
// swapped after it was listed is not read, a recording is its mailbox, name
// and recording time, and a mailbox made from a zero-padded folder is scanned
// in that folder. Against a real SMTP server, in process and as the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/gateway_relations.h"
#include "app/mailbox_windows.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "framework/file_errors.h"
#include "platform/file.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

// The attachment lines ("attachment NAME LENGTH SHA256") of every message.
std::vector<std::string> Attachments(const std::vector<fs::path>& messages) {
  std::vector<std::string> out;
  for (const fs::path& m : messages) {
    for (const std::string& l : DumpMail(m))
      if (l.rfind("attachment ", 0) == 0) out.push_back(l.substr(11));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string AttachmentLine(const std::string& name, const std::string& path, size_t length) {
  return name + " " + std::to_string(length) + " " + Sha256OfFile(path);
}

class RecordingsTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = StartSinkWithSettings();
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    secret_ = (root() / "secret.txt").string();
    std::ofstream(secret_) << "the password is swordfish";
  }
  void TearDown() override {
    server_.reset();
    GatewayTest::TearDown();
  }
  std::string Msg(int box, const std::string& name) const {
    return (fs::path(tree()) / std::to_string(box) / "msg" / name).string();
  }
  std::unique_ptr<SmtpSink> server_;
  std::string secret_;
};

TEST_F(RecordingsTest, LinksAndFifosInTheTreeAreNeverMailed) {
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  const std::string real = MakeRecording(101, "real.wav", "audio");
  fs::create_symlink(secret_, Msg(101, "evil.wav"));
  fs::create_symlink(real, Msg(101, "twice.wav"));
  ASSERT_EQ(mkfifo(Msg(101, "pipe.wav").c_str(), 0600), 0);

  int status = -1;
  const std::string out = RunCommand(
      "'" + BinaryPath("voicemail-mailer") + "' --scan-once --data-dir '" + data_dir() + "'",
      &status);
  EXPECT_EQ(status, 0) << out;
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u) << out;
  EXPECT_EQ(log[0].filename, "real.wav");
  EXPECT_EQ(Attachments(server_->Messages(1)),
            (std::vector<std::string>{AttachmentLine("real.wav", real, 5)}));
  for (const char* name : {"evil.wav", "twice.wav"}) {
    EXPECT_EQ(CountLines({out}, "send_mail: passed over mailbox 101 file " + Msg(101, name) +
                                    ": a symbolic link, not a recording"),
              1u)
        << out;
  }
  EXPECT_EQ(CountLines({out}, "file " + Msg(101, "pipe.wav") + ": not a regular file"), 1u) << out;
}

TEST_F(RecordingsTest, EachFilePassedOverIsReportedOnceARun) {
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  fs::create_symlink(secret_, Msg(101, "evil.wav"));
  ScanOptions o = FastOptions();
  o.memory = std::make_shared<ScanMemory>();
  for (int pass = 0; pass < 3; ++pass) Pass(o);
  const std::string line = "passed over mailbox 101 file " + Msg(101, "evil.wav");
  EXPECT_EQ(CountLines(sink_->Lines(), line), 1u);
  // A new run says it again, once.
  o.memory = std::make_shared<ScanMemory>();
  Pass(o);
  Pass(o);
  EXPECT_EQ(CountLines(sink_->Lines(), line), 2u);
  EXPECT_TRUE(Log().empty());
}

// Puts the secret in the recording's place just before the mail object
// opens it: the name now names another file than the one listed.
class SwapBeforeOpen : public platform::EnvWrapper {
 public:
  SwapBeforeOpen(std::string swap_in) : EnvWrapper(platform::Env::Default()), swap_in_(swap_in) {}
  platform::Result<std::unique_ptr<platform::File>> OpenForReading(
      const std::string& path, const platform::FileId* expect) override {
    fs::copy_file(swap_in_, path + ".new");
    fs::rename(path + ".new", path);
    return EnvWrapper::OpenForReading(path, expect);
  }

 private:
  std::string swap_in_;
};

TEST_F(RecordingsTest, AFileSwappedSinceItWasListedOrALinkLeftWaitingIsNotRead) {
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  MakeRecording(101, "a.wav", "audio");
  // A row an earlier pass queued, whose file is now a link.
  fs::create_symlink(secret_, Msg(101, "old.wav"));
  ProcessedRow waiting;
  waiting.filename = "old.wav";
  waiting.mailbox = 101;
  waiting.email_address = "alice@example.com";
  waiting.send_attachment = "YES";
  waiting.full_path = Msg(101, "old.wav");
  waiting.error = "0";
  AddRow(waiting);

  SwapBeforeOpen swap(secret_);
  ScanOptions o = FastOptions();
  o.dispatch.env = &swap;
  const ScanReport r = Pass(o);
  EXPECT_EQ(r.failed, 2);
  EXPECT_EQ(r.sent, 0);
  const auto log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].filename, "old.wav");
  EXPECT_EQ(log[0].error_code, -35);
  EXPECT_NE(log[0].error.find("a symbolic link"), std::string::npos) << log[0].error;
  EXPECT_EQ(log[1].filename, "a.wav");
  EXPECT_EQ(log[1].error_code, -35);
  EXPECT_NE(log[1].error.find("Access Denied"), std::string::npos) << log[1].error;
  // Neither the secret nor anything else went out.
  EXPECT_TRUE(server_->Messages(0).empty());
}

// A sent message's row is written while the next message connects; a next
// send that fails before connecting (a link) and the end of the pass must
// each still write it first, and never let the next message go out before.
TEST_F(RecordingsTest, EachOutcomeIsWrittenBeforeTheNextMessageGoesAndBeforeTheNextFailure) {
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  // Two rows an earlier pass queued: the first's file since moved out of the
  // tree (so the pass does not list it again), the second's now a link. The
  // pass queues a third.
  fs::create_directories(root() / "kept");
  const std::string kept = (root() / "kept" / "a.wav").string();
  std::ofstream(kept) << "audio a";
  fs::create_symlink(secret_, Msg(101, "link.wav"));
  for (const std::string& path : {kept, Msg(101, "link.wav")}) {
    ProcessedRow waiting;
    waiting.filename = fs::path(path).filename().string();
    waiting.mailbox = 101;
    waiting.email_address = "alice@example.com";
    waiting.send_attachment = "YES";
    waiting.full_path = path;
    waiting.error = "0";
    AddRow(waiting);
  }
  MakeRecording(101, "c.wav", "audio c");
  ScanOptions o = FastOptions();
  std::vector<std::pair<size_t, size_t>> at_report;  // (rows written, messages received)
  o.on_sent = [&] {
    const auto log = Log();
    const size_t written = std::count_if(log.begin(), log.end(), [](const ProcessedRow& r) {
      return r.processed == 1 || r.error_code != 0;
    });
    at_report.emplace_back(written, server_->Messages().size());
  };
  const ScanReport r = Pass(o);
  EXPECT_EQ(r.sent, 2);
  EXPECT_EQ(r.failed, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].filename, "a.wav");
  EXPECT_EQ(log[0].processed, 1);
  EXPECT_EQ(log[1].error_code, -35);
  EXPECT_EQ(log[2].filename, "c.wav");
  EXPECT_EQ(log[2].processed, 1);
  // At each report, its row stands and the messages received are the sends
  // reported so far: the first row was written before the link's failure,
  // and each message before the next one went out.
  EXPECT_EQ(at_report, (std::vector<std::pair<size_t, size_t>>{{1, 1}, {2, 1}, {3, 2}}));
}

TEST_F(RecordingsTest, SameNameInTwoMailboxesAndANameUsedAgainAreEachMailedOnce) {
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  AddMailbox(102, "bob@example.com", "", "YES", "YES");
  const std::string a1 = MakeRecording(101, "msg0001.wav", "first of 101", 600);
  const std::string b1 = MakeRecording(102, "msg0001.wav", "first of 102", 600);
  ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.queued, 2);
  EXPECT_EQ(r.sent, 2);
  std::vector<std::string> expected = {AttachmentLine("msg0001.wav", a1, 12),
                                       AttachmentLine("msg0001.wav", b1, 12)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Attachments(server_->Messages(2)), expected);

  // The recorder deleted 101's message and numbered the next one 0001 again.
  fs::remove(a1);
  const std::string a2 = MakeRecording(101, "msg0001.wav", "second message of 101", 120);
  r = Pass(FastOptions());
  EXPECT_EQ(r.queued, 1);
  EXPECT_EQ(r.sent, 1);
  expected.push_back(AttachmentLine("msg0001.wav", a2, 21));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Attachments(server_->Messages(3)), expected);

  // Nothing new: every recording has its row.
  r = Pass(FastOptions());
  EXPECT_EQ(r.queued + r.sent + r.failed, 0);
  const auto log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].mailbox, 101);
  EXPECT_EQ(log[1].mailbox, 102);
  EXPECT_EQ(log[2].mailbox, 101);
  EXPECT_NE(log[0].time_of_recording, log[2].time_of_recording);
  for (const ProcessedRow& row : log) EXPECT_EQ(row.error, "Nil");
}

class NoMessages final : public framework::FileErrors {
 public:
  framework::Level Throw(int, const framework::MessageValues&) override {
    return framework::kLevelBenign;
  }
};

TEST_F(RecordingsTest, MailboxMadeFromAZeroPaddedFolderIsScannedInThatFolder) {
  const fs::path folder = fs::path(tree()) / "0104";
  fs::create_directories(folder / "msg");
  std::ofstream(folder / "transfer.ini") << "";
  const std::string rec = (folder / "msg" / "call.wav").string();
  std::ofstream(rec) << "zero-padded";
  fs::last_write_time(rec, fs::file_time_type::clock::now() - std::chrono::minutes(5));
  {
    NoMessages errors;
    GatewayRelations relations(data_dir(), &errors);
    ASSERT_EQ(relations.relation(Table::kMailboxes).Open(), 0);
    EXPECT_EQ(RefreshMailboxes(&relations, tree()), 1);
    relations.relation(Table::kMailboxes).Close();
  }
  {
    // The operator gives the new mailbox its address.
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kMailboxes);
    auto& mai = files.mailboxes();
    ASSERT_EQ(mai.Set(), 0);
    ASSERT_EQ(mai.Next(), 0);
    MailboxRow box = ReadMailbox(mai.buffer());
    ASSERT_EQ(box.mailbox_no, 104);
    box.email_address = "dora@example.com";
    box.send_voice_file = "YES";
    WriteMailbox(box, &mai.buffer());
    ASSERT_EQ(mai.Put(), 0);
  }
  const ScanReport r = Pass(FastOptions());
  EXPECT_EQ(r.queued, 1);
  EXPECT_EQ(r.sent, 1);
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].mailbox, 104);
  EXPECT_EQ(log[0].full_path, rec);
  EXPECT_EQ(Attachments(server_->Messages(1)),
            (std::vector<std::string>{AttachmentLine("call.wav", rec, 11)}));
}

}  // namespace
}  // namespace vm::app::testing
