// `mailbox list | add | set | remove | refresh` as an operator uses them: the
// table as the windows keep it (YES/NO words, the field check, the "Refresh
// Mailboxes" rule), and every refusal a single line with status 2 and not one
// byte written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/gateway_files.h"
#include "cli_test_support.h"

namespace vm::cli::testing {
namespace {

namespace fs = std::filesystem;

class MailboxCommandTest : public CliTest {
 protected:
  std::vector<app::MailboxRow> Rows() {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kMailboxes);
    auto& mai = files.mailboxes();
    std::vector<app::MailboxRow> out;
    for (bool ok = mai.Set() == 0 && mai.Next() == 0; ok; ok = mai.Next() == 0)
      out.push_back(app::ReadMailbox(mai.buffer()));
    return out;
  }
};

TEST_F(MailboxCommandTest, AddSetListAndRemoveKeepTheTableAsTheWindowsDo) {
  EXPECT_EQ(Run({"mailbox", "list"}).out, "");
  EXPECT_FALSE(fs::exists(fs::path(data_dir()) / "MAILBOXE.KFS")) << "list made the table";

  ASSERT_EQ(
      Run({"mailbox", "add", "101", "Ann <ann@example.com>", "--cc", "boss@example.com"}).status,
      0);
  ASSERT_EQ(Run({"mailbox", "add", "102", "bob@example.com", "--no-attach", "--disabled"}).status,
            0);
  ASSERT_EQ(Run({"mailbox", "add", "32767", "j\xC3\xB6rg@example.com, eve@example.com"}).status, 0);
  Outcome list = Run({"mailbox", "list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out,
            "101\tAnn <ann@example.com>\tboss@example.com\tYES\tYES\n"
            "102\tbob@example.com\t\tNO\tNO\n"
            "32767\tj\xC3\xB6rg@example.com, eve@example.com\t\tYES\tYES\n");

  ASSERT_EQ(Run({"mailbox", "set", "101", "--cc", "", "--attach", "no", "--enabled", "No"}).status,
            0);
  ASSERT_EQ(
      Run({"mailbox", "set", "102", "--address", "robert@example.com", "--enabled", "yes"}).status,
      0);
  const std::vector<app::MailboxRow> rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].cc_email_address, "");
  EXPECT_EQ(rows[0].send_voice_file, "NO");
  EXPECT_EQ(rows[0].enable_email, "NO");
  EXPECT_EQ(rows[0].email_address, "Ann <ann@example.com>") << "a field not named stays";
  EXPECT_EQ(rows[1].email_address, "robert@example.com");
  EXPECT_EQ(rows[1].enable_email, "YES");
  EXPECT_EQ(rows[1].send_voice_file, "NO");

  ASSERT_EQ(Run({"mailbox", "remove", "101"}).status, 0);
  list = Run({"mailbox", "list"});
  EXPECT_EQ(list.out.substr(0, 4), "102\t");
  EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(MailboxCommandTest, EveryRefusalIsOneLineStatusTwoAndNothingWritten) {
  // Without a table, changing or removing a mailbox makes no table either.
  for (const char* verb : {"set", "remove"}) {
    const Outcome o = verb == std::string("set") ? Run({"mailbox", verb, "101", "--attach", "no"})
                                                 : Run({"mailbox", verb, "101"});
    EXPECT_EQ(o.status, 2) << verb;
    EXPECT_NE(o.err.find("there is no mailbox 101"), std::string::npos) << o.err;
    EXPECT_TRUE(Snapshot(data_dir()).empty()) << verb;
  }
  AddMailbox(101, "ann@example.com", "", "YES", "YES");
  const auto before = Snapshot(data_dir());
  struct Case {
    std::vector<std::string> words;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"add", "101", "x@example.com"}, "mailbox 101 exists already"},
      {{"add", "0", "x@example.com"}, "mailbox number 0 is out of range"},
      {{"add", "32768", "x@example.com"}, "mailbox number 32768 is out of range"},
      {{"add", "1o1", "x@example.com"}, "mailbox number 1o1 is not a number"},
      {{"add", "103", "x.example.com"}, "address is not an address"},
      {{"add", "103", std::string(45, 'x') + "@example.com"}, "address is 57 bytes long"},
      {{"add", "103", "x@example.com", "--cc", "boss"}, "--cc is not an address"},
      {{"add", "103", "x@example.com\r\nRCPT TO:<evil@example.com>"}, "holds a line break"},
      {{"add", "103"}, "add takes N and ADDRESS"},
      {{"add", "103", "x@example.com", "--attach"}, "unknown option --attach"},
      {{"set", "102", "--cc", "a@example.com"}, "there is no mailbox 102"},
      {{"set", "101", "--attach", "maybe"}, "--attach maybe is not allowed; it must be yes or no"},
      {{"set", "101", "--enabled", "1"}, "--enabled 1 is not allowed"},
      {{"set", "101", "--address", "no address"}, "--address is not an address"},
      {{"set", "101"}, "set needs --address, --cc, --attach or --enabled"},
      {{"set", "101", "--cc"}, "--cc needs a value"},
      {{"remove", "102"}, "there is no mailbox 102"},
      {{"remove", "-1"}, "unknown option -1"},
      {{"rename", "101"}, "unknown mailbox command rename"},
      {{}, "list, add, set, remove or refresh?"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"mailbox"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << c.line;
    EXPECT_EQ(o.out, "") << c.line;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find(c.line), std::string::npos) << o.err;
    EXPECT_TRUE(Snapshot(data_dir()) == before) << "written by: " << c.line;
  }
}

