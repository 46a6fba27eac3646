// The gateway's tables stored and read back: definitions with their names and
// key attribute bytes, rows, and the key entries those attributes imply.
#include "storage/table/tables.h"

#include <gtest/gtest.h>

#include <cstring>

#include "storage/table/definition.h"
#include "storage/table/record_keys.h"
#include "tables_gateway_defs.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

void SetText(std::string* row, size_t offset, size_t width, std::string_view text) {
  row->replace(offset, width, std::string(text).append(width - text.size(), ' '));
}

template <typename T>
void SetNumber(std::string* row, size_t offset, T v) {
  std::memcpy(row->data() + offset, &v, sizeof v);
}

// Record numbers of a key's entries in key order.
std::vector<uint32_t> KeyOrder(RecordTree& tree, uint32_t table, uint8_t key) {
  std::vector<uint32_t> out;
  const std::string prefix = KeyPrefix(table, key);
  Record r;
  bool found = false;
  EXPECT_TRUE(tree.Seek(prefix, &r, &found).ok());
  while (found && r.key.compare(0, prefix.size(), prefix) == 0) {
    out.push_back(EntryRecordNumber(r.key, r.data));
    std::string k = r.key;
    EXPECT_TRUE(tree.Next(k, &r, &found).ok());
  }
  return out;
}

struct File {
  MemoryTreePages pages{true};
  RecordTree tree{&pages};
  MemoryNumbers numbers;
};

TEST(TablesTest, GatewayDefinitionsRoundTripWithNamesAndAttributes) {
  for (const TableDef& def : {ControlTableDef(), MailboxesTableDef(), ProcessedFilesTableDef()}) {
    ASSERT_EQ(CheckTableDef(def), "");
    File f;
    StoredTable t(&f.tree, &f.numbers);
    ASSERT_TRUE(t.Create("Table", def, Collation::BuiltIn(), false).ok());
    StoredTable described(&f.tree, &f.numbers);
    ASSERT_TRUE(described.Open("TABLE", nullptr).ok());
    EXPECT_EQ(described.def(), def);
    StoredTable declared(&f.tree, &f.numbers);
    EXPECT_TRUE(declared.Open("table", &def).ok());
  }
  // The stored stream spells the keys' names and attribute bytes.
  std::string stream = EncodeDefinition(ProcessedFilesTableDef());
  size_t at = stream.find(std::string("PRO:FILENAMEKEY\0", 16));
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(stream[at + 16], 6);
  at = stream.find(std::string("PRO:PROCESSEDKEYCONTROL\0", 24));
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(stream[at + 24], 7);
  EXPECT_EQ(stream.substr(at + 25, 6), std::string("\x01\0\x03\0\0\0", 6));
  EXPECT_EQ(stream.substr(0, 2), std::string("\x01\0", 2));
  EXPECT_NE(EncodeDefinition(MailboxesTableDef()).find(std::string("MAI:MAILBOXKEY\0\x06", 16)),
            std::string::npos);
}

TEST(TablesTest, ControlRecordKeepsEveryField) {
  File f;
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("Control", ControlTableDef(), Collation::BuiltIn(), false).ok());
  std::string row(2622, ' ');
  SetNumber<int16_t>(&row, 40, 0);  // port 0 is stored unchanged
  SetText(&row, 42, 50, "VoiceMail <voicemail@example.com>");
  std::memset(row.data() + 622, 0, 2000);
  std::memcpy(row.data() + 622, "Body %DATE%", 11);
  uint32_t rn = 0;
  ASSERT_TRUE(t.Add(row, nullptr, false, &rn).ok());
  std::string back;
  bool found = false;
  ASSERT_TRUE(t.ReadRow(rn, &back, &found).ok());
  ASSERT_TRUE(found);
  EXPECT_EQ(back, row);
  TableStats st;
  ASSERT_TRUE(t.ReadStats(kStatsTable, &st).ok());
  EXPECT_EQ(st.count, 1u);
}

