// The kfs tool on its usage mistakes, empty files, files with pages behind
// an empty header, damage that only a table-level check sees (entries naming
// the wrong row, broken memos, a number counter below numbers in use), CSV
// round trips that must keep every byte, and keys of long string fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "platform/byte_coding.h"
#include "storage/file/file_header.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {
namespace {

using testing::Kfs;
using testing::TempDir;
using testing::ToolRun;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

std::string Quoted(const std::string& s) {
  return "'" + s + "'";
}

// Imports `rows` (CSV text) into FILE\!TABLE from `schema` (text).
ToolRun Import(const TempDir& dir, const std::string& table, const std::string& schema,
               const std::string& rows) {
  WriteFile(dir.path() + "/import.schema", schema);
  WriteFile(dir.path() + "/import.csv", rows);
  return Kfs("import " + Quoted(table) + " --schema " + dir.path() + "/import.schema < " +
             dir.path() + "/import.csv");
}

// Runs `edit` on table `name` of the file inside one committed operation.
void Edit(const std::string& file, const std::string& name,
          const std::function<void(TreeFile&, StoredTable&)>& edit) {
  std::unique_ptr<TreeFile> f;
  TreeFile::Options o;
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), file, o, &f).ok());
  ASSERT_TRUE(f->Begin(true).ok());
  StoredTable t(&f->tree(), f.get());
  ASSERT_TRUE(t.Open(name, nullptr).ok());
  edit(*f, t);
  ASSERT_TRUE(f->Commit().ok());
}

