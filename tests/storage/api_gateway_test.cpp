// The declared-table statements over the gateway's three tables: creating,
// reading in record and key order, changing, reopening, the errors the
// program sees, and two processes adding to one table at once.
#include "storage/kfs_run.h"
#include "tables_gateway_defs.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <gtest/gtest.h>

#include "storage/driver/kfs_ops.h"
#include "storage/file/page_file.h"
#include "storage/page_file_fixture.h"
#include "storage/table/definition.h"

namespace vm::storage {
namespace {

using testing::TempDir;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void SetText(std::vector<char>* row, size_t offset, size_t width, std::string_view text) {
  std::memset(row->data() + offset, ' ', width);
  std::memcpy(row->data() + offset, text.data(), text.size());
}

std::string Text(const std::vector<char>& row, size_t offset, size_t width) {
  std::string s(row.data() + offset, width);
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

template <typename T>
void SetNumber(std::vector<char>* row, size_t offset, T v) {
  std::memcpy(row->data() + offset, &v, sizeof v);
}

template <typename T>
T Number(const std::vector<char>& row, size_t offset) {
  T v;
  std::memcpy(&v, row.data() + offset, sizeof v);
  return v;
}

void FillProcessed(DeclaredTable* t, std::string_view name, uint8_t processed, int16_t mailbox) {
  std::vector<char>& row = t->buffer();
  std::fill(row.begin(), row.end(), ' ');
  SetText(&row, processed::kFileName, processed::kFileNameSize, name);
  SetNumber<int32_t>(&row, processed::kDate, 80000);
  SetNumber<int32_t>(&row, processed::kTime, 1);
  row[processed::kProcessed] = static_cast<char>(processed);
  SetText(&row, processed::kError, processed::kErrorSize, "0");
  SetNumber<int16_t>(&row, processed::kErrorCode, 0);
  SetNumber<int16_t>(&row, processed::kMailbox, mailbox);
}

// File names read by Next() until it fails; the failing code in *end.
// File name of row `i` added by child process `p`.
std::string ChildRowName(int p, int i) {
  std::string name = "p";
  name += std::to_string(p);
  name += '-';
  name += std::to_string(i);
  name += ".wav";
  return name;
}

std::vector<std::string> ReadNames(DeclaredTable* t, bool forward, int* end) {
  std::vector<std::string> names;
  for (;;) {
    int rc = forward ? t->Next() : t->Previous();
    if (rc != 0) {
      *end = rc;
      return names;
    }
    names.push_back(Text(t->buffer(), processed::kFileName, processed::kFileNameSize));
  }
}

TEST(ApiGatewayTest, NamesSplitIntoFileAndTable) {
  TempDir dir;
  platform::Env* env = platform::Env::Default();
  TableName n = SplitTableName(dir.path() + "/MYDATA\\!Mailboxes", env);
  EXPECT_EQ(n.file, dir.path() + "/MYDATA.KFS");
  EXPECT_EQ(n.table, "MAILBOXES");
  n = SplitTableName(dir.path() + "/MYDATA", env);
  EXPECT_EQ(n.file, dir.path() + "/MYDATA.KFS");
  EXPECT_EQ(n.table, "UNNAMED");
  n = SplitTableName(dir.path() + "/data.tps\\!x", env);
  EXPECT_EQ(n.file, dir.path() + "/data.tps");
  EXPECT_EQ(n.table, "X");
  // A directory called MYDATA: its "\!" is part of the path.
  std::filesystem::create_directory(dir.path() + "/MYDATA");
  n = SplitTableName(dir.path() + "/MYDATA\\!inner\\!T", env);
  EXPECT_EQ(n.file, dir.path() + "/MYDATA\\!inner.KFS");
  EXPECT_EQ(n.table, "T");
}

TEST(ApiGatewayTest, ProcessedFilesRowsInRecordAndKeyOrder) {
  TempDir dir;
  auto t = DeclareProcessedFiles(dir.path());
  EXPECT_EQ(t->Open(), kErrFileNotFound);
  EXPECT_EQ(t->error_text(), "File Not Found");
  ASSERT_EQ(t->Create(), 0);
  ASSERT_EQ(t->Open(), 0);
  EXPECT_EQ(t->Put(), kErrRecordNotAvailable);  // no current row
  EXPECT_EQ(t->error_text(), "Record Not Available");
  EXPECT_EQ(t->Delete(), kErrRecordNotAvailable);
  const std::vector<std::pair<std::string, uint8_t>> rows = {
      {"c.wav", 0}, {"A.WAV", 1}, {"b.wav", 0}, {"d.wav", 1}};
  for (const auto& [name, processed] : rows) {
    FillProcessed(t.get(), name, processed, 101);
    ASSERT_EQ(t->Add(), 0) << name;
  }
  FillProcessed(t.get(), "B.WAV", 1, 102);
  EXPECT_EQ(t->Add(), kErrDuplicateKey);
  EXPECT_EQ(t->error_text(), "Creates Duplicate Key");
  EXPECT_EQ(t->Records(), 4u);

  int end = 0;
  ASSERT_EQ(t->Set(), 0);
  EXPECT_EQ(ReadNames(t.get(), true, &end),
            (std::vector<std::string>{"c.wav", "A.WAV", "b.wav", "d.wav"}));
  EXPECT_EQ(end, kErrRecordNotAvailable);
  ASSERT_EQ(t->Set(), 0);
  EXPECT_EQ(ReadNames(t.get(), false, &end),
            (std::vector<std::string>{"d.wav", "b.wav", "A.WAV", "c.wav"}));

  // Key order, starting at the first name not below the buffer's.
  FillProcessed(t.get(), "", 0, 0);
  ASSERT_EQ(t->SetKey(processed::kFileNameKey), 0);
  EXPECT_EQ(ReadNames(t.get(), true, &end),
            (std::vector<std::string>{"A.WAV", "b.wav", "c.wav", "d.wav"}));
  FillProcessed(t.get(), "B", 0, 0);
  ASSERT_EQ(t->SetKey(processed::kFileNameKey), 0);
  EXPECT_EQ(ReadNames(t.get(), true, &end), (std::vector<std::string>{"b.wav", "c.wav", "d.wav"}));
  FillProcessed(t.get(), "zzz", 0, 0);
  ASSERT_EQ(t->SetKey(processed::kFileNameKey), 0);
  EXPECT_EQ(t->Next(), kErrRecordNotAvailable);
  EXPECT_EQ(ReadNames(t.get(), false, &end),
            (std::vector<std::string>{"d.wav", "c.wav", "b.wav", "A.WAV"}));
  // The duplicates key holds the processed rows in record order.
  FillProcessed(t.get(), "", 1, 0);
  ASSERT_EQ(t->SetKey(processed::kProcessedKeyControl), 0);
  EXPECT_EQ(ReadNames(t.get(), true, &end), (std::vector<std::string>{"A.WAV", "d.wav"}));

  // Get by key without regard to case, change, and the key follows.
  FillProcessed(t.get(), "C.WAV", 0, 0);
  ASSERT_EQ(t->Get(processed::kFileNameKey), 0);
  EXPECT_EQ(Number<int16_t>(t->buffer(), processed::kMailbox), 101);
  t->buffer()[processed::kProcessed] = 1;
  SetText(&t->buffer(), processed::kError, processed::kErrorSize, "Nil");
  ASSERT_EQ(t->Put(), 0);
  FillProcessed(t.get(), "", 1, 0);
  ASSERT_EQ(t->SetKey(processed::kProcessedKeyControl), 0);
  EXPECT_EQ(ReadNames(t.get(), true, &end), (std::vector<std::string>{"c.wav", "A.WAV", "d.wav"}));
  // A change onto an existing name fails and changes nothing.
  FillProcessed(t.get(), "d.wav", 0, 0);
  ASSERT_EQ(t->Get(processed::kFileNameKey), 0);
  SetText(&t->buffer(), processed::kFileName, processed::kFileNameSize, "a.wav");
  EXPECT_EQ(t->Put(), kErrDuplicateKey);
  FillProcessed(t.get(), "nothere.wav", 0, 0);
  EXPECT_EQ(t->Get(processed::kFileNameKey), kErrRecordNotFound);
  EXPECT_EQ(t->error_text(), "Record Not Found");

  // Delete the current row.
  FillProcessed(t.get(), "b.wav", 0, 0);
  ASSERT_EQ(t->Get(processed::kFileNameKey), 0);
  ASSERT_EQ(t->Delete(), 0);
  EXPECT_EQ(t->Put(), kErrRecordNotAvailable);
  EXPECT_EQ(t->Records(), 3u);
  ASSERT_EQ(t->Close(), 0);

  // Everything is there after reopening.
  auto again = DeclareProcessedFiles(dir.path());
  ASSERT_EQ(again->Open(kAccessRead | kShareDenyWrite), 0);
  EXPECT_EQ(again->Records(), 3u);
  ASSERT_EQ(again->Set(), 0);
  EXPECT_EQ(ReadNames(again.get(), true, &end),
            (std::vector<std::string>{"c.wav", "A.WAV", "d.wav"}));
  ASSERT_EQ(again->Set(), 0);
  ASSERT_EQ(again->Next(), 0);
  EXPECT_EQ(Text(again->buffer(), processed::kError, processed::kErrorSize), "Nil");
  EXPECT_EQ(again->buffer()[processed::kProcessed], 1);
  // Read only: no changes.
  EXPECT_EQ(again->Put(), kErrAccessDenied);
  EXPECT_EQ(again->Add(), kErrAccessDenied);
  EXPECT_EQ(again->Close(), 0);
  EXPECT_EQ(again->Next(), kErrFileNotOpen);
}

// Has answers from the key alone: the buffer and the position stay, so a
// Put after it still changes the row Get read; rows added in an open
// transaction and rows deleted count as they stand for the handle.
TEST(ApiGatewayTest, HasLooksUpTheKeyAndLeavesBufferAndPosition) {
  TempDir dir;
  auto t = DeclareProcessedFiles(dir.path());
  ASSERT_EQ(t->Create(), 0);
  ASSERT_EQ(t->Open(), 0);
  for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
    FillProcessed(t.get(), name, 0, 101);
    ASSERT_EQ(t->Add(), 0);
  }
  FillProcessed(t.get(), "b.wav", 0, 0);
  ASSERT_EQ(t->Get(processed::kFileNameKey), 0);
  FillProcessed(t.get(), "A.WAV", 0, 0);
  const std::vector<char> asked = t->buffer();
  EXPECT_EQ(t->Has(processed::kFileNameKey), 0);
  EXPECT_EQ(t->buffer(), asked);
  FillProcessed(t.get(), "x.wav", 0, 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), kErrRecordNotFound);
  EXPECT_EQ(t->Has(99), kErrRecordNotFound);
  // The position is still b.wav's row.
  FillProcessed(t.get(), "b.wav", 1, 101);
  ASSERT_EQ(t->Put(), 0);
  FillProcessed(t.get(), "b.wav", 0, 0);
  ASSERT_EQ(t->Get(processed::kFileNameKey), 0);
  EXPECT_EQ(t->buffer()[processed::kProcessed], 1);
  ASSERT_EQ(t->Delete(), 0);
  FillProcessed(t.get(), "b.wav", 0, 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), kErrRecordNotFound);