TEST(TablesTest, MailboxZeroHasNoEntryAndNumbersAreUnique) {
  File f;
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("Mailboxes", MailboxesTableDef(), Collation::BuiltIn(), false).ok());
  std::vector<uint32_t> rns;
  for (int16_t box : {101, 0, -5, 300}) {
    std::string row(125, ' ');
    SetNumber(&row, 0, box);
    SetText(&row, 102, 3, "YES");
    uint32_t rn = 0;
    ASSERT_TRUE(t.Add(row, nullptr, false, &rn).ok());
    rns.push_back(rn);
  }
  // Mailbox 0 is all zero bytes: the optional key (attribute 6) skips it.
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 0), (std::vector<uint32_t>{rns[2], rns[0], rns[3]}));
  std::string row(125, ' ');
  SetNumber<int16_t>(&row, 0, 101);
  uint32_t rn = 0;
  EXPECT_EQ(t.Add(row, nullptr, false, &rn).code(), kErrDuplicateKey);
  TableStats st;
  ASSERT_TRUE(t.ReadStats(kStatsTable, &st).ok());
  EXPECT_EQ(st.count, 4u);
  ASSERT_TRUE(t.ReadStats(0, &st).ok());
  EXPECT_EQ(st.count, 3u);
  // A second mailbox 0 is no duplicate: it has no entry either.
  SetNumber<int16_t>(&row, 0, 0);
  EXPECT_TRUE(t.Add(row, nullptr, false, &rn).ok());
}

TEST(TablesTest, ProcessedFilesKeysFollowTheirAttributes) {
  File f;
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(
      t.Create("ProcessedFiles", ProcessedFilesTableDef(), Collation::BuiltIn(), false).ok());
  auto make = [](std::string_view name, uint8_t processed) {
    std::string row(906, ' ');
    SetText(&row, 0, 255, name);
    SetNumber<int32_t>(&row, 255, 80000);
    row[263] = static_cast<char>(processed);
    return row;
  };
  uint32_t a = 0, b = 0, c = 0, d = 0;
  ASSERT_TRUE(t.Add(make("b.wav", 1), nullptr, false, &a).ok());
  ASSERT_TRUE(t.Add(make("A.WAV", 0), nullptr, false, &b).ok());
  ASSERT_TRUE(t.Add(make("c.wav", 1), nullptr, false, &c).ok());
  // The file name key compares without regard to case.
  EXPECT_EQ(t.Add(make("B.WAV", 0), nullptr, false, &d).code(), kErrDuplicateKey);
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 0), (std::vector<uint32_t>{b, a, c}));
  // PRO:PROCESSED 0 leaves no entry in PRO:ProcessedKeyControl; the rows
  // with 1 are ordered by record number.
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 1), (std::vector<uint32_t>{a, c}));
  // Sending marks the row processed: it gains its entry.
  ASSERT_TRUE(t.Change(b, make("A.WAV", 1), nullptr).ok());
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 1), (std::vector<uint32_t>{a, b, c}));
  // A change onto an existing name fails and leaves both keys as they were.
  EXPECT_EQ(t.Change(b, make("C.wav", 0), nullptr).code(), kErrDuplicateKey);
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 0), (std::vector<uint32_t>{b, a, c}));
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 1), (std::vector<uint32_t>{a, b, c}));
  std::string row;
  bool found = false;
  ASSERT_TRUE(t.ReadRow(b, &row, &found).ok());
  EXPECT_EQ(row, make("A.WAV", 1));
  // Looking a file name up finds it in any case; a missing one positions on
  // the next name.
  std::string entry;
  uint32_t at = 0;
  bool exact = false;
  ASSERT_TRUE(t.SeekKey(0, make("a.wav", 9), &entry, &at, &found, &exact).ok());
  EXPECT_TRUE(found && exact);
  EXPECT_EQ(at, b);
  ASSERT_TRUE(t.SeekKey(0, make("b", 0), &entry, &at, &found, &exact).ok());
  EXPECT_TRUE(found);
  EXPECT_FALSE(exact);
  EXPECT_EQ(at, a);
  ASSERT_TRUE(t.SeekKey(1, make("", 1), &entry, &at, &found, &exact).ok());
  EXPECT_TRUE(found && exact);
  EXPECT_EQ(at, a);  // duplicates: the lowest record number first
  ASSERT_TRUE(t.SeekKey(0, make("zzz", 0), &entry, &at, &found, &exact).ok());
  EXPECT_FALSE(found);
  ASSERT_TRUE(t.Delete(a).ok());
  EXPECT_EQ(t.Delete(a).code(), kErrRecordNotAvailable);
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 0), (std::vector<uint32_t>{b, c}));
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 1), (std::vector<uint32_t>{b, c}));
  TableStats st;
  ASSERT_TRUE(t.ReadStats(1, &st).ok());
  EXPECT_EQ(st.count, 2u);
  EXPECT_TRUE(f.tree.Verify().ok());
}

