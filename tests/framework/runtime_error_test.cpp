// The error state a table statement leaves reaches a message unchanged:
// the runtime code and text, and for 90 the driver's own code and text.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "framework/error_manager.h"
#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/table/table_def.h"

namespace vm::framework {
namespace {

// A table shaped like the mailbox list: only opening it matters here.
storage::TableDef MailboxesDef() {
  storage::TableDef d;
  d.record_length = 125;
  d.fields = {storage::MakeField("MAI:MAILBOX_NO", storage::kTypeShort, 0, 2),
              storage::MakeField("MAI:EMAIL_ADDRESS", storage::kTypeString, 2, 50)};
  return d;
}

class CapturedError : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "fwerrXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(CapturedError, MissingFileGivesCode2InTheMessage) {
  storage::DeclaredTable table((dir_ / "MAILBOXE").string(), MailboxesDef());
  ASSERT_EQ(table.Open(), storage::kErrFileNotFound);
  const RuntimeError e = CaptureError(table);
  EXPECT_EQ(e.code, 2);
  EXPECT_EQ(e.text, "File Not Found");
  ErrorManager em;
  em.SetSilent(true);
  em.SetFile("Mailboxes");
  em.SetErrors(e);
  EXPECT_EQ(em.SubstitutedText(msg::kRetrievalError),
            "Error: (File Not Found (2)) attempting to access a record from the Mailboxes file.  "
            "Returning to "
            "previous window.");
}

TEST_F(CapturedError, NotATableFileGivesCode36) {
  const std::string name = (dir_ / "MAILBOXE").string();
  {
    std::ofstream out(name + ".KFS", std::ios::binary);
    out << std::string(4096, '\x5a');  // not a table file at all
  }
  storage::DeclaredTable table(name, MailboxesDef());
  ASSERT_EQ(table.Open(), storage::kErrInvalidDataFile);
  const RuntimeError e = CaptureError(table);
  EXPECT_EQ(e.code, 36);
  EXPECT_EQ(e.file_code, "0");
  ErrorManager em;
  em.SetErrors(e);
  em.SetFile("Mailboxes");
  EXPECT_EQ(em.SubstitutedText(msg::kOpenFailed),
            "File Mailboxes could not be opened.  Error: Invalid Data File (36).");
  EXPECT_EQ(em.SubstitutedText(msg::kInsertError),
            "An error was experienced during the creation of a record.|File: Mailboxes|Error: "
            "Invalid Data File (36).");
}

}  // namespace
}  // namespace vm::framework
