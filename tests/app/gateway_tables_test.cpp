// The application's declarations of its three tables: layouts without gaps,
// the key names and attribute bytes the existing files were made with, and
// the file names.
#include "app/gateway_tables.h"

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

TEST(GatewayTables, LayoutsAndKeyAttributes) {
  EXPECT_EQ(ControlDef().record_length, 2622);
  EXPECT_EQ(MailboxesDef().record_length, 125);
  EXPECT_EQ(ProcessedFilesDef().record_length, 906);
  for (const TableDef& d : {ControlDef(), MailboxesDef(), ProcessedFilesDef()}) {
    EXPECT_EQ(CheckTableDef(d), "");
    // Fields follow each other without gaps up to the record length.
    size_t end = 0;
    for (const FieldDef& f : d.fields) {
      EXPECT_EQ(f.offset, end) << f.name;
      end = f.offset + f.size;
    }
    EXPECT_EQ(end, d.record_length);
  }
  EXPECT_TRUE(ControlDef().keys.empty());
  ASSERT_EQ(MailboxesDef().keys.size(), 1u);
  EXPECT_EQ(MailboxesDef().keys[0].name, "MAI:MAILBOXKEY");
  EXPECT_EQ(MailboxesDef().keys[0].flags, 6);
  const TableDef pro = ProcessedFilesDef();
  ASSERT_EQ(pro.keys.size(), 2u);
  EXPECT_EQ(pro.keys[0].name, "PRO:FILENAMEKEY");
  EXPECT_EQ(pro.keys[0].flags, 6);
  EXPECT_EQ(pro.keys[1].name, "PRO:PROCESSEDKEYCONTROL");
  EXPECT_EQ(pro.keys[1].flags, 7);
  EXPECT_EQ(pro.fields[pro.keys[1].components[0].field].name, "PRO:PROCESSED");
  EXPECT_EQ(pro.keys[1].components[0].flags, 0);
  // A recording is its mailbox, its name and its recording time.
  std::vector<std::string> parts;
  for (const KeyComponent& c : pro.keys[0].components) parts.push_back(pro.fields[c.field].name);
  EXPECT_EQ(parts, (std::vector<std::string>{"PRO:MAILBOX", "PRO:FILENAME", "PRO:DATEOFRECORDING",
                                             "PRO:TIMEOFRECORDING"}));
  // Earlier versions' layout differs in that key only.
  const TableDef by_name = ProcessedFilesDefByName();
  EXPECT_EQ(by_name.fields, pro.fields);
  EXPECT_EQ(by_name.keys[1], pro.keys[1]);
  ASSERT_EQ(by_name.keys[0].components.size(), 1u);
  EXPECT_EQ(by_name.fields[by_name.keys[0].components[0].field].name, "PRO:FILENAME");
}

TEST(GatewayTables, FileNames) {
  EXPECT_EQ(ControlFile("/data"), "/data/CONTROL.KFS");
  EXPECT_EQ(ControlFile("/data/"), "/data/CONTROL.KFS");
  EXPECT_EQ(MailboxesFile(), "MAILBOXE.KFS");
  EXPECT_EQ(ProcessedFilesFile(), "PROCESSE.KFS");
}

}  // namespace
}  // namespace vm::storage