// The rows of a table in record order, each followed by its memos.
std::vector<std::string> RowsAndMemos(const std::string& file, const std::string& name) {
  std::vector<std::string> out;
  std::unique_ptr<TreeFile> f;
  TreeFile::Options o;
  o.access = platform::Access::kRead;
  EXPECT_TRUE(TreeFile::Open(platform::Env::Default(), file, o, &f).ok());
  if (!f || !f->Begin(false).ok()) return out;
  StoredTable t(&f->tree(), f.get());
  EXPECT_TRUE(t.Open(name, nullptr).ok());
  uint32_t record = 0;
  bool found = true;
  while (t.NextRow(record, &record, &found).ok() && found) {
    std::string row;
    EXPECT_TRUE(t.ReadRow(record, &row, &found).ok());
    out.push_back(row);
    for (size_t m = 0; m < t.def().memos.size(); ++m) {
      std::string memo;
      EXPECT_TRUE(t.ReadMemo(record, static_cast<uint8_t>(m), &memo).ok());
      out.push_back(memo);
    }
  }
  f->EndRead();
  return out;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

const char kKeysSchema[] =
    "table PEOPLE record length 24\n"
    "  field P:N LONG offset 0 size 4\n"
    "  field P:NAME STRING offset 4 size 20\n"
    "  key   P:NKEY attributes 0: +P:N\n"
    "  key   P:LATER attributes 33: -P:N\n"
    "  key   P:BYNAME attributes 65: +P:NAME\n";
const char kKeysRows[] = "P:N,P:NAME\n3,\"cat\"\n1,\"ant\"\n2,\"bee\"\n";

TEST(KfsUsageTest, MistakesPrintOneLineAndExitTwo) {
  TempDir dir;
  const std::string file = dir.path() + "/P.KFS";
  ASSERT_EQ(Import(dir, file + "\\!PEOPLE", kKeysSchema, kKeysRows).exit_code, 0);
  const std::string mistakes[] = {"",
                                  "check",
                                  "check " + file + " extra",
                                  "info " + file + " " + file,
                                  "pack",
                                  "dump",
                                  "dump " + file + " --key",
                                  "dump " + file + " --bogus",
                                  "dump " + file + " --csv --schema",
                                  "import " + file,
                                  "import " + file + " --schema",
                                  "frobnicate " + file};
  for (const std::string& args : mistakes) {
    ToolRun r = Kfs(args);
    EXPECT_EQ(r.exit_code, 2) << "kfs " << args;
    EXPECT_EQ(Lines(r.out), 1u) << "kfs " << args << ":\n" << r.out;
    EXPECT_NE(r.out.find("(see kfs --help)"), std::string::npos) << r.out;
  }
  ToolRun extra = Kfs("check " + file + " extra");
  EXPECT_NE(extra.out.find("extra argument extra"), std::string::npos) << extra.out;
  ToolRun help = Kfs("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Quote FILE\\!TABLE for the shell"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("data.kfs!PEOPLE works too"), std::string::npos) << help.out;
}

TEST(KfsUsageTest, PlainBangNamesTheTableOfAnExistingFile) {
  TempDir dir;
  const std::string file = dir.path() + "/P.KFS";
  ASSERT_EQ(Import(dir, file + "\\!PEOPLE", kKeysSchema, kKeysRows).exit_code, 0);
  const ToolRun quoted = Kfs("dump " + Quoted(file + "\\!PEOPLE") + " --csv");
  ASSERT_EQ(quoted.exit_code, 0) << quoted.out;
  EXPECT_EQ(quoted.out, kKeysRows);
  // Unquoted, the shell takes the backslash away; plain "!" is the same.
  EXPECT_EQ(Kfs("dump " + file + "\\!PEOPLE --csv").out, quoted.out);
  EXPECT_EQ(Kfs("dump " + file + "!PEOPLE --csv").out, quoted.out);
  // A file that really has "!" in its name stays a file name.
  const std::string odd = dir.path() + "/A!B.KFS";
  ASSERT_EQ(Import(dir, odd + "\\!PEOPLE", kKeysSchema, kKeysRows).exit_code, 0);
  EXPECT_EQ(Kfs("dump " + Quoted(odd) + " --csv").exit_code, 2);  // no UNNAMED table
  EXPECT_EQ(Kfs("dump " + Quoted(odd + "\\!PEOPLE") + " --csv").out, quoted.out);
  testing::ExpectSoundFile(file);
  testing::ExpectSoundFile(odd);
}

TEST(KfsUsageTest, DumpByDeferredOrDynamicKeyBuildsItInMemory) {
  TempDir dir;
  const std::string file = dir.path() + "/P.KFS";
  ASSERT_EQ(Import(dir, file + "\\!PEOPLE", kKeysSchema, kKeysRows).exit_code, 0);
  const std::string table = Quoted(file + "\\!PEOPLE");
  const std::string before = ReadFile(file);
  ToolRun later = Kfs("dump " + table + " --key P:LATER --csv");
  EXPECT_EQ(later.exit_code, 0) << later.out;
  EXPECT_EQ(later.out, "P:N,P:NAME\n3,\"cat\"\n2,\"bee\"\n1,\"ant\"\n");
  ToolRun by_name = Kfs("dump " + table + " --key P:BYNAME --csv");
  EXPECT_EQ(by_name.exit_code, 0) << by_name.out;
  EXPECT_EQ(by_name.out, "P:N,P:NAME\n1,\"ant\"\n2,\"bee\"\n3,\"cat\"\n");
  EXPECT_EQ(ReadFile(file), before);  // built in memory only
  testing::ExpectSoundFile(file);
}

TEST(KfsEmptyFileTest, ZeroBytesAreNamedAsSuch) {
  TempDir dir;
  const std::string file = dir.path() + "/EMPTY.KFS";
  WriteFile(file, "");
  for (const char* command : {"info ", "check ", "dump ", "pack "}) {
    ToolRun r = Kfs(command + file);
    EXPECT_NE(r.out.find("an empty file (0 bytes), not a table file"), std::string::npos)
        << command << r.out;
    EXPECT_EQ(r.out.find("1194"), std::string::npos) << command << r.out;
    EXPECT_EQ(r.out.find("data end"), std::string::npos) << command << r.out;
  }
  EXPECT_EQ(Kfs("check " + file).exit_code, 0);
  EXPECT_EQ(Kfs("dump " + file).exit_code, 2);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

TEST(KfsPackTest, PagesBehindAnEmptyHeaderAreCut) {
  // What a first import killed while writing its pages leaves: the empty
  // header written before any page, then megabytes of pages.
  TempDir dir;
  const std::string file = dir.path() + "/KILLED.KFS";
  FileHeader empty;
  WriteFile(file, empty.Encode() + std::string(3 << 20, '\xB0'));
  ToolRun pack = Kfs("pack " + file);
  EXPECT_EQ(pack.exit_code, 0) << pack.out;
  EXPECT_EQ(std::filesystem::file_size(file), 512u);
  testing::ExpectSoundFile(file);
  // The file takes a table afterwards.
  EXPECT_EQ(Import(dir, file + "\\!PEOPLE", kKeysSchema, kKeysRows).exit_code, 0);
  testing::ExpectSoundFile(file);
}

const char kMemoSchema[] =
    "table M record length 24\n"
    "  field M:N LONG offset 0 size 4\n"
    "  field M:NAME STRING offset 4 size 20\n"
    "  memo  M:NOTE size 1000 flags 0\n"
    "  memo  M:BLOB size 600 flags 4\n"
    "  key   M:NAMEKEY attributes 0: +M:NAME\n";

// Rows 1..6, each with a note of 3 chunks and a blob of 2.
std::string MemoRows() {
  std::string csv = "M:N,M:NAME,M:NOTE,M:BLOB\n";
  for (int i = 1; i <= 6; ++i) {
    std::string blob;
    for (int b = 0; b < 300; ++b) blob += "0A";
    csv += std::to_string(i) + ",\"name " + std::to_string(i) + "\",\"" +
           std::string(600, static_cast<char>('a' + i)) + "\"," + blob + "\n";
  }
  return csv;
}

// Row numbers of the table in record order.
std::vector<uint32_t> RowNumbers(StoredTable& t) {
  std::vector<uint32_t> rows;
  uint32_t record = 0;
  bool found = true;
  while (t.NextRow(record, &record, &found).ok() && found) rows.push_back(record);
  return rows;
}

TEST(KfsCheckTest, FindsWhatOnlyTheTableShows) {
  TempDir dir;
  const std::string sound = dir.path() + "/SOUND.KFS";
  ASSERT_EQ(Import(dir, sound + "\\!M", kMemoSchema, MemoRows()).exit_code, 0);
  ToolRun first = Kfs("check " + sound);
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const std::string bytes = ReadFile(sound);
  const std::string file = dir.path() + "/BAD.KFS";
  // Each damage on a fresh copy of the sound file; `want` are the lines.
  auto expect =
      [&](const std::function<void(TreeFile&, StoredTable&, std::vector<uint32_t>&)>& damage,
          const std::vector<std::string>& want) {
        WriteFile(file, bytes);
        Edit(file, "M", [&](TreeFile& f, StoredTable& t) {
          std::vector<uint32_t> rows = RowNumbers(t);
          ASSERT_EQ(rows.size(), 6u);
          damage(f, t, rows);
        });
        ToolRun check = Kfs("check " + file);
        EXPECT_EQ(check.exit_code, 1) << check.out;
        for (const std::string& w : want)
          EXPECT_NE(check.out.find(w), std::string::npos) << w << "\n" << check.out;
      };
  // A unique entry naming another row: "name 2" points at the fifth row. A
  // new file's first table is number 1, its rows 2, 3, ...
  expect(
      [](TreeFile& f, StoredTable& t, std::vector<uint32_t>& rows) {
        std::string row(24, ' ');
        std::memcpy(row.data() + 4, "name 2", 6);
        std::string entry;
        ASSERT_TRUE(t.EntryKey(0, row, rows[1], &entry));
        ASSERT_TRUE(f.tree().Put(entry, EncodeNumber(rows[4])).ok());
      },
      {"key M:NAMEKEY: an entry names record 6 but does not hold that row's key value",
       "key M:NAMEKEY: record 3 has no entry"});
  // A note chunk moved to another number, a chunk of a row that is not
  // there, a blob whose length says more than it holds.
  expect(
      [](TreeFile& f, StoredTable& t, std::vector<uint32_t>& rows) {
        std::string chunk;
        bool found = false;
        ASSERT_TRUE(f.tree().Get(MemoChunkKey(t.number(), rows[0], 0, 1), &chunk, &found).ok());
        ASSERT_TRUE(found);
        ASSERT_TRUE(f.tree().Delete(MemoChunkKey(t.number(), rows[0], 0, 1), &found).ok());
        ASSERT_TRUE(f.tree().Insert(MemoChunkKey(t.number(), rows[0], 0, 7), chunk).ok());
      },
      {"record 2, memo M:NOTE: chunk 1 is missing (chunks 0, 2, 7)"});
  expect(
      [](TreeFile& f, StoredTable& t, std::vector<uint32_t>&) {
        ASSERT_TRUE(f.tree().Insert(MemoChunkKey(t.number(), t.number(), 0, 0), "stray").ok());
      },
      {"chunks of a row that is not in the table"});
  expect(
      [](TreeFile& f, StoredTable& t, std::vector<uint32_t>& rows) {
        const std::string key = MemoChunkKey(t.number(), rows[3], 1, 0);
        std::string chunk;
        bool found = false;
        ASSERT_TRUE(f.tree().Get(key, &chunk, &found).ok());
        ASSERT_TRUE(found);
        chunk[0] = static_cast<char>(chunk[0] + 1);
        ASSERT_TRUE(f.tree().Put(key, chunk).ok());
      },
      {"memo M:BLOB: says 301 bytes, holds 300"});
  // The header's last issued number lowered below the rows' numbers.
  WriteFile(file, bytes);
  std::string damaged = bytes;
  damaged.replace(20, 4, std::string("\0\0\0\x02", 4));
  WriteFile(file, damaged);
  ToolRun numbers = Kfs("check " + file);
  EXPECT_EQ(numbers.exit_code, 1) << numbers.out;
  EXPECT_NE(numbers.out.find("header: last issued number 2 is below number"), std::string::npos)
      << numbers.out;
}

// Every field type, and a unique key on a CSTRING.
const char kAllTypesSchema[] =
    "table A record length 64\n"
    "  field A:S STRING offset 0 size 12\n"
    "  field A:C CSTRING offset 12 size 6\n"
    "  field A:P PSTRING offset 18 size 8\n"
    "  field A:B BYTE offset 26 size 1\n"
    "  field A:SH SHORT offset 27 size 2\n"
    "  field A:US USHORT offset 29 size 2\n"
    "  field A:L LONG offset 31 size 4\n"
    "  field A:UL ULONG offset 35 size 4\n"
    "  field A:D DATE offset 39 size 4\n"
    "  field A:T TIME offset 43 size 4\n"
    "  field A:F SREAL offset 47 size 4\n"
    "  field A:R REAL offset 51 size 8\n"
    "  field A:DEC DECIMAL offset 59 size 5 digits 9 places 2\n"
    "  memo  A:M size 100 flags 0\n"
    "  memo  A:BIN size 50 flags 4\n"
    "  key   A:CKEY attributes 2: +A:C\n";

TEST(KfsCsvTest, DumpImportsBackToTheSameBytes) {
  TempDir dir;
  const std::string original = dir.path() + "/ORIG.KFS";
  ASSERT_EQ(Import(dir, original + "\\!A", kAllTypesSchema, "A:S\n").exit_code, 0);
  std::vector<std::string> rows;
  auto row = [](std::string s, std::string c, std::string p, std::string rest) {
    EXPECT_EQ(s.size() * 100 + c.size() * 10 + p.size(), 1268u) << "field widths";
    std::string r = s + c + p + rest;
    r.resize(64, '\0');
    return r;
  };
  const double nan_payload = [] {
    const uint64_t bits = 0x7FF0000000000123ull;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }();
  std::string numbers(38, '\0');
  for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = static_cast<char>(0x81 + 7 * i);
  // A full-width CSTRING ending in a blank, and the same text with a
  // terminator: the unique key tells them apart only if the blank stays.
  rows.push_back(row("a,b \"q\"     ", "ab  x ", std::string("\x03xyz\0\0\0\0", 8), numbers));
  rows.push_back(row("l1\r\nl2\n     ", std::string("ab  x\0", 6), std::string(8, '\0'), ""));
  // Non-ASCII text, NUL padding in a STRING, bytes after a CSTRING's and a
  // PSTRING's end, a NaN with a payload.
  std::string odd_numbers(38, '\0');
  std::memcpy(odd_numbers.data() + 25, &nan_payload, 8);
  rows.push_back(row(std::string("\xC3\xA9t\xFF\0\0\0\0\0\0\0\0", 12), std::string("z\0y\0\0\0", 6),
                     std::string("\x02hi  \0q", 8), odd_numbers));
  rows.push_back(std::string(64, '\0'));  // every field zero
  const std::vector<std::vector<std::string>> memos = {
      {"note, with \"quotes\"\r\nand lines", std::string("\0\x01\xFF,\"", 5)},
      {"", ""},
      {"  leading blanks kept", std::string(50, '\0')},
      {"x", "y"}};
  Edit(original, "A", [&](TreeFile&, StoredTable& t) {
    for (size_t i = 0; i < rows.size(); ++i) {
      uint32_t record = 0;
      Status s = t.Add(rows[i], &memos[i], false, &record);
      ASSERT_TRUE(s.ok()) << i << ": " << s.code() << "/" << s.internal();
    }
  });
  const std::string csv = dir.path() + "/a.csv";
  ToolRun dump = Kfs("dump " + Quoted(original + "\\!A") + " --csv > " + csv);
  ASSERT_EQ(dump.exit_code, 0) << dump.out;
  const std::string copy = dir.path() + "/COPY.KFS";
  WriteFile(dir.path() + "/a.schema", kAllTypesSchema);
  ToolRun import =
      Kfs("import " + Quoted(copy + "\\!A") + " --schema " + dir.path() + "/a.schema < " + csv);
  ASSERT_EQ(import.exit_code, 0) << import.out << ReadFile(csv);
  EXPECT_EQ(RowsAndMemos(copy, "A"), RowsAndMemos(original, "A")) << ReadFile(csv);
  // And once more from the copy: the dump is the same text.
  EXPECT_EQ(Kfs("dump " + Quoted(copy + "\\!A") + " --csv").out, ReadFile(csv));
  testing::ExpectSoundFile(original);
  testing::ExpectSoundFile(copy);
}

// Creates FILE with table `name` as earlier versions' import did: they let
// a table declare a key longer than CheckNewTableDef allows now, and took
// its values when they compressed. Such files keep working.
void CreateAsEarlierVersion(const std::string& file, const std::string& name, const TableDef& def,
                            const std::vector<std::string>& rows) {
  ASSERT_EQ(CheckTableDef(def), "");
  std::unique_ptr<TreeFile> f;
  TreeFile::Options o;
  o.create = true;
  ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), file, o, &f).ok());
  ASSERT_TRUE(f->Begin(true).ok());
  StoredTable t(&f->tree(), f.get());
  ASSERT_TRUE(t.Create(name, def, Collation::BuiltIn(), false).ok());
  for (size_t i = 0; i < rows.size(); ++i) {
    uint32_t record = 0;
    Status s = t.Add(rows[i], nullptr, false, &record);
    ASSERT_TRUE(s.ok()) << i << ": " << s.code() << "/" << s.internal();
  }
  ASSERT_TRUE(f->Commit().ok());
}

