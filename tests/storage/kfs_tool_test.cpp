// The kfs tool run as a program on sound, inconsistent and damaged files,
// and its import and pack commands on files they create or change.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"
#include "tables_gateway_defs.h"

namespace vm::storage {
namespace {

using testing::TempDir;

using testing::Kfs;
using testing::ToolRun;

// A ProcessedFiles table of `rows` rows in dir/PROCESSE.KFS.
void MakeTable(const std::string& dir, int rows) {
  auto t = DeclareProcessedFiles(dir);
  ASSERT_EQ(t->Create(), 0);
  ASSERT_EQ(t->Open(), 0);
  for (int i = 0; i < rows; ++i) {
    std::vector<char>& b = t->buffer();
    std::fill(b.begin(), b.end(), ' ');
    const std::string name = "rec" + std::to_string(i) + ".wav";
    std::memcpy(b.data() + processed::kFileName, name.data(), name.size());
    b[processed::kProcessed] = static_cast<char>(i % 2);
    const int16_t box = static_cast<int16_t>(100 + i);
    std::memcpy(b.data() + processed::kMailbox, &box, 2);
    ASSERT_EQ(t->Add(), 0);
  }
  ASSERT_EQ(t->Close(), 0);
}

TEST(KfsToolTest, SoundFileInfoDumpAndCheck) {
  TempDir dir;
  MakeTable(dir.path(), 300);
  const std::string file = ProcessedFilesFile(dir.path());
  ToolRun info = Kfs("info " + file);
  EXPECT_EQ(info.exit_code, 0) << info.out;
  EXPECT_NE(info.out.find("table UNNAMED: number"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("record length 906, 300 rows, 2 keys"), std::string::npos) << info.out;

  ToolRun schema = Kfs("dump " + file + " --schema");
  EXPECT_EQ(schema.exit_code, 0) << schema.out;
  EXPECT_NE(schema.out.find("PRO:FILENAMEKEY"), std::string::npos);
  EXPECT_NE(schema.out.find("attributes 7: +PRO:PROCESSED"), std::string::npos) << schema.out;

  ToolRun dump = Kfs("dump " + file);
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_NE(dump.out.find("PRO:FILENAME=\"rec0.wav\""), std::string::npos);
  EXPECT_NE(dump.out.find("PRO:MAILBOX=399"), std::string::npos);
  // Record order: rec0 before rec10; name order: rec10 before rec2.
  EXPECT_LT(dump.out.find("\"rec2.wav\""), dump.out.find("\"rec10.wav\""));
  ToolRun by_key = Kfs("dump '" + file + "\\!UNNAMED' --key pro:filenamekey");
  EXPECT_EQ(by_key.exit_code, 0) << by_key.out;
  EXPECT_GT(by_key.out.find("\"rec2.wav\""), by_key.out.find("\"rec10.wav\""));
  ToolRun processed = Kfs("dump " + file + " --key PRO:PROCESSEDKEYCONTROL");
  EXPECT_EQ(processed.exit_code, 0);
  EXPECT_EQ(processed.out.find("\"rec0.wav\""), std::string::npos);
  EXPECT_NE(processed.out.find("\"rec1.wav\""), std::string::npos);
  EXPECT_EQ(Kfs("dump " + file + " --key NOSUCHKEY").exit_code, 2);
  EXPECT_EQ(Kfs("dump '" + file + "\\!OTHER'").exit_code, 2);

  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("300 rows, 2 keys: sound"), std::string::npos) << check.out;
}

TEST(KfsToolTest, UsageAndMissingFiles) {
  ToolRun help = Kfs("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: kfs info FILE"), std::string::npos);
  EXPECT_NE(help.out.find("kfs import FILE[\\!TABLE] --schema SCHEMA"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("key   NAME [external \"TEXT\"] attributes N:"), std::string::npos);
  EXPECT_EQ(Kfs("").exit_code, 2);
  EXPECT_EQ(Kfs("frobnicate x").exit_code, 2);
  ToolRun missing = Kfs("check /nonexistent/NOFILE.KFS");
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.out.find("File Not Found"), std::string::npos) << missing.out;
  TempDir dir;
  const std::string junk = dir.path() + "/JUNK.KFS";
  std::ofstream(junk) << "not a table file";
  ToolRun bad = Kfs("info " + junk);
  EXPECT_NE(bad.exit_code, 0);
  EXPECT_NE(bad.out.find("Invalid Data File"), std::string::npos) << bad.out;
}

TEST(KfsToolTest, CheckFindsMissingEntriesAndWrongCounts) {
  TempDir dir;
  MakeTable(dir.path(), 50);
  const std::string file = ProcessedFilesFile(dir.path());
  // Take out one key entry and one row record behind the table's back: the
  // tree stays sound, the table does not.
  {
    std::unique_ptr<TreeFile> f;
    TreeFile::Options o;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), file, o, &f).ok());
    ASSERT_TRUE(f->Begin(true).ok());
    Record r;
    bool found = false;
    std::string name;
    ASSERT_TRUE(f->tree().Get(TableNameKey("UNNAMED"), &name, &found).ok());
    ASSERT_TRUE(found);
    const uint32_t table = DecodeNumber(name);
    ASSERT_TRUE(f->tree().Seek(KeyPrefix(table, 0), &r, &found).ok());
    ASSERT_TRUE(found);
    ASSERT_TRUE(f->tree().Delete(r.key, &found).ok());
    ASSERT_TRUE(f->tree().Seek(RowPrefix(table), &r, &found).ok());
    ASSERT_TRUE(found);
    const std::string last_row = RowKey(table, DecodeNumber(r.key.substr(r.key.size() - 4)) + 10);
    ASSERT_TRUE(f->tree().Delete(last_row, &found).ok());
    ASSERT_TRUE(found);
    ASSERT_TRUE(f->Commit().ok());
  }
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 1) << check.out;
  EXPECT_NE(check.out.find("statistics say 50 rows, the table holds 49"), std::string::npos)
      << check.out;
  EXPECT_NE(
      check.out.find("key PRO:FILENAMEKEY: an entry names record 12, which is not in the table"),
      std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("key PRO:FILENAMEKEY: record 2 has no entry"), std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("DAMAGED"), std::string::npos);
}

