// The framework's stored message block and the table built from it; damaged
// blocks; place-holder substitution rules.
#include <gtest/gtest.h>

#include <set>

#include "framework/message_ids.h"
#include "framework/message_table.h"
#include "framework/substitution.h"

namespace vm::framework {
namespace {

MessageTable Standard() {
  MessageTable t;
  EXPECT_TRUE(t.AddBlock(StandardMessageBlock()).ok());
  return t;
}

TEST(MessageTable, StandardBlockHoldsEveryFrameworkMessage) {
  const auto& block = StandardMessageBlock();
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block[0] | (block[1] << 8), 43);  // ids 1 to 44 without the licence row 29
  // The first stored row is id 27, severity 5, title "Invalid Key".
  EXPECT_EQ(block[2], 27);
  EXPECT_EQ(block[3], 0);
  EXPECT_EQ(block[4], 5);
  EXPECT_EQ(block[5], 11);
  EXPECT_EQ(std::string(block.begin() + 6, block.begin() + 17), "Invalid Key");

  const MessageTable t = Standard();
  EXPECT_EQ(t.size(), 43u);
  for (uint16_t id = 1; id <= 44; ++id) EXPECT_EQ(t.Find(id).has_value(), id != 29) << id;
  EXPECT_FALSE(t.Find(0).has_value());
  EXPECT_FALSE(t.Find(45).has_value());
}

TEST(MessageTable, RowsCarryTheirExactTitleTextAndSeverity) {
  const MessageTable t = Standard();
  struct Want {
    uint16_t id;
    uint8_t sev;
    const char* title;
    const char* message;
  };
  const Want wants[] = {
      {msg::kInsertError, 5, "Record Insert Error",
       "An error was experienced during the creation of a record.|File: %File|Error: %ErrorText."},
      {msg::kRecordChangedShown, 5, "Record Was Not Updated",
       "This record was changed by another station. Those changes will now be displayed. Use the "
       "Ditto Button or "
       "Ctrl+' to recall your changes."},
      {msg::kUpdateRetry, 1, "Record Update Error",
       "An error was experienced changing this record. Do you want to try to save again?"},
      {msg::kConfirmDelete, 1, "Confirm Delete",
       "Are you sure you want to delete the highlighted record?"},
      {msg::kOpenFailed, 3, "File Access Error",
       "File %File could not be opened.  Error: %ErrorText."},
      {msg::kCreateError, 3, "File Creation Error", "Error: (%ErrorText) creating %File."},
      {msg::kUseClosedFile, 2, "File Usage Error",
       "Attempt to use file (%File) before it was opened"},
      {msg::kFieldNotInList, 5, "Value Error",
       "The value of %Field must be in the list : %Message."},
      {msg::kSmtpError, 5, "SMTP Error", "The following SMTP Error occurred: %Message "},
      {msg::kWinsockError, 5, "Winsock Error", "%Message "},
      {msg::kFieldOutOfRangeHigh, 5, "Range Error",
       "The value of %Field must be lower than %Message."},
      {msg::kFieldOutOfRangeLow, 5, "Range Error",
       "The value of %Field must be higher than %Message."},
  };
  for (const Want& w : wants) {
    const auto row = t.Find(w.id);
    ASSERT_TRUE(row.has_value()) << w.id;
    EXPECT_EQ(row->fatality, w.sev) << w.id;
    EXPECT_EQ(row->title, w.title) << w.id;
    EXPECT_EQ(row->message, w.message) << w.id;
    EXPECT_EQ(row->category, "");
  }
  // Every row's severity is one the dispatcher knows.
  std::set<uint8_t> severities;
  for (uint16_t id = 1; id <= 44; ++id) {
    if (auto row = t.Find(id)) severities.insert(row->fatality);
  }
  EXPECT_EQ(severities, (std::set<uint8_t>{1, 2, 3, 5}));
}

TEST(MessageTable, DamagedBlocksAreRefusedWhole) {
  const auto& good = StandardMessageBlock();
  // Cut at every length: never a crash, never a partly filled table.
  for (size_t n = 0; n < good.size(); ++n) {
    MessageTable t;
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_FALSE(t.AddBlock(cut).ok()) << n;
    EXPECT_EQ(t.size(), 0u) << n;
  }
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  MessageTable t;
  EXPECT_FALSE(t.AddBlock(longer).ok());
  // A count larger than the rows that follow.
  std::vector<uint8_t> counted = good;
  counted[0] = 44;
  EXPECT_FALSE(t.AddBlock(counted).ok());
  EXPECT_EQ(t.size(), 0u);
}

TEST(MessageTable, AddedRowsReplaceAndRoundTrip) {
  const std::vector<MessageRow> rows = {{9, "Own text %Field", "Own title", 4, ""},
                                        {300, std::string(300, 'x'), "Long", 7, ""}};
  auto parsed = ParseMessageBlock(PackMessageBlock(rows));
  ASSERT_TRUE(parsed.ok());
  ASSERT_EQ(parsed->size(), 2u);
  EXPECT_EQ((*parsed)[1].message,
            std::string(255, 'x'));  // a stored string holds at most 255 bytes
  MessageTable t = Standard();
  t.Add(*parsed);
  EXPECT_EQ(t.Find(9)->title, "Own title");
  EXPECT_EQ(t.Find(9)->fatality, 4);
  EXPECT_EQ(t.size(), 44u);
}

SubstitutionValues Values() {
  SubstitutionValues v;
  v.file = "Mailboxes";
  v.field = "MAI:Enable_Email";
  v.message = "'YES','NO'";
  v.error = {5, "Access Denied", "13", "Permission denied"};
  v.category = "General";
  return v;
}

TEST(Substitution, EveryErrorPlaceHolderAtOnce) {
  const std::string text = SubstitutePlaceHolders(
      "T=%ErrorText C=%ErrorCode E=%Error FC=%FileErrorCode FE=%FileError F=%File", Values(), 2000);
  EXPECT_EQ(text, "T=Access Denied (5) C=5 E=Access Denied FC=13 FE=Permission denied F=Mailboxes");
}

TEST(Substitution, Code90ShowsTheDriversTextAndCode) {
  SubstitutionValues v = Values();
  v.error = {90, "File System Error", "3", "Possible data corruption in file"};
  EXPECT_EQ(SubstitutePlaceHolders("(%ErrorText) %Error %ErrorCode", v, 2000),
            "(Possible data corruption in file (3)) File System Error 90");
  v.error = {89, "Record Changed By Another Station", "3", "Possible data corruption in file"};
  EXPECT_EQ(SubstitutePlaceHolders("(%ErrorText)", v, 2000),
            "(Record Changed By Another Station (89))");
  v.error = {};
  EXPECT_EQ(SubstitutePlaceHolders("(%ErrorText)", v, 2000), "( (0))");
}

TEST(Substitution, ProcedureAndPreviousStayWhenUnknown) {
  SubstitutionValues v = Values();
  EXPECT_EQ(SubstitutePlaceHolders("in %Procedure after %Previous [%Category]", v, 2000),
            "in %Procedure after %Previous [General]");
  v.procedure = "update_mailbox";
  v.previous = "old text";
  EXPECT_EQ(SubstitutePlaceHolders("in %Procedure after %Previous", v, 2000),
            "in update_mailbox after old text");
}

TEST(Substitution, ValuesAreNotExpandedAgainAndTheBufferIsBounded) {
  SubstitutionValues v = Values();
  v.file = "%Message%Field";
  EXPECT_EQ(SubstitutePlaceHolders("%File|%Field|%Unknown 100%", v, 2000),
            "%Message%Field|MAI:Enable_Email|%Unknown 100%");
  v.message = std::string(5000, 'm');
  const std::string text = SubstitutePlaceHolders("%Message %Message tail", v, 2000);
  EXPECT_EQ(text, std::string(2000, 'm'));
  // A cut never splits a UTF-8 sequence.
  v.message = std::string(1999, 'a') + "\xC3\xA9";
  EXPECT_EQ(SubstitutePlaceHolders("%Message", v, 2000), std::string(1999, 'a'));
}

}  // namespace
}  // namespace vm::framework
