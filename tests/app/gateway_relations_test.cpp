// The program's relation managers under the gateway's procedures: nested
// opens are counted and only the last close closes, a pass leaves nothing
// open, windows read what the procedures wrote, message 13 names keys as the
// program writes them, and each procedure keeps a row buffer of its own.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "app/gateway_relations.h"
#include "app/gateway_tables.h"
#include "app/records.h"
#include "app_test_support.h"
#include "framework/message_ids.h"

namespace vm::app::testing {
namespace {

class Recorder final : public framework::FileErrors {
 public:
  framework::Level Throw(int id, const framework::MessageValues& values) override {
    std::lock_guard<std::mutex> lock(mu_);
    raised.push_back({id, values});
    return framework::kLevelBenign;
  }
  std::mutex mu_;
  std::vector<std::pair<int, framework::MessageValues>> raised;
};

class GatewayRelationsTest : public GatewayTest {};

TEST_F(GatewayRelationsTest, NestedOpensCountedAndOnlyTheLastCloseCloses) {
  Recorder errors;
  GatewayRelations relations(data_dir(), &errors);
  framework::RelationManager& control = relations.relation(Table::kControl);
  {
    GatewayFiles scan(data_dir(), platform::Env::Default(), &relations);
    ASSERT_EQ(scan.Open(Table::kControl), 0);  // the scan
    ASSERT_EQ(scan.Open(Table::kControl), 0);  // the dispatcher inside it
    EXPECT_EQ(control.open_count(), 2);
    scan.Close(Table::kControl);
    EXPECT_EQ(control.open_count(), 1);
    EXPECT_TRUE(scan.control().is_open());
    scan.Close(Table::kControl);
    EXPECT_EQ(control.open_count(), 0);
    EXPECT_FALSE(scan.control().is_open());
    scan.Close(Table::kControl);  // one close too many changes nothing
    EXPECT_EQ(control.open_count(), 0);

    // A procedure that ends with tables open gives its opens back.
    ASSERT_EQ(scan.Open(Table::kMailboxes), 0);
    ASSERT_EQ(scan.Open(Table::kMailboxes), 0);
    EXPECT_EQ(relations.relation(Table::kMailboxes).open_count(), 2);
  }
  EXPECT_EQ(relations.relation(Table::kMailboxes).open_count(), 0);
  EXPECT_TRUE(errors.raised.empty());
}

TEST_F(GatewayRelationsTest, WindowsReadWhatProceduresWroteAndDuplicatesNameTheKey) {
  Recorder errors;
  GatewayRelations relations(data_dir(), &errors);
  {
    GatewayFiles files(data_dir(), platform::Env::Default(), &relations);
    OpenTable open(files, Table::kMailboxes);
    ASSERT_EQ(open.code(), 0);
    WriteMailbox(MailboxRow{101, "a@example.com", "", "YES", "YES"}, &files.mailboxes().buffer());
    ASSERT_EQ(files.mailboxes().Add(), 0);
  }
  framework::TableUse use(&relations.relation(Table::kMailboxes));
  ASSERT_EQ(use.result(), 0);
  framework::FileManager& fm = relations.file(Table::kMailboxes);
  ASSERT_EQ(fm.SetOrder(), 0);
  ASSERT_EQ(fm.Next(), 0);
  EXPECT_EQ(ReadMailbox(fm.buffer()).email_address, "a@example.com");

  WriteMailbox(MailboxRow{101, "b@example.com", "", "NO", "NO"}, &fm.buffer());
  EXPECT_NE(fm.Insert(), 0);
  ASSERT_EQ(errors.raised.size(), 1u);
  EXPECT_EQ(errors.raised[0].first, framework::msg::kDuplicateKey);
  EXPECT_EQ(errors.raised[0].second.message, "MAI:MailboxKey");
  EXPECT_EQ(errors.raised[0].second.file, "Mailboxes");
}

TEST_F(GatewayRelationsTest, EachProcedureKeepsItsOwnRowBuffer) {
  AddMailbox(1, "one@example.com", "", "YES", "YES");
  AddMailbox(2, "two@example.com", "", "YES", "YES");
  Recorder errors;
  GatewayRelations relations(data_dir(), &errors);
  GatewayFiles mine(data_dir(), platform::Env::Default(), &relations);
  OpenTable open(mine, Table::kMailboxes);
  ASSERT_EQ(open.code(), 0);
  ASSERT_EQ(mine.mailboxes().Set(), 0);
  ASSERT_EQ(mine.mailboxes().Next(), 0);
  std::thread other([&] {
    GatewayFiles theirs(data_dir(), platform::Env::Default(), &relations);
    OpenTable o(theirs, Table::kMailboxes);
    ASSERT_EQ(o.code(), 0);
    ASSERT_EQ(theirs.mailboxes().Set(), 0);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(theirs.mailboxes().Next(), 0);
    EXPECT_EQ(ReadMailbox(theirs.mailboxes().buffer()).mailbox_no, 2);
  });
  other.join();
  EXPECT_EQ(ReadMailbox(mine.mailboxes().buffer()).mailbox_no, 1);
  EXPECT_EQ(relations.relation(Table::kMailboxes).open_count(), 1);
}

TEST_F(GatewayRelationsTest, APassGivesBackEveryOpen) {
  Recorder errors;
  GatewayRelations relations(data_dir(), &errors);
  AddMailbox(5, "five@example.com", "", "YES", "YES");
  std::vector<int> during;
  ScanOptions options = FastOptions();
  options.on_status = [&](const std::string&) {
    during.push_back(relations.relation(Table::kProcessedFiles).open_count());
  };
  GatewayFiles files(data_dir(), platform::Env::Default(), &relations);
  send_mail(files, options);
  ASSERT_FALSE(during.empty());
  EXPECT_EQ(during.back(), 1);
  for (Table t : {Table::kControl, Table::kMailboxes, Table::kProcessedFiles})
    EXPECT_EQ(relations.relation(t).open_count(), 0) << GatewayFiles::Name(t);
}

}  // namespace
}  // namespace vm::app::testing
