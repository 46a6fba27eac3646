// `kfs import FILE[\!TABLE] --schema SCHEMA < rows.csv`: creates the table
// from a schema file (kfs_schema.h) and adds the CSV rows read from stdin
// (kfs_csv.h, kfs_values.h) in one transaction: on any bad row the file is
// left as it was, and a file the import created is removed again.
#include <cstdio>
#include <fstream>
#include <sstream>

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

namespace vm::storage::kfs {
namespace {

// What each CSV column fills: a field or a memo.
struct Column {
  int field = -1;
  int memo = -1;
};

// Matches the header's names (without regard to case) to fields and memos;
// the n-th column of a name takes the n-th field of that name.
bool MapColumns(const TableDef& def, const std::vector<std::string>& header,
                std::vector<Column>* columns, std::string* error) {
  std::vector<bool> used_field(def.fields.size()), used_memo(def.memos.size());
  for (const std::string& raw : header) {
    const std::string name = platform::AsciiUpperCase(raw);
    Column c;
    for (size_t i = 0; i < def.fields.size() && c.field < 0; ++i)
      if (!used_field[i] && IsCsvColumn(def.fields[i]) &&
          platform::AsciiUpperCase(def.fields[i].name) == name)
        c.field = static_cast<int>(i);
    for (size_t i = 0; i < def.memos.size() && c.field < 0 && c.memo < 0; ++i)
      if (!used_memo[i] && platform::AsciiUpperCase(def.memos[i].name) == name)
        c.memo = static_cast<int>(i);
    if (c.field < 0 && c.memo < 0) {
      bool known = false;
      for (const FieldDef& f : def.fields)
        known = known || (IsCsvColumn(f) && platform::AsciiUpperCase(f.name) == name);
      for (const MemoDef& m : def.memos) known = known || platform::AsciiUpperCase(m.name) == name;
      *error = "column \"" + raw +
               (known ? "\" comes more often than the table has it"
                      : "\" names no field or memo of the table");
      return false;
    }
    if (c.field >= 0) used_field[c.field] = true;
    if (c.memo >= 0) used_memo[c.memo] = true;
    columns->push_back(c);
  }
  return true;
}

// The row image and memos of one CSV record.
bool BuildRow(const TableDef& def, const std::vector<Column>& columns,
              const std::vector<std::string>& values, std::string* row,
              std::vector<std::string>* memos, std::string* error) {
  if (values.size() != columns.size()) {
    *error =
        std::to_string(values.size()) + " fields, the header has " + std::to_string(columns.size());
    return false;
  }
  row->assign(def.record_length, '\0');
  for (const FieldDef& f : def.fields) PutEmptyValue(f, row);
  memos->assign(def.memos.size(), std::string());
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    const bool ok = c.field >= 0
                        ? PutCsvValue(def.fields[c.field], values[i], row, error)
                        : MemoFromCsv(def.memos[c.memo], values[i], &(*memos)[c.memo], error);
    if (!ok) return false;
  }
  return true;
}

// The unique key whose entry for `row` is already in the file.
std::string ClashingKey(StoredTable& t, RecordTree& tree, const std::string& row) {
  const TableDef& def = t.def();
  for (size_t k = 0; k < def.keys.size(); ++k) {
    const KeyDef& key = def.keys[k];
    if (key.duplicates() || key.dynamic() || key.deferred()) continue;
    std::string entry, data;
    bool found = false;
    if (t.EntryKey(static_cast<uint8_t>(k), row, 0, &entry) &&
        tree.Get(entry, &data, &found).ok() && found)
      return key.name;
  }
  return std::string();
}

bool ReadText(std::FILE* in, std::string* text) {
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) text->append(buf, n);
  return !std::ferror(in);
}