  ASSERT_EQ(t->Logout(), 0);
  FillProcessed(t.get(), "d.wav", 0, 101);
  ASSERT_EQ(t->Add(), 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), 0);
  ASSERT_EQ(DeclaredTable::RollbackTransaction(), 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), kErrRecordNotFound);
  // A smaller cache changes no answer; the budget it replaced comes back.
  EXPECT_EQ(t->LimitCache(4096), kCleanCacheBytes);
  FillProcessed(t.get(), "c.wav", 0, 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), 0);
  EXPECT_EQ(t->LimitCache(kCleanCacheBytes), 4096u);
  ASSERT_EQ(t->Close(), 0);
  EXPECT_EQ(t->Has(processed::kFileNameKey), kErrFileNotOpen);
  EXPECT_EQ(t->LimitCache(4096), 0u);
}

TEST(ApiGatewayTest, ControlAndMailboxesInTheirFiles) {
  TempDir dir;
  auto control = DeclareControl(dir.path());
  ASSERT_EQ(control->Create(), 0);
  ASSERT_EQ(control->Open(), 0);
  ASSERT_EQ(control->Set(), 0);
  EXPECT_EQ(control->Next(), kErrRecordNotAvailable);  // empty: the default record is added
  std::vector<char>& c = control->buffer();
  std::fill(c.begin(), c.end(), ' ');
  SetNumber<int16_t>(&c, control::kPort, 0);
  SetText(&c, control::kFrom, control::kFromSize, "VoiceMail <vm@example.com>");
  SetText(&c, control::kIdleTime, control::kIdleTimeSize, "60");
  std::memset(c.data() + control::kAttachmentBody, 0, control::kAttachmentBodySize);
  std::memcpy(c.data() + control::kAttachmentBody, "Body %DATE%", 11);
  const std::vector<char> written = c;
  ASSERT_EQ(control->Add(), 0);
  std::fill(c.begin(), c.end(), 'x');
  ASSERT_EQ(control->Set(), 0);
  ASSERT_EQ(control->Next(), 0);
  EXPECT_EQ(c, written);
  EXPECT_EQ(control->Close(), 0);
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/CONTROL.KFS"));

  auto boxes = DeclareMailboxes(dir.path());
  ASSERT_EQ(boxes->Create(), 0);
  ASSERT_EQ(boxes->Open(), 0);
  for (int16_t box : {300, 101, 7}) {
    std::vector<char>& b = boxes->buffer();
    std::fill(b.begin(), b.end(), ' ');
    SetNumber(&b, mailboxes::kMailboxNo, box);
    SetText(&b, mailboxes::kEnableEmail, mailboxes::kEnableEmailSize, "YES");
    ASSERT_EQ(boxes->Add(), 0);
  }
  SetNumber<int16_t>(&boxes->buffer(), mailboxes::kMailboxNo, 101);
  EXPECT_EQ(boxes->Add(), kErrDuplicateKey);  // an existing mailbox is left unchanged
  SetNumber<int16_t>(&boxes->buffer(), mailboxes::kMailboxNo, -32768);
  ASSERT_EQ(boxes->SetKey(mailboxes::kMailboxKey), 0);
  std::vector<int16_t> order;
  while (boxes->Next() == 0)
    order.push_back(Number<int16_t>(boxes->buffer(), mailboxes::kMailboxNo));
  EXPECT_EQ(order, (std::vector<int16_t>{7, 101, 300}));
  EXPECT_EQ(boxes->Close(), 0);
}

