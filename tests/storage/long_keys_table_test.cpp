// Tables whose keys are as long as a new table may declare them, filled with
// random bytes: rows added, read in key order and by key, deleted, across a
// reopen, with the file sound for kfs check; a longer key refused when the
// table is defined; and a table an earlier version defined with a longer
// key, which keeps opening and reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "storage/driver/declared_table.h"
#include "storage/file/result_codes.h"
#include "storage/kfs_run.h"
#include "storage/page_file_fixture.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {
namespace {

using testing::ExpectSoundFile;
using testing::Kfs;
using testing::TempDir;
using testing::ToolRun;

constexpr int kTextKey = 0;
constexpr int kIdKey = 1;

// ID LONG at 0, S STRING of `width` at 4; key KS on S (`duplicates`), key
// KID on ID (unique).
TableDef LongKeyTable(size_t width, bool duplicates) {
  TableDef d;
  d.record_length = static_cast<uint16_t>(4 + width);
  d.fields = {MakeField("ID", kTypeLong, 0, 4),
              MakeField("S", kTypeString, 4, static_cast<uint16_t>(width))};
  d.keys = {MakeKey("KS", duplicates ? kKeyDuplicates : 0, {{1, 0}}), MakeKey("KID", 0, {{0, 0}})};
  return d;
}

// The rows first (one letter, blank-padded), then random bytes of
// every value; with duplicates some values come twice.
std::vector<std::string> Values(size_t width, bool duplicates, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> values;
  for (const char* letter : {"q", "a", "b"}) {
    values.push_back(letter);
    values.back().resize(width, ' ');
  }
  while (values.size() < static_cast<size_t>(count)) {
    if (duplicates && values.size() % 7 == 0) {
      values.push_back(values[rng() % values.size()]);
      continue;
    }
    std::string v(width, '\0');
    for (char& c : v) c = static_cast<char>(rng());
    values.push_back(v);
  }
  return values;
}

void FillRow(DeclaredTable* t, int32_t id, const std::string& value) {
  std::vector<char>& b = t->buffer();
  std::memcpy(b.data(), &id, 4);
  std::memcpy(b.data() + 4, value.data(), value.size());
}

int32_t RowId(DeclaredTable* t) {
  int32_t id = 0;
  std::memcpy(&id, t->buffer().data(), 4);
  return id;
}

// Reads the table in KS order and by KID: the values in byte order (equal
// ones by record, that is by ID), and each ID with its own value.
void ExpectRows(const std::string& path, const TableDef& def,
                const std::map<int32_t, std::string>& rows) {
  DeclaredTable t(path, def);
  ASSERT_EQ(t.Open(), 0);
  std::vector<std::pair<std::string, int32_t>> want;
  for (const auto& [id, value] : rows) want.emplace_back(value, id);
  std::sort(want.begin(), want.end());
  std::vector<std::pair<std::string, int32_t>> got;
  ASSERT_EQ(t.SetKeyStart(kTextKey), 0);
  while (t.Next() == 0) {
    got.emplace_back(std::string(t.buffer().begin() + 4, t.buffer().end()), RowId(&t));
  }
  EXPECT_EQ(t.error(), kErrRecordNotAvailable);
  EXPECT_TRUE(got == want) << got.size() << " rows read in key order, " << want.size() << " stored";
  for (const auto& [id, value] : rows) {
    FillRow(&t, id, std::string(def.record_length - 4, ' '));
    ASSERT_EQ(t.Get(kIdKey), 0) << "ID " << id;
    EXPECT_TRUE(std::equal(value.begin(), value.end(), t.buffer().begin() + 4)) << "ID " << id;
  }
  ASSERT_EQ(t.Close(), 0);
}

TEST(LongKeysTableTest, KeysUpToTheLimitTakeAnyBytesAcrossReopen) {
  for (bool duplicates : {false, true}) {
    for (size_t width : {MaxKeyValueLength(duplicates) - 1, MaxKeyValueLength(duplicates)}) {
      SCOPED_TRACE(std::string(duplicates ? "duplicates, " : "unique, ") + std::to_string(width));
      TempDir dir;
      const std::string path = dir.path() + "/LONG.KFS";
      const TableDef def = LongKeyTable(width, duplicates);
      std::map<int32_t, std::string> rows;
      {
        DeclaredTable t(path, def);
        ASSERT_EQ(t.Create(), 0) << t.file_error_text();
        ASSERT_EQ(t.Open(), 0);
        int32_t id = 1;
        for (const std::string& v : Values(width, duplicates, 50, static_cast<uint32_t>(width))) {
          FillRow(&t, id, v);
          ASSERT_EQ(t.Add(), 0) << "row " << id << ": " << t.file_error() << " "
                                << t.file_error_text();
          rows[id++] = v;
        }
        ASSERT_EQ(t.Close(), 0);
      }
      ExpectRows(path, def, rows);
      ExpectSoundFile(path);

      // Deleting rows frees pages and replaces separators.
      {
        DeclaredTable t(path, def);
        ASSERT_EQ(t.Open(), 0);
        for (auto it = rows.begin(); it != rows.end();) {
          if (it->first % 3 != 0) {
            ++it;
            continue;
          }
          FillRow(&t, it->first, it->second);
          ASSERT_EQ(t.Get(kIdKey), 0);
          ASSERT_EQ(t.Delete(), 0);
          it = rows.erase(it);
        }
        ASSERT_EQ(t.Close(), 0);
      }
      ExpectRows(path, def, rows);
      ExpectSoundFile(path);
    }
  }
}

TEST(LongKeysTableTest, AKeyTooLongIsRefusedWhenTheTableIsDefined) {
  for (bool duplicates : {false, true}) {
    TempDir dir;
    const std::string path = dir.path() + "/LONG.KFS";
    const size_t width = MaxKeyValueLength(duplicates) + 1;
    DeclaredTable t(path, LongKeyTable(width, duplicates));
    EXPECT_EQ(t.Create(), kErrBadDeclaration);
    EXPECT_EQ(t.file_error_text(), "key KS is too long: its value takes " + std::to_string(width) +
                                       " bytes, at most " + std::to_string(width - 1) +
                                       " for a key " + (duplicates ? "with" : "without") +
                                       " duplicates");
    EXPECT_FALSE(platform::Env::Default()->FileExists(path));
  }

  // The table through kfs import: refused before any row is read.
  TempDir dir;
  const std::string schema = dir.path() + "/t.schema";
  std::ofstream(schema) << "table T record length 8000\n"
                           "field ID LONG offset 0 size 4\n"
                           "field S STRING offset 4 size 7996\n"
                           "key KS attributes 0: +S\n"
                           "key KID attributes 0: +ID\n";
  const std::string rows = dir.path() + "/t.csv";
  std::ofstream(rows) << "ID,S\n1,q\n2,a\n3,b\n";
  const std::string file = dir.path() + "/T.KFS";
  ToolRun import = Kfs("import '" + file + "\\!T' --schema " + schema + " < " + rows);
  EXPECT_EQ(import.exit_code, 2) << import.out;
  EXPECT_NE(import.out.find("key KS is too long: its value takes 7996 bytes, at most 5013 for a "
                            "key without duplicates"),
            std::string::npos)
      << import.out;
  EXPECT_FALSE(platform::Env::Default()->FileExists(file));
}

TEST(LongKeysTableTest, ATableDefinedEarlierWithALongerKeyKeepsWorking) {
  // Earlier versions let a table declare a key of 7996 bytes and took its
  // values when they compressed (blank-padded text).
  TempDir dir;
  const std::string path = dir.path() + "/OLD.KFS";
  const TableDef def = LongKeyTable(7996, false);
  ASSERT_EQ(CheckTableDef(def), "");
  ASSERT_NE(CheckNewTableDef(def), "");
  {
    std::unique_ptr<TreeFile> f;
    TreeFile::Options o;
    o.create = true;
    ASSERT_TRUE(TreeFile::Open(platform::Env::Default(), path, o, &f).ok());
    ASSERT_TRUE(f->Begin(true).ok());
    StoredTable t(&f->tree(), f.get());
    ASSERT_TRUE(t.Create("UNNAMED", def, Collation::BuiltIn(), false).ok());
    ASSERT_TRUE(f->Commit().ok());
  }
  std::map<int32_t, std::string> rows;
  DeclaredTable t(path, def);
  ASSERT_EQ(t.Open(), 0);
  for (int32_t id = 1; id <= 12; ++id) {
    std::string v = "text " + std::to_string(id * 37 % 12);
    v.resize(7996, ' ');
    FillRow(&t, id, v);
    ASSERT_EQ(t.Add(), 0) << t.file_error_text();
    rows[id] = v;
  }
  // A value that does not compress is refused as before, and changes nothing.
  std::mt19937 rng(4);
  std::string random(7996, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  FillRow(&t, 99, random);
  EXPECT_EQ(t.Add(), kErrFileSystem);
  EXPECT_EQ(t.file_error(), kErrRecordTooLong);
  ASSERT_EQ(t.Close(), 0);
  ExpectRows(path, def, rows);
  ExpectSoundFile(path);
}

}  // namespace
}  // namespace vm::storage