TEST(TablesTest, OptionalKeyOnBlankStringsHasNoEntry) {
  File f;
  TableDef def;
  def.record_length = 12;
  def.fields = {MakeField("T:A", kTypeString, 0, 6), MakeField("T:B", kTypeCString, 6, 6)};
  def.keys = {MakeKey("T:K", kKeyOptional | kKeyDuplicates, {{0, 0}, {1, 0}})};
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("T", def, Collation::BuiltIn(), false).ok());
  uint32_t blank = 0, some = 0;
  ASSERT_TRUE(t.Add(std::string("      \0\0\0\0\0\0", 12), nullptr, false, &blank).ok());
  ASSERT_TRUE(t.Add(std::string("      x\0\0\0\0\0", 12), nullptr, false, &some).ok());
  EXPECT_EQ(KeyOrder(f.tree, t.number(), 0), std::vector<uint32_t>{some});
}

TEST(TablesTest, DeclarationsThatDifferAreRefused) {
  File f;
  TableDef def = MailboxesTableDef();
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("Mailboxes", def, Collation::BuiltIn(), false).ok());
  StoredTable other(&f.tree, &f.numbers);
  EXPECT_EQ(other.Open("Nothing", &def).code(), kErrFileNotFound);

  TableDef more = def;
  more.fields.push_back(MakeField("MAI:EXTRA", kTypeByte, 124, 1));
  EXPECT_EQ(other.Open("Mailboxes", &more).code(), kErrBadDeclaration);
  TableDef flagged = def;
  flagged.keys[0].flags |= kKeyNotCompared;  // bit 0x10 is not compared
  EXPECT_TRUE(other.Open("Mailboxes", &flagged).ok());
  flagged.keys[0].flags |= kKeyDuplicates;
  EXPECT_EQ(other.Open("Mailboxes", &flagged).code(), kErrBadDeclaration);
  TableDef renamed = def;
  renamed.fields[2].name = "MAI:CC";
  EXPECT_NE(CompareDefinition(def, renamed), "");
  EXPECT_EQ(other.Open("Mailboxes", &renamed).code(), kErrBadDeclaration);
}

TEST(TablesTest, LongDefinitionsSpanBlocksAndDamageIsRefused) {
  File f;
  TableDef def;
  def.record_length = 2000;
  for (int i = 0; i < 60; ++i) {
    FieldDef fd = MakeField("T:FIELD_WITH_A_LONG_NAME_" + std::to_string(i), kTypeString,
                            static_cast<uint16_t>(i * 30), 30);
    fd.picture = "@s30";
    def.fields.push_back(fd);
  }
  def.fields[5].type = kTypeDecimal;
  def.fields[5].digits = 9;
  def.fields[5].places = 2;
  def.fields[5].string_length = 0;
  def.fields[5].picture.clear();
  def.memos = {MemoDef{"", "T:NOTES", 1000, 0}, MemoDef{"", "T:BLOB", 5000, kMemoBinary}};
  def.keys = {MakeKey("T:K", kKeyNoCase, {{1, 0}, {5, 1}})};
  ASSERT_EQ(CheckTableDef(def), "");
  std::string stream = EncodeDefinition(def);
  ASSERT_GT(stream.size(), 2 * kDefinitionBlockSize);
  EXPECT_EQ(stream.substr(0, 2), std::string("\x02\0", 2));  // a binary memo makes version 2

  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("Big", def, Collation::BuiltIn(), false).ok());
  std::string block;
  bool found = false;
  ASSERT_TRUE(f.tree.Get(DefinitionKey(t.number(), 0), &block, &found).ok());
  EXPECT_EQ(block.size(), kDefinitionBlockSize);
  StoredTable back(&f.tree, &f.numbers);
  ASSERT_TRUE(back.Open("BIG", nullptr).ok());
  EXPECT_EQ(back.def(), def);

  // Every cut of the stream, and trailing bytes, are refused.
  TableDef out;
  for (size_t n = 0; n < stream.size(); n += 7)
    EXPECT_FALSE(DecodeDefinition(stream.substr(0, n), &out));
  EXPECT_FALSE(DecodeDefinition(stream + "x", &out));
  // A stored definition that cannot be read is damage, not a description.
  ASSERT_TRUE(f.tree.Put(DefinitionKey(t.number(), 1), "short").ok());
  EXPECT_EQ(back.Open("BIG", nullptr).internal(), kErrBadRecords);
}