TEST(ApiGatewayTest, DeclarationsAreChecked) {
  TempDir dir;
  // 15000 bytes is the largest record.
  TableDef big;
  big.record_length = 15000;
  big.fields = {MakeField("BIG:DATA", kTypeString, 0, 15000)};
  DeclaredTable ok(dir.path() + "/BIG", big);
  EXPECT_EQ(ok.buffer().size(), 15000u);
  ASSERT_EQ(ok.Create(), 0);
  ASSERT_EQ(ok.Open(), 0);
  std::fill(ok.buffer().begin(), ok.buffer().end(), 'q');
  EXPECT_EQ(ok.Add(), 0);
  ASSERT_EQ(ok.Set(), 0);
  std::fill(ok.buffer().begin(), ok.buffer().end(), ' ');
  ASSERT_EQ(ok.Next(), 0);
  EXPECT_EQ(ok.buffer()[14999], 'q');
  EXPECT_EQ(ok.Close(), 0);
  big.record_length = 15001;
  big.fields[0].size = 15001;
  DeclaredTable too_big(dir.path() + "/BIG2", big);
  EXPECT_EQ(too_big.Create(), kErrBadDeclaration);
  EXPECT_EQ(too_big.Open(), kErrBadDeclaration);
  EXPECT_EQ(too_big.error_text(), "Invalid Record Declaration");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/BIG2.KFS"));

  // A stored definition with one more field than declared: 47, file untouched.
  TableDef stored = MailboxesTableDef();
  stored.fields.push_back(MakeField("MAI:EXTRA", kTypeByte, 124, 1));
  stored.fields[4].size = 19;
  DeclaredTable creator(dir.path() + "/BOXES", stored);
  ASSERT_EQ(creator.Create(), 0);
  const std::string before = ReadBytes(dir.path() + "/BOXES.KFS");
  DeclaredTable declared(dir.path() + "/BOXES", MailboxesTableDef());
  EXPECT_EQ(declared.Open(), kErrBadDeclaration);
  EXPECT_FALSE(declared.is_open());
  EXPECT_EQ(ReadBytes(dir.path() + "/BOXES.KFS"), before);
  // The wrong table name in a good file: 2.
  DeclaredTable other(dir.path() + "/BOXES\\!Other", stored);
  EXPECT_EQ(other.Open(), kErrFileNotFound);
}