TEST(KfsLongKeyTest, EightThousandByteKeyTakesRows) {
  TempDir dir;
  const std::string file = dir.path() + "/LONG.KFS";
  const std::string schema =
      "table L record length 8000\n"
      "  field L:TEXT STRING offset 0 size 8000\n"
      "  key   L:TEXTKEY attributes 0: +L:TEXT\n";
  std::string csv = "L:TEXT\n";
  std::vector<std::string> rows;
  for (const char* text : {"charlie", "alpha", "bravo"}) {
    csv += "\"" + std::string(text) + std::string(7000, '.') + "\"\n";
    rows.push_back(std::string(text) + std::string(7000, '.'));
    rows.back().resize(8000, ' ');
  }
  // A new table cannot declare such a key: not every value would fit.
  ToolRun import = Import(dir, file + "\\!L", schema, csv);
  EXPECT_EQ(import.exit_code, 2) << import.out;
  EXPECT_NE(import.out.find("key L:TEXTKEY is too long"), std::string::npos) << import.out;
  // One an earlier version made takes (compressible) rows and reads back.
  TableDef def;
  def.record_length = 8000;
  def.fields = {MakeField("L:TEXT", kTypeString, 0, 8000)};
  def.keys = {MakeKey("L:TEXTKEY", 0, {{0, 0}})};
  CreateAsEarlierVersion(file, "L", def, rows);
  ToolRun by_key = Kfs("dump " + Quoted(file + "\\!L") + " --key L:TEXTKEY");
  EXPECT_EQ(by_key.exit_code, 0) << by_key.out;
  EXPECT_LT(by_key.out.find("alpha"), by_key.out.find("bravo"));
  EXPECT_LT(by_key.out.find("bravo"), by_key.out.find("charlie"));
  testing::ExpectSoundFile(file);
}