TEST(KfsToolTest, CheckRejectsDamagedPages) {
  TempDir dir;
  MakeTable(dir.path(), 300);
  const std::string file = ProcessedFilesFile(dir.path());
  std::string bytes;
  {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(bytes.size(), 8192u);
  // Scribble over the second half of the pages.
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 1) << check.out;
  EXPECT_NE(check.out.find("DAMAGED"), std::string::npos) << check.out;
  // A file cut short of its data.
  std::filesystem::resize_file(file, 512 + 256);
  ToolRun cut = Kfs("check " + file);
  EXPECT_NE(cut.exit_code, 0) << cut.out;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Text with commas, doubled quotes and a line end inside quoted fields.
const char kPeopleSchema[] =
    "table PEOPLE record length 80\n"
    "  field P:NAME STRING offset 0 size 30\n"
    "  field P:AGE SHORT offset 30 size 2\n"
    "  field P:CITY CSTRING offset 32 size 20\n"
    "  field P:SCORE REAL offset 52 size 8\n"
    "  memo  P:NOTES size 200 flags 0\n"
    "  key   P:NAMEKEY attributes 4: +P:NAME\n"
    "  key   P:AGEKEY attributes 1: -P:AGE +P:NAME\n";
const char kPeopleRows[] =
    "P:NAME,P:AGE,P:CITY,P:SCORE,P:NOTES\n"
    "\"Smith, John\",42,\"Paris\",1.5,\"said \"\"hi\"\",\nthen left\"\n"
    "\"O'Brien \"\"Ob\"\"\",7,\"Cork, West\",-0.1,\"\"\n"
    "\"abe\",42,\"\",0,\"x\"\n";

TEST(KfsToolTest, ImportedRowsDumpBackUnchanged) {
  TempDir dir;
  const std::string file = dir.path() + "/PEOPLE.KFS";
  WriteText(dir.path() + "/schema.txt", kPeopleSchema);
  WriteText(dir.path() + "/rows.csv", kPeopleRows);
  const std::string table = "'" + file + "\\!people'";
  ToolRun import = Kfs("import " + table + " --schema " + dir.path() + "/schema.txt < " +
                       dir.path() + "/rows.csv");
  ASSERT_EQ(import.exit_code, 0) << import.out;
  EXPECT_NE(import.out.find("3 rows imported"), std::string::npos) << import.out;

  ToolRun csv = Kfs("dump " + table + " --csv");
  EXPECT_EQ(csv.exit_code, 0);
  EXPECT_EQ(csv.out, kPeopleRows);
  // Descending age, then name by its bytes (the key is not case-blind):
  // both 42s first, "Smith" before "abe".
  ToolRun by_age = Kfs("dump " + table + " --key P:AGEKEY");
  EXPECT_LT(by_age.out.find("\"Smith, John\""), by_age.out.find("\"abe\""));
  EXPECT_LT(by_age.out.find("\"abe\""), by_age.out.find("O'Brien"));
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("table PEOPLE: 3 rows, 2 keys: sound"), std::string::npos) << check.out;
  // A second import of the same table is refused; the rows stay.
  import = Kfs("import " + table + " --schema " + dir.path() + "/schema.txt < " + dir.path() +
               "/rows.csv");
  EXPECT_EQ(import.exit_code, 2);
  EXPECT_NE(import.out.find("table PEOPLE already exists"), std::string::npos) << import.out;
  EXPECT_EQ(Kfs("dump " + table + " --csv").out, kPeopleRows);
}