TEST(TablesTest, CreateOverAnExistingTableAndRemoveLeaveOthersAlone) {
  File f;
  StoredTable mail(&f.tree, &f.numbers), pro(&f.tree, &f.numbers);
  ASSERT_TRUE(mail.Create("Mailboxes", MailboxesTableDef(), Collation::BuiltIn(), false).ok());
  ASSERT_TRUE(
      pro.Create("ProcessedFiles", ProcessedFilesTableDef(), Collation::BuiltIn(), false).ok());
  uint32_t rn = 0;
  std::string row(125, ' ');
  SetNumber<int16_t>(&row, 0, 7);
  ASSERT_TRUE(mail.Add(row, nullptr, false, &rn).ok());
  std::string prow(906, ' ');
  prow[263] = 1;
  ASSERT_TRUE(pro.Add(prow, nullptr, false, &rn).ok());
  const uint32_t old_number = mail.number();
  ASSERT_TRUE(mail.Create("mailboxes", MailboxesTableDef(), Collation::BuiltIn(), false).ok());
  EXPECT_NE(mail.number(), old_number);
  Record r;
  bool found = false;
  ASSERT_TRUE(f.tree.Seek(TablePrefix(old_number), &r, &found).ok());
  EXPECT_NE(r.key.substr(0, 4), TablePrefix(old_number));
  std::string back;
  ASSERT_TRUE(pro.ReadRow(rn, &back, &found).ok());
  EXPECT_TRUE(found);

  ASSERT_TRUE(pro.Empty().ok());
  ASSERT_TRUE(pro.ReadRow(rn, &back, &found).ok());
  EXPECT_FALSE(found);
  StoredTable reopened(&f.tree, &f.numbers);
  ProcessedFilesTableDef();
  TableDef pdef = ProcessedFilesTableDef();
  ASSERT_TRUE(reopened.Open("PROCESSEDFILES", &pdef).ok());
  ASSERT_TRUE(pro.Remove().ok());
  EXPECT_EQ(reopened.Open("PROCESSEDFILES", &pdef).code(), kErrFileNotFound);
  TableDef mdef = MailboxesTableDef();
  EXPECT_TRUE(reopened.Open("MAILBOXES", &mdef).ok());
  EXPECT_TRUE(f.tree.Verify().ok());
}

TEST(TablesTest, OemTablesStoreConvertedTextAndKeepTheirCollation) {
  File f;
  TableDef def;
  def.record_length = 8;
  def.fields = {MakeField("T:NAME", kTypeString, 0, 4), MakeField("T:RAW", kTypeString, 4, 4)};
  def.fields[1].attr2 = 1;  // left alone by the conversion
  def.keys = {MakeKey("T:K", kKeyNoCase, {{0, 0}})};
  StoredTable t(&f.tree, &f.numbers);
  ASSERT_TRUE(t.Create("T", def, Collation::BuiltIn(), true).ok());
  uint32_t rn = 0;
  std::string row = "\xE9t\xE9 \xE9\xE9\xE9\xE9";
  ASSERT_TRUE(t.Add(row, nullptr, false, &rn).ok());
  std::string stored;
  bool found = false;
  ASSERT_TRUE(f.tree.Get(RowKey(t.number(), rn), &stored, &found).ok());
  EXPECT_EQ(stored, "\x82t\x82 \xE9\xE9\xE9\xE9");
  std::string back;
  ASSERT_TRUE(t.ReadRow(rn, &back, &found).ok());
  EXPECT_EQ(back, row);
  // Upper case: the OEM case table turns 0x82 into 0x90 (E-acute).
  std::string upper = "\xC9T\xC9 ....";
  uint32_t rn2 = 0;
  EXPECT_EQ(t.Add(upper, nullptr, false, &rn2).code(), kErrDuplicateKey);
  StoredTable again(&f.tree, &f.numbers);
  ASSERT_TRUE(again.Open("T", &def).ok());
  EXPECT_TRUE(again.oem());
}

}  // namespace
}  // namespace vm::storage
