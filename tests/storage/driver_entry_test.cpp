// The driver entry point: operations by code on a control block, driver
// commands sent as text, and the codes it does not carry out.
#include "storage/driver/kfs_driver.h"

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "storage/page_file_fixture.h"
#include "tables_gateway_defs.h"

namespace vm::storage {
namespace {

using testing::TempDir;

int Call(int op, KfsControlBlock* cb, KfsArgs args = KfsArgs()) {
  return KfsDriver(op, cb, &args);
}

KfsArgs Key(int key) {
  KfsArgs a;
  a.key = key;
  return a;
}
KfsArgs Pointer(uint32_t record) {
  KfsArgs a;
  a.pointer = record;
  return a;
}
KfsArgs Access(int access) {
  KfsArgs a;
  a.access = access;
  return a;
}

void SetBox(KfsControlBlock* cb, int16_t box) {
  std::vector<char>& b = cb->table->buffer();
  std::fill(b.begin(), b.end(), ' ');
  std::memcpy(b.data() + mailboxes::kMailboxNo, &box, 2);
}

int16_t Box(KfsControlBlock* cb) {
  int16_t box;
  std::memcpy(&box, cb->table->buffer().data() + mailboxes::kMailboxNo, 2);
  return box;
}

TEST(DriverEntryTest, RowOperationsByCode) {
  TempDir dir;
  KfsControlBlock cb;
  cb.name = dir.path() + "/MYDATA\\!Mailboxes";
  cb.def = MailboxesTableDef();
  EXPECT_EQ(Call(kOpClose, &cb), kErrNone);  // no state yet: nothing to close
  EXPECT_FALSE(cb.table);
  EXPECT_EQ(Call(kOpOpen, &cb), kErrFileNotFound);
  ASSERT_TRUE(cb.table);
  ASSERT_EQ(Call(kOpCreate, &cb), kErrNone);
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/MYDATA.KFS"));
  ASSERT_EQ(Call(kOpOpen, &cb), kErrNone);
  for (int16_t box : {30, 10, 20}) {
    SetBox(&cb, box);
    ASSERT_EQ(Call(kOpAdd, &cb), kErrNone);
  }
  KfsArgs records;
  ASSERT_EQ(KfsDriver(kOpRecordsFile, &cb, &records), kErrNone);
  EXPECT_EQ(records.count, 3u);
  SetBox(&cb, 0);
  ASSERT_EQ(Call(kOpSetKey, &cb, Key(0)), kErrNone);
  std::vector<int16_t> order;
  while (Call(kOpNext, &cb) == kErrNone) order.push_back(Box(&cb));
  EXPECT_EQ(order, (std::vector<int16_t>{10, 20, 30}));
  EXPECT_EQ(cb.last_error, kErrRecordNotAvailable);
  // The row of mailbox 20 by key, then by its record number.
  SetBox(&cb, 20);
  ASSERT_EQ(Call(kOpGetFileKey, &cb, Key(0)), kErrNone);
  KfsArgs pointer;
  ASSERT_EQ(KfsDriver(kOpPointerFile, &cb, &pointer), kErrNone);
  ASSERT_NE(pointer.count, 0u);
  SetBox(&cb, 99);
  ASSERT_EQ(Call(kOpGetFilePtr, &cb, Pointer(pointer.count)), kErrNone);
  EXPECT_EQ(Box(&cb), 20);
  EXPECT_EQ(Call(kOpGetFilePtr, &cb, Pointer(0x00FFFFFF)), kErrRecordNotFound);
  // Record order from the end.
  ASSERT_EQ(Call(kOpSetFile, &cb), kErrNone);
  ASSERT_EQ(Call(kOpPrevious, &cb), kErrNone);
  EXPECT_EQ(Box(&cb), 20);
  ASSERT_EQ(Call(kOpDelete, &cb), kErrNone);
  EXPECT_EQ(Call(kOpPut, &cb), kErrRecordNotAvailable);
  KfsArgs count;
  ASSERT_EQ(KfsDriver(kOpCountRecords, &cb, &count), kErrNone);
  EXPECT_EQ(count.count, 2u);
  // QUERY_VIEW answers at once; unbuilt operations say so.
  EXPECT_EQ(Call(kOpQueryView, &cb), kErrNone);
  constexpr int kOpCopy = 9, kOpRename = 38, kOpStream = 56;
  EXPECT_EQ(Call(kOpCopy, &cb), kErrNotSupported);
  EXPECT_EQ(Call(kOpRename, &cb), kErrNotSupported);
  EXPECT_EQ(Call(kOpStream, &cb), kErrNotSupported);
  EXPECT_FALSE(KfsErrorText(kErrNotSupported).empty());
  KfsArgs name;
  ASSERT_EQ(KfsDriver(kOpName, &cb, &name), kErrNone);
  EXPECT_EQ(name.answer, cb.name);
  ASSERT_EQ(Call(kOpClose, &cb), kErrNone);
  // DESTROY frees the state; the next call builds a new one.
  ASSERT_EQ(Call(kOpDestroy, &cb), kErrNone);
  EXPECT_FALSE(cb.table);
  ASSERT_EQ(Call(kOpOpen, &cb, Access(kAccessRead | kShareDenyWrite)), kErrNone);
  EXPECT_EQ(Call(kOpAdd, &cb), kErrAccessDenied);
  cb.dispose = true;  // disposal asked for: the next call starts afresh
  EXPECT_EQ(Call(kOpNext, &cb), kErrFileNotOpen);
}

TEST(DriverEntryTest, RecordLengthLimitAtStateBuild) {
  TempDir dir;
  KfsControlBlock cb;
  cb.name = dir.path() + "/BIG";
  cb.def.record_length = 15001;
  cb.def.fields = {MakeField("BIG:DATA", kTypeString, 0, 15001)};
  EXPECT_EQ(Call(kOpOpen, &cb), kErrBadDeclaration);
  EXPECT_FALSE(cb.table);
  cb.def.record_length = 15000;
  cb.def.fields[0].size = 15000;
  EXPECT_EQ(Call(kOpCreate, &cb), kErrNone);
}

TEST(DriverEntryTest, SendCommands) {
  TempDir dir;
  KfsControlBlock cb;
  cb.name = dir.path() + "/GATEWAY\\!Mailboxes";
  cb.def = MailboxesTableDef();
  ASSERT_EQ(Call(kOpCreate, &cb), kErrNone);
  KfsControlBlock other;
  other.name = dir.path() + "/GATEWAY\\!Processedfiles";
  other.def = ProcessedFilesTableDef();
  ASSERT_EQ(Call(kOpCreate, &other), kErrNone);
  ASSERT_EQ(Call(kOpOpen, &cb), kErrNone);

  auto send = [&](const std::string& text) {
    KfsArgs a;
    a.text = text;
    EXPECT_EQ(KfsDriver(kOpSend, &cb, &a), kErrNone) << text;
    return a.answer;
  };
  EXPECT_FALSE(send("REGISTER").empty());
  EXPECT_EQ(send("FULLBUILD"), "OFF");
  EXPECT_EQ(send("FULLBUILD=on"), "ON");
  EXPECT_EQ(send("FULLBUILD=yes"), "OFF");
  EXPECT_EQ(send("FLAGS"), "0");
  EXPECT_EQ(send("FLAGS=42"), "42");
  EXPECT_EQ(send("TCF"), "");
  EXPECT_EQ(send("TCF=/var/tx/main.tcf"), "/var/tx/main.tcf");
  EXPECT_EQ(KfsTransactionControlFile(), "/var/tx/main.tcf");
  EXPECT_EQ(send("TCF="), "");  // back to the default
  EXPECT_EQ(send("PNMQ="), "MAILBOXES,PROCESSEDFILES");
  EXPECT_EQ(send("PNM=processedfiles"), "PROCESSEDFILES");
  EXPECT_EQ(send("PNM=nothere"), "");
  KfsArgs unknown;
  unknown.text = "FROBNICATE";
  EXPECT_EQ(KfsDriver(kOpSend, &cb, &unknown), kErrNotSupported);
  ASSERT_EQ(Call(kOpClose, &cb), kErrNone);
  // The flags value is stored with the table.
  ASSERT_EQ(Call(kOpOpen, &cb), kErrNone);
  EXPECT_EQ(send("FLAGS"), "42");
  ASSERT_EQ(Call(kOpClose, &cb), kErrNone);
}

}  // namespace
}  // namespace vm::storage