TEST_F(MailboxCommandTest, TheTablesFieldCheckRefusesAWordTheFormWouldRefuse) {
  // A record holding a lower-case "yes" (written before the check, or by
  // hand): changing any field of it fails the check, as in the form.
  AddMailbox(101, "ann@example.com", "", "yes", "NO");
  const auto before = Snapshot(data_dir());
  const Outcome o = Run({"mailbox", "set", "101", "--address", "new@example.com"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err,
            "voicemail-mailer: mailbox 101 was not changed: The value of MAI:Enable_Email must be "
            "in the list : 'YES','NO'.\n");
  EXPECT_TRUE(Snapshot(data_dir()) == before);
  // Naming the field mends it.
  EXPECT_EQ(Run({"mailbox", "set", "101", "--enabled", "yes"}).status, 0);
  EXPECT_EQ(Rows()[0].enable_email, "YES");
}

TEST_F(MailboxCommandTest, RefreshAddsWhatTheRefreshButtonAdds) {
  ASSERT_EQ(Run({"mailbox", "refresh"}).status, 2) << "no settings, no root";
  ASSERT_EQ(Run({"settings", "set", "root=" + tree() + "/missing"}).status, 0);
  const Outcome missing = Run({"mailbox", "refresh"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("is not a directory"), std::string::npos);

  ASSERT_EQ(Run({"settings", "set", "root=" + tree()}).status, 0);
  AddMailbox(103, "keep@example.com", "cc@example.com", "NO", "YES");
  for (const char* d : {"101", "102", "103", "0104", "abc", "99999"})
    fs::create_directories(fs::path(tree()) / d);
  for (const char* d : {"101", "103", "0104", "abc", "99999"})
    std::ofstream(fs::path(tree()) / d / "transfer.ini") << "";
  std::ofstream(fs::path(tree()) / "105") << "a file, not a mailbox";

  const Outcome o = Run({"mailbox", "refresh"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "added mailbox 101\nadded mailbox 104\n");
  std::map<int, app::MailboxRow> by_no;
  for (const app::MailboxRow& r : Rows()) by_no[r.mailbox_no] = r;
  ASSERT_EQ(by_no.size(), 3u);
  EXPECT_EQ(by_no[103].email_address, "keep@example.com");
  EXPECT_EQ(by_no[103].enable_email, "NO");
  EXPECT_EQ(by_no[101].email_address, "");
  EXPECT_EQ(by_no[101].enable_email, "YES");
  EXPECT_EQ(by_no[101].send_voice_file, "NO");

  const auto before = Snapshot(data_dir());
  const Outcome again = Run({"mailbox", "refresh"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(Rows().size(), 3u);
  EXPECT_EQ(Run({"mailbox", "--help"}).status, 0);
}

}  // namespace
}  // namespace vm::cli::testing