TEST(ApiGatewayTest, TablesShareOneFile) {
  TempDir dir;
  const std::string file = dir.path() + "/GATEWAY";
  DeclaredTable boxes(file + "\\!Mailboxes", MailboxesTableDef());
  ASSERT_EQ(boxes.Create(), 0);
  ASSERT_EQ(boxes.Open(), 0);
  SetNumber<int16_t>(&boxes.buffer(), mailboxes::kMailboxNo, 5);
  ASSERT_EQ(boxes.Add(), 0);
  // A second table created in the same file leaves the first one's rows.
  DeclaredTable files(file + "\\!ProcessedFiles", ProcessedFilesTableDef());
  ASSERT_EQ(files.Create(), 0);
  ASSERT_EQ(files.Open(), 0);
  FillProcessed(&files, "x.wav", 0, 5);
  ASSERT_EQ(files.Add(), 0);
  EXPECT_EQ(boxes.Records(), 1u);
  // A second handle on the same table (the file named another way, the
  // table in other case) sees the rows.
  DeclaredTable boxes2(dir.path() + "/./GATEWAY.KFS\\!mailboxes", MailboxesTableDef());
  ASSERT_EQ(boxes2.Open(), 0);
  ASSERT_EQ(boxes2.Set(), 0);
  ASSERT_EQ(boxes2.Next(), 0);
  EXPECT_EQ(Number<int16_t>(boxes2.buffer(), mailboxes::kMailboxNo), 5);
  // The row deleted through one handle is gone for the other's PUT.
  ASSERT_EQ(boxes.Delete(), 0);
  EXPECT_EQ(boxes2.Put(), kErrRecordNotAvailable);
  EXPECT_EQ(boxes.Close(), 0);
  EXPECT_EQ(boxes2.Close(), 0);
  EXPECT_EQ(files.Records(), 1u);
  EXPECT_EQ(files.Close(), 0);
}