// A definition using every item the schema text carries.
TableDef RichDef() {
  TableDef d;
  d.record_length = 64;
  FieldDef name = MakeField("R:NAME", kTypeString, 0, 20);
  name.picture = "@s20 \"x\"";
  name.attr1 = 1;
  FieldDef date = MakeField("R:DATE", kTypeDate, 20, 4);
  date.attr2 = 1;
  FieldDef time = MakeField("R:TIME", kTypeTime, 24, 4);
  time.attr3 = 7;
  FieldDef amount = MakeField("R:AMOUNT", kTypeDecimal, 28, 5);
  amount.digits = 9;
  amount.places = 2;
  FieldDef code = MakeField("R:CODE", kTypePString, 37, 10);
  code.string_length = 9;
  d.fields = {name,
              MakeField("R:WHEN", kTypeGroup, 20, 8),
              date,
              time,
              amount,
              MakeField("R:RATIO", kTypeSReal, 33, 4),
              code,
              MakeField("R:CODE", kTypeULong, 47, 4),  // a second field of that name
              MakeField("R:HAS BLANK", kTypeCString, 51, 13)};
  d.memos = {{"NOTEFILE", "R:NOTE", 100, 0}, {"", "R:BLOB", 50, kMemoBinary}};
  KeyDef by_name = MakeKey("R:NAMEKEY", kKeyNoCase, {{0, 0}});
  by_name.external_name = "Name Key";
  d.keys = {by_name, MakeKey("R:WHENKEY", kKeyDuplicates | kKeyDeferred, {{2, 1}, {3, 0}}),
            MakeKey("R:CODEKEY", kKeyDuplicates | kKeyOptional, {{7, 0}, {6, 3}}),
            MakeKey("R:DYNKEY", kKeyDynamic | kKeyDuplicates, {{8, 0}})};
  return d;
}

