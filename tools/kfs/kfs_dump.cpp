// `kfs dump FILE[\!TABLE] [--key NAME] [--csv | --schema]`: a table's rows in
// record or key order, readable or as CSV, or the table's schema. A key
// whose entries are not all in the file is built in memory first; a CSV row
// that would not import back to the same bytes stops the dump.
#include <cstdio>

#include "kfs_commands.h"
#include "kfs_common.h"
#include "kfs_csv.h"
#include "kfs_schema.h"
#include "kfs_values.h"
#include "platform/ascii_text.h"
#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/private_tree.h"

namespace vm::storage::kfs {
namespace {

void Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void WriteCsvHeader(const TableDef& def) {
  std::vector<std::string> names;
  for (const FieldDef& f : def.fields)
    if (IsCsvColumn(f)) names.push_back(f.name);
  for (const MemoDef& m : def.memos) names.push_back(m.name);
  std::string line;
  AppendCsvLine(names, {}, &line);
  Write(line);
}

// The name of the field holding byte `at` of the row, or "bytes outside
// every field".
std::string FieldAt(const TableDef& def, size_t at) {
  for (const FieldDef& f : def.fields)
    if (f.type != kTypeGroup && at >= f.offset && at < size_t{f.offset} + f.size) return f.name;
  return "bytes outside every field";
}

// Reads the CSV values back as import would, so that a row that would not
// come back byte for byte stops the dump instead of changing data later.
// Empty when they give `row`; otherwise what would be lost.
std::string CheckReadsBack(const TableDef& def, const std::vector<std::string>& values,
                           const std::string& row) {
  std::string back(def.record_length, '\0');
  for (const FieldDef& f : def.fields) PutEmptyValue(f, &back);
  size_t column = 0;
  std::string error;
  for (const FieldDef& f : def.fields) {
    if (!IsCsvColumn(f)) continue;
    if (!PutCsvValue(f, values[column++], &back, &error)) return error;
  }
  if (back == row) return std::string();
  size_t at = 0;
  while (at < row.size() && back[at] == row[at]) ++at;
  return FieldAt(def, at) + " (byte " + std::to_string(at) + " of the row) would not read back";
}

Status WriteCsvRow(StoredTable& t, uint32_t record, const std::string& row, std::string* lost) {
  const TableDef& def = t.def();
  std::vector<std::string> values;
  std::vector<bool> quoted;
  for (const FieldDef& f : def.fields) {
    if (!IsCsvColumn(f)) continue;
    bool q = false;
    values.push_back(FieldCsvValue(f, row, &q));
    quoted.push_back(q);
  }
  *lost = CheckReadsBack(def, values, row);
  if (!lost->empty()) return Status::Ok();
  for (size_t m = 0; m < def.memos.size(); ++m) {
    std::string content;
    Status s = t.ReadMemo(record, static_cast<uint8_t>(m), &content);
    if (!s.ok()) return s;
    values.push_back(MemoCsvValue(def.memos[m], content));
    quoted.push_back(!def.memos[m].binary());
  }
  std::string line;
  AppendCsvLine(values, quoted, &line);
  Write(line);
  return Status::Ok();
}

void WriteReadableRow(const TableDef& def, uint32_t record, const std::string& row) {
  std::string line = "record " + std::to_string(record) + ":";
  for (const FieldDef& field : def.fields) line += " " + field.name + "=" + FieldText(field, row);
  Write(line + "\n");
}

// Every row in record order, or in the order of key `key` (>= 0), whose
// entries are in `in` (null: the file's tree). A CSV row that would not read
// back as it is stops the dump, with *lost saying why.
Status WriteRows(StoredTable& t, int key, DumpForm form, RecordTree* in, std::string* lost) {
  if (form == DumpForm::kCsv) WriteCsvHeader(t.def());
  Status s;
  bool found = true;
  uint32_t record = 0;
  std::string entry;
  while (s.ok()) {
    if (key < 0) {
      s = t.NextRow(record, &record, &found);
    } else {
      std::string next;
      s = t.StepKey(static_cast<uint8_t>(key), entry, true, &next, &record, &found, in);
      entry = next;
    }
    if (!s.ok() || !found) break;
    std::string row;
    bool present = false;
    s = t.ReadRow(record, &row, &present);
    if (!s.ok() || !present) continue;
    if (form == DumpForm::kCsv) {
      s = WriteCsvRow(t, record, row, lost);
      if (!lost->empty()) {
        *lost = "record " + std::to_string(record) + ": " + *lost;
        break;
      }
    } else {
      WriteReadableRow(t.def(), record, row);
    }
  }
  return s;
}

int FindKey(const TableDef& def, const std::string& name) {
  for (size_t i = 0; i < def.keys.size(); ++i)
    if (platform::AsciiUpperCase(def.keys[i].name) == platform::AsciiUpperCase(name))
      return static_cast<int>(i);
  return -1;
}

// Where the entries of key `key` are read from. A key without all its
// entries in the file is built into `built`: a dynamic key has none there, a
// deferred one or one behind its pending mark may lack some. *in stays null
// for the file's own tree. Returns the exit code.
int KeyEntries(StoredTable& t, int key, const TableName& parts, PrivateTree* built,
               RecordTree** in) {
  const KeyDef& k = t.def().keys[key];
  TableStats ks;
  Status s = t.ReadStats(static_cast<uint8_t>(key), &ks);
  if (s.ok() && (k.dynamic() || k.deferred() || ks.second != 0)) {
    *in = &built->tree();
    s = t.BuildKey(static_cast<uint8_t>(key), true, *in);
    if (s.code() == kErrDuplicateKey && s.internal() == 0)
      return Complain("table " + parts.table + ", key " + k.name +
                          ": cannot be built: two rows have the same value on this unique key",
                      kExitDamaged);
  }
  return s.ok() ? kExitOk : Fail(parts.file + ", key " + k.name, s);
}

}  // namespace

int Dump(const std::string& name, const std::string& key_name, DumpForm form) {
  const TableName parts = SplitTableName(name, platform::Env::Default());
  std::unique_ptr<TreeFile> f;
  Status s = OpenForReading(parts.file, &f);
  if (!s.ok()) return Fail(parts.file, s);
  if (IsEmptyFile(*f)) return EmptyFile(parts.file, kExitUsage);
  s = f->Begin(false);
  if (!s.ok()) return Fail(parts.file, s);
  StoredTable t(&f->tree(), f.get());
  s = t.Open(parts.table, nullptr);
  if (!s.ok()) {
    f->EndRead();
    return Fail(parts.file + ", table " + parts.table, s);
  }
  const TableDef& def = t.def();
  if (form == DumpForm::kSchema) {
    TableStats st;
    s = t.ReadStats(kStatsTable, &st);
    if (s.ok()) Write(FormatSchema(Schema{parts.table, def, t.oem(), st.second}));
    f->EndRead();
    return s.ok() ? kExitOk : Fail(parts.file, s);
  }
  const int key = key_name.empty() ? -1 : FindKey(def, key_name);
  if (!key_name.empty() && key < 0) {
    f->EndRead();
    return Complain("table " + parts.table + " has no key " + key_name, kExitUsage);
  }
  PrivateTree built;
  RecordTree* in = nullptr;
  if (key >= 0) {
    const int rc = KeyEntries(t, key, parts, &built, &in);
    if (rc != kExitOk) {
      f->EndRead();
      return rc;
    }
  }
  std::string lost;
  s = WriteRows(t, key, form, in, &lost);
  f->EndRead();
  if (!s.ok()) return Fail(parts.file, s);
  if (!lost.empty()) {
    std::fflush(stdout);
    return Complain("dump stopped: " + lost + " from CSV", kExitDamaged);
  }
  return kExitOk;
}

}  // namespace vm::storage::kfs