// Adds every record after the header. Returns the exit code; *added counts
// the rows.
int AddRows(StoredTable& t, RecordTree& tree, CsvReader& csv, const std::vector<Column>& columns,
            size_t* added) {
  std::vector<std::string> values, memos;
  std::string error, row;
  while (csv.Next(&values, &error)) {
    const std::string where = "stdin line " + std::to_string(csv.line());
    if (!BuildRow(t.def(), columns, values, &row, &memos, &error))
      return Complain(where + ": " + error, kExitUsage);
    uint32_t record = 0;
    Status s = t.Add(row, &memos, false, &record);
    if (s.code() == kErrDuplicateKey && s.internal() == 0) {
      const std::string key = ClashingKey(t, tree, row);
      return Complain(where + ": " + Describe(s) + (key.empty() ? "" : " on key " + key),
                      kExitUsage);
    }
    if (!s.ok()) return Fail(where, s);
    ++*added;
  }
  if (!error.empty())
    return Complain("stdin line " + std::to_string(csv.line()) + ": " + error, kExitUsage);
  return kExitOk;
}

// Creates the table and adds the rows inside the open changing operation.
int Fill(TreeFile& f, const TableName& parts, const Schema& schema, CsvReader& csv,
         const std::vector<Column>& columns, size_t* added) {
  StoredTable t(&f.tree(), &f);
  Status s = t.Open(parts.table, nullptr);
  if (s.ok())
    return Complain(parts.file + ": table " + parts.table + " already exists", kExitUsage);
  if (s.code() != kErrFileNotFound || s.internal() != 0) return Fail(parts.file, s);
  s = t.Create(parts.table, schema.def, Collation::BuiltIn(), schema.oem);
  TableStats st;
  if (s.ok() && schema.flags != 0) s = t.ReadStats(kStatsTable, &st);
  if (s.ok() && schema.flags != 0) {
    st.second = schema.flags;
    s = t.WriteStats(kStatsTable, st);
  }
  if (!s.ok()) return Fail(parts.file + ", table " + parts.table, s);
  return AddRows(t, f.tree(), csv, columns, added);
}

// Opens (or makes) the file and fills the table in one transaction, which
// is committed only when every row went in.
int Write(const TableName& parts, const Schema& schema, CsvReader& csv,
          const std::vector<Column>& columns, size_t* added) {
  std::unique_ptr<TreeFile> f;
  Status s = OpenForWriting(parts.file, true, &f);
  if (!s.ok()) return Fail(parts.file, s);
  s = f->Begin(true);
  if (!s.ok()) return Fail(parts.file, s);
  const int rc = Fill(*f, parts, schema, csv, columns, added);
  if (rc != kExitOk) {
    f->Rollback();
    return rc;
  }
  s = f->Commit();
  if (!s.ok()) return Fail(parts.file, s);
  // The rows stand even when the slack behind them cannot be cut off.
  s = CutToData(*f);
  if (!s.ok()) Fail(parts.file + ": cutting the file to its data", s);
  return kExitOk;
}

}  // namespace

int Import(const std::string& name, const std::string& schema_path, std::FILE* rows) {
  std::ifstream schema_in(schema_path, std::ios::binary);
  std::stringstream schema_text;
  schema_text << schema_in.rdbuf();
  if (!schema_in) return Complain(schema_path + ": cannot be read", kExitUsage);
  Schema schema;
  std::string error;
  if (!ParseSchema(schema_text.str(), &schema, &error))
    return Complain(schema_path + ": " + error, kExitUsage);

  std::string text;
  if (!ReadText(rows, &text)) return Complain("stdin cannot be read", kExitUsage);
  CsvReader csv(std::move(text));
  std::vector<std::string> header;
  std::vector<Column> columns;
  if (!csv.Next(&header, &error))
    return Complain(error.empty() ? "stdin holds no header line"
                                  : "stdin line " + std::to_string(csv.line()) + ": " + error,
                    kExitUsage);
  if (!MapColumns(schema.def, header, &columns, &error))
    return Complain("stdin line " + std::to_string(csv.line()) + ": " + error, kExitUsage);

  platform::Env* env = platform::Env::Default();
  const TableName parts = SplitTableName(name, env);
  const bool existed = env->FileExists(parts.file);
  size_t added = 0;
  const int rc = Write(parts, schema, csv, columns, &added);
  if (rc != kExitOk) {
    if (!existed) env->DeleteFile(parts.file);
    std::fprintf(stderr, "kfs: nothing imported\n");
    return rc;
  }
  std::printf("%s: table %s created, %zu rows imported\n", parts.file.c_str(), parts.table.c_str(),
              added);
  return kExitOk;
}

}  // namespace vm::storage::kfs