TEST(KfsToolTest, DumpedSchemaAndRowsRebuildTheSameTable) {
  TempDir dir;
  const std::string original = dir.path() + "/RICH.KFS";
  const TableDef def = RichDef();
  ASSERT_EQ(CheckTableDef(def), "");
  {
    std::unique_ptr<TreeFile> f;
    TreeFile::Options o;
    o.create = true;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), original, o, &f).ok());
    ASSERT_TRUE(f->Begin(true).ok());
    StoredTable t(&f->tree(), f.get());
    ASSERT_TRUE(t.Create("RICH", def, Collation::BuiltIn(), true).ok());
    for (int i = 0; i < 3; ++i) {
      std::string row(def.record_length, ' ');
      const std::string name = "Ann, \"no. " + std::to_string(i) + "\"";
      row.replace(0, name.size(), name);
      const int32_t day = 80000 + i;
      std::memcpy(row.data() + 20, &day, 4);
      row.replace(28, 5, std::string("\x00\x00\x12\x34\x5C", 5));
      const float ratio = 0.1f * static_cast<float>(i);
      std::memcpy(row.data() + 33, &ratio, 4);
      row.replace(37, 4,
                  std::string("\x03"
                              "a,b",
                              4));
      row.replace(51, 6, std::string("x\ny\0zz", 6));
      const std::vector<std::string> memos = {"line one,\nline \"two\"",
                                              std::string("\0\x01\xFF", 3)};
      ASSERT_EQ(row.size(), def.record_length);
      uint32_t record = 0;
      ASSERT_TRUE(t.Add(row, &memos, false, &record).ok());
    }
    TableStats st;
    ASSERT_TRUE(t.ReadStats(kStatsTable, &st).ok());
    st.second = 5;
    ASSERT_TRUE(t.WriteStats(kStatsTable, st).ok());
    ASSERT_TRUE(f->Commit().ok());
  }
  const std::string from = "'" + original + "\\!RICH'";
  const std::string schema = dir.path() + "/rich.schema", rows = dir.path() + "/rich.csv";
  ASSERT_EQ(Kfs("dump " + from + " --schema > " + schema).exit_code, 0);
  ASSERT_EQ(Kfs("dump " + from + " --csv > " + rows).exit_code, 0);
  EXPECT_NE(ReadText(schema).find("#8"), std::string::npos) << ReadText(schema);

  const std::string copy = dir.path() + "/COPY.KFS";
  ToolRun import = Kfs("import '" + copy + "\\!RICH' --schema " + schema + " < " + rows);
  ASSERT_EQ(import.exit_code, 0) << import.out << ReadText(schema) << ReadText(rows);
  const std::string to = "'" + copy + "\\!RICH'";
  EXPECT_EQ(Kfs("dump " + to + " --schema").out, ReadText(schema));
  EXPECT_EQ(Kfs("dump " + to + " --csv").out, ReadText(rows));
  EXPECT_EQ(Kfs("dump " + to).out, Kfs("dump " + from).out);
  EXPECT_EQ(Kfs("check " + copy).exit_code, 0);
  // The stored definition itself is the original, item for item.
  std::unique_ptr<TreeFile> f;
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), copy, TreeFile::Options(), &f).ok());
  ASSERT_TRUE(f->Begin(false).ok());
  StoredTable t(&f->tree(), f.get());
  ASSERT_TRUE(t.Open("RICH", &def).ok());
  TableStats st;
  ASSERT_TRUE(t.ReadStats(kStatsTable, &st).ok());
  EXPECT_TRUE(t.def() == def);
  EXPECT_TRUE(t.oem());
  EXPECT_EQ(st.count, 3u);
  EXPECT_EQ(st.second, 5u);
  f->EndRead();
}

TEST(KfsToolTest, BadImportsNameTheLineAndLeaveNothing) {
  TempDir dir;
  const std::string schema = dir.path() + "/schema.txt", rows = dir.path() + "/rows.csv";
  const std::string fresh = "'" + dir.path() + "/NEW.KFS\\!PEOPLE'";
  std::string bad_schema = kPeopleSchema;
  bad_schema.replace(bad_schema.find("SHORT"), 5, "SHORTY");
  WriteText(schema, bad_schema);
  WriteText(rows, kPeopleRows);
  ToolRun run = Kfs("import " + fresh + " --schema " + schema + " < " + rows);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.out.find("line 3: unknown field type \"SHORTY\""), std::string::npos) << run.out;

  WriteText(schema, kPeopleSchema);
  WriteText(rows, std::string(kPeopleRows) + "\"Lee\",30,\"Rome\",2\n");
  run = Kfs("import " + fresh + " --schema " + schema + " < " + rows);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.out.find("stdin line 6: 4 fields, the header has 5"), std::string::npos) << run.out;
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/NEW.KFS"));

  // Into a file that holds another table: a clash on the unique key (names
  // compare without regard to case) takes back every row.
  MakeTable(dir.path(), 20);
  const std::string file = ProcessedFilesFile(dir.path());
  WriteText(rows, std::string(kPeopleRows) + "\"SMITH, JOHN\",1,\"\",0,\"\"\n");
  run = Kfs("import '" + file + "\\!PEOPLE' --schema " + schema + " < " + rows);
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_NE(run.out.find("stdin line 6: Creates Duplicate Key (40) on key P:NAMEKEY"),
            std::string::npos)
      << run.out;
  ToolRun info = Kfs("info " + file);
  EXPECT_EQ(info.out.find("PEOPLE"), std::string::npos) << info.out;
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("20 rows, 2 keys: sound"), std::string::npos) << check.out;
}