namespace vm::storage {
namespace {

// Tracing is read from the profile when a table's state is built: each
// operation logs its name in a 24-column field and its time, a failure
// also its error, detail lines only where the driver options allow them.
TEST(DriverEntryTest, TraceLinesFromProfileSettings) {
  TempDir dir;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  std::filesystem::create_directories(dir.path() + "/voicemail-mailer");
  const std::string log = dir.path() + "/trace.log";
  std::ofstream(dir.path() + "/voicemail-mailer/profile.ini")
      << "[QXKEELFAST]\nProfile=1\nDetails=1\nTraceFile=" << log << "\n";
  auto run = [&](const std::string& options) {
    KfsControlBlock cb;
    cb.name = dir.path() + "/BOXES";
    cb.def = MailboxesTableDef();
    cb.driver_options = options;
    EXPECT_EQ(Call(kOpCreate, &cb), kErrNone);
    EXPECT_EQ(Call(kOpOpen, &cb), kErrNone);
    SetBox(&cb, 7);
    EXPECT_EQ(Call(kOpGetFileKey, &cb, Key(0)), kErrRecordNotFound);
    EXPECT_EQ(Call(kOpClose, &cb), kErrNone);
  };
  run("ALLOWDETAILS");
  run("NODETAILS");
  if (old)
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text.find("CREATE                  Time Taken: 0."), 0u) << text;
  EXPECT_NE(text.find("\r\nGETfilekey              Time Taken: "), std::string::npos);
  EXPECT_NE(text.find("File Error: 35 Record Not Found\r\n"), std::string::npos);
  // Two runs of four operations; detail lines in the first only.
  size_t lines = 0, details = 0;
  for (size_t at = 0; (at = text.find("Time Taken:", at)) != std::string::npos; ++at) ++lines;
  for (size_t at = 0; (at = text.find("    Table: ", at)) != std::string::npos; ++at) ++details;
  EXPECT_EQ(lines, 8u);
  EXPECT_EQ(details, 4u);
}

// An owner password enciphers the whole file: its text never reaches the
// disk in the clear, and the file reads only with that password.
TEST(DriverEntryTest, OwnerPasswordEnciphersTheFile) {
  TempDir dir;
  auto block = [&](const std::string& password) {
    KfsControlBlock cb;
    cb.name = dir.path() + "/SECRET";
    cb.def = MailboxesTableDef();
    cb.owner_password = password;
    return cb;
  };
  KfsControlBlock cb = block("s3cret");
  ASSERT_EQ(Call(kOpCreate, &cb), kErrNone);
  ASSERT_EQ(Call(kOpOpen, &cb), kErrNone);
  SetBox(&cb, 42);
  const std::string address = "owner@example.org";
  std::copy(address.begin(), address.end(), cb.table->buffer().begin() + mailboxes::kEmailAddress);
  ASSERT_EQ(Call(kOpAdd, &cb), kErrNone);
  ASSERT_EQ(Call(kOpClose, &cb), kErrNone);
  std::ifstream in(dir.path() + "/SECRET.KFS", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_GT(bytes.size(), 512u);
  EXPECT_EQ(bytes.find(address), std::string::npos);
  EXPECT_EQ(bytes.find("MAI:EMAIL_ADDRESS"), std::string::npos);

  KfsControlBlock again = block("s3cret");
  ASSERT_EQ(Call(kOpOpen, &again), kErrNone);
  SetBox(&again, 42);
  ASSERT_EQ(Call(kOpGetFileKey, &again, Key(0)), kErrNone);
  EXPECT_EQ(std::string(again.table->buffer().begin() + mailboxes::kEmailAddress,
                        again.table->buffer().begin() + mailboxes::kEmailAddress + address.size()),
            address);
  ASSERT_EQ(Call(kOpClose, &again), kErrNone);
  KfsControlBlock plain = block("");
  EXPECT_EQ(Call(kOpOpen, &plain), kErrInvalidDataFile);
}

}  // namespace
}  // namespace vm::storage