TEST(KfsLongKeyTest, ManyKeysUpToTheRecordLimitWithDeletes) {
  // Rows as long as a table's record may be (15,000 bytes) with a unique key
  // on the whole row and one with duplicates: entries of 15,009 bytes, many
  // to a tree, written to the file and read back. Only a table made by an
  // earlier version can have such keys.
  TempDir dir;
  const std::string file = dir.path() + "/LIMIT.KFS";
  TableDef def;
  def.record_length = 15000;
  def.fields = {MakeField("W:TEXT", kTypeString, 0, 15000)};
  def.keys = {MakeKey("W:TEXTKEY", 0, {{0, 0}}), MakeKey("W:DUPKEY", kKeyDuplicates, {{0, 1}})};
  std::vector<std::string> texts, rows;
  for (int i = 0; i < 120; ++i) {
    texts.push_back("row " + std::to_string(i * 37 % 120) + " " + std::string(i * 100, 'x'));
    rows.push_back(texts.back());
    rows.back().resize(15000, ' ');
  }
  CreateAsEarlierVersion(file, "W", def, rows);
  testing::ExpectSoundFile(file);
  // Delete every other row, in record order.
  Edit(file, "W", [](TreeFile&, StoredTable& t) {
    std::vector<uint32_t> rows = RowNumbers(t);
    ASSERT_EQ(rows.size(), 120u);
    for (size_t i = 0; i < rows.size(); i += 2) ASSERT_TRUE(t.Delete(rows[i]).ok()) << i;
  });
  testing::ExpectSoundFile(file);
  std::vector<std::string> kept;
  for (size_t i = 1; i < texts.size(); i += 2) kept.push_back(texts[i]);
  std::sort(kept.begin(), kept.end());
  std::string want = "W:TEXT\n";
  for (const std::string& text : kept) want += "\"" + text + "\"\n";
  EXPECT_EQ(Kfs("dump " + Quoted(file + "\\!W") + " --key W:TEXTKEY --csv").out, want);
  std::string reversed = "W:TEXT\n";
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) reversed += "\"" + *it + "\"\n";
  EXPECT_EQ(Kfs("dump " + Quoted(file + "\\!W") + " --key W:DUPKEY --csv").out, reversed);
}

}  // namespace
}  // namespace vm::storage