TEST(KfsToolTest, PackBuildsKeyEntriesOfAppendedRows) {
  TempDir dir;
  MakeTable(dir.path(), 10);
  const std::string file = ProcessedFilesFile(dir.path());
  {
    std::unique_ptr<TreeFile> f;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), file, TreeFile::Options(), &f).ok());
    ASSERT_TRUE(f->Begin(true).ok());
    StoredTable t(&f->tree(), f.get());
    ASSERT_TRUE(t.Open("UNNAMED", nullptr).ok());
    for (int i = 10; i < 25; ++i) {
      std::string row(kProcessedFilesLength, ' ');
      row.replace(0, 12, "append" + std::to_string(i) + ".wav");
      row[processed::kProcessed] = 1;
      uint32_t record = 0;
      ASSERT_TRUE(t.Add(row, nullptr, true, &record).ok());
    }
    // A second table whose only key is deferred: pack leaves it pending.
    TableDef d;
    d.record_length = 8;
    d.fields = {MakeField("D:NAME", kTypeString, 0, 8)};
    d.keys = {MakeKey("D:LATER", kKeyDeferred, {{0, 0}})};
    StoredTable later(&f->tree(), f.get());
    ASSERT_TRUE(later.Create("LATER", d, Collation::BuiltIn(), false).ok());
    uint32_t record = 0;
    ASSERT_TRUE(later.Add("one     ", nullptr, false, &record).ok());
    ASSERT_TRUE(f->Commit().ok());
  }
  const std::string by_name = "dump " + file + " --key PRO:FILENAMEKEY --csv";
  // Before the build the key lacks the appended rows' entries: dump builds
  // it in memory and lists every row, leaving the file as it is.
  const std::string bytes_before = ReadText(file);
  ToolRun before = Kfs(by_name);
  EXPECT_EQ(std::count(before.out.begin(), before.out.end(), '\n'), 26) << before.out;
  EXPECT_LT(before.out.find("\"append10.wav\""), before.out.find("\"rec0.wav\""));
  EXPECT_EQ(ReadText(file), bytes_before);
  ToolRun pack = Kfs("pack " + file);
  ASSERT_EQ(pack.exit_code, 0) << pack.out;
  EXPECT_NE(pack.out.find("table UNNAMED: 25 rows"), std::string::npos) << pack.out;
  EXPECT_NE(pack.out.find("key PRO:FILENAMEKEY: built from record 12, 25 entries"),
            std::string::npos)
      << pack.out;
  EXPECT_NE(pack.out.find("key PRO:PROCESSEDKEYCONTROL: built from record 12"), std::string::npos)
      << pack.out;
  EXPECT_NE(pack.out.find("key D:LATER: deferred, not built"), std::string::npos) << pack.out;
  ToolRun after = Kfs(by_name);
  EXPECT_EQ(std::count(after.out.begin(), after.out.end(), '\n'), 26)
      << after.out;  // header and 25 rows
  EXPECT_LT(after.out.find("\"append10.wav\""), after.out.find("\"rec0.wav\""));
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("25 rows, 2 keys: sound"), std::string::npos) << check.out;
  // The file ends where its data ends.
  ToolRun info = Kfs("info " + file);
  ASSERT_NE(info.out.find("data end: "), std::string::npos) << info.out;
  EXPECT_EQ(std::filesystem::file_size(file),
            std::stoull(info.out.substr(info.out.find("data end: ") + 10)));

  ToolRun missing = Kfs("pack " + dir.path() + "/NOFILE.KFS");
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.out.find("File Not Found"), std::string::npos) << missing.out;
  EXPECT_EQ(Kfs("pack '" + file + "\\!NOSUCH'").exit_code, 2);
}

}  // namespace
}  // namespace vm::storage