TEST(ApiGatewayTest, DamagedFileGivesFileSystemError) {
  TempDir dir;
  auto t = DeclareProcessedFiles(dir.path());
  ASSERT_EQ(t->Create(), 0);
  ASSERT_EQ(t->Open(), 0);
  for (int i = 0; i < 200; ++i) {
    FillProcessed(t.get(), "file" + std::to_string(i) + ".wav", 0, 1);
    ASSERT_EQ(t->Add(), 0);
  }
  ASSERT_EQ(t->Close(), 0);
  // Overwrite every page after the header with a pattern that no page holds.
  const std::string path = ProcessedFilesFile(dir.path());
  std::string bytes = ReadBytes(path);
  ASSERT_GT(bytes.size(), 4096u);
  for (size_t i = 512; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0x5A ^ (i * 7));
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  auto damaged = DeclareProcessedFiles(dir.path());
  const int rc = damaged->Open();
  EXPECT_EQ(rc, kErrFileSystem);
  EXPECT_EQ(damaged->error_text(), "File System Error");
  EXPECT_NE(damaged->file_error(), 0);
  EXPECT_EQ(damaged->file_error_text(), "Possible data corruption in file");
  // The failure stays with the handle until it is closed.
  EXPECT_EQ(damaged->Next(), kErrFileSystem);
  EXPECT_EQ(damaged->Close(), 0);
}

// Two processes add 1000 rows each to one table at the same time, sharing
// the file with each other.
TEST(ApiGatewayTest, TwoProcessesAddToOneTable) {
  TempDir dir;
  {
    auto t = DeclareProcessedFiles(dir.path());
    ASSERT_EQ(t->Create(), 0);
  }
  constexpr int kRows = 1000;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      auto t = DeclareProcessedFiles(dir.path());
      int status = t->Open(kAccessReadWrite | kShareDenyNone);
      for (int i = 0; status == 0 && i < kRows; ++i) {
        FillProcessed(t.get(), ChildRowName(p, i), static_cast<uint8_t>(i % 2),
                      static_cast<int16_t>(p));
        status = t->Add();
      }
      if (status == 0) status = t->Close();
      ::_exit(status);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  auto t = DeclareProcessedFiles(dir.path());
  ASSERT_EQ(t->Open(), 0);
  EXPECT_EQ(t->Records(), 2u * kRows);
  std::multiset<std::string> seen;
  ASSERT_EQ(t->Set(), 0);
  while (t->Next() == 0)
    seen.insert(Text(t->buffer(), processed::kFileName, processed::kFileNameSize));
  EXPECT_EQ(t->error(), kErrRecordNotAvailable);
  ASSERT_EQ(seen.size(), 2u * kRows);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kRows; ++i) EXPECT_EQ(seen.count(ChildRowName(p, i)), 1u);
  // The name key holds every row once; the processed key the odd ones.
  FillProcessed(t.get(), "", 0, 0);
  ASSERT_EQ(t->SetKey(processed::kFileNameKey), 0);
  int by_name = 0;
  while (t->Next() == 0) ++by_name;
  EXPECT_EQ(by_name, 2 * kRows);
  FillProcessed(t.get(), "", 1, 0);
  ASSERT_EQ(t->SetKey(processed::kProcessedKeyControl), 0);
  int processed_rows = 0;
  while (t->Next() == 0) {
    EXPECT_EQ(t->buffer()[processed::kProcessed], 1);
    ++processed_rows;
  }
  EXPECT_EQ(processed_rows, kRows);
  EXPECT_EQ(t->Close(), 0);
  testing::ExpectSoundFile(ProcessedFilesFile(dir.path()));
}

}  // namespace
}  // namespace vm::storage
