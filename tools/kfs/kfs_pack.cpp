// `kfs pack FILE[\!TABLE]`: brings every stored key of the table (of every
// table without "\!TABLE") up to date from its pending mark, as after rows
// were appended without key entries, commits, then cuts the file at the end
// of its data. Deferred keys wait for a full build and dynamic keys are
// never stored in the file, so neither is built here.
#include <cstdio>
#include <map>

#include "kfs_commands.h"
#include "kfs_common.h"
#include "platform/ascii_text.h"
#include "storage/driver/declared_table.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"

namespace vm::storage::kfs {
namespace {

// Whether the name gave a table part ("FILE\!TABLE").
bool NamesTable(const std::string& name, const TableName& parts) {
  const std::string upper = platform::AsciiUpperCase(name);
  return parts.table != "UNNAMED" ||
         (upper.size() >= 9 && upper.compare(upper.size() - 9, 9, "\\!UNNAMED") == 0);
}

// Builds the pending keys of one table, printing a line for it and for each
// key. Returns the exit code.
int PackTable(TreeFile& f, const std::string& file, const std::string& name) {
  StoredTable t(&f.tree(), &f);
  Status s = t.Open(name, nullptr);
  TableStats rows;
  if (s.ok()) s = t.ReadStats(kStatsTable, &rows);
  if (!s.ok()) return Fail(file + ", table " + name, s);
  std::printf("table %s: %u rows\n", name.c_str(), rows.count);
  const TableDef& def = t.def();
  for (size_t k = 0; k < def.keys.size(); ++k) {
    const KeyDef& key = def.keys[k];
    const auto number = static_cast<uint8_t>(k);
    if (key.dynamic() || key.deferred()) {
      std::printf("  key %s: %s, not built\n", key.name.c_str(),
                  key.dynamic() ? "dynamic" : "deferred");
      continue;
    }
    TableStats before, after;
    s = t.ReadStats(number, &before);
    if (s.ok() && before.second != 0) s = t.BuildKey(number, false, &f.tree());
    if (s.ok()) s = t.ReadStats(number, &after);
    if (!s.ok()) return Fail(file + ", table " + name + ", key " + key.name, s);
    if (before.second == 0) {
      std::printf("  key %s: complete, %u entries\n", key.name.c_str(), after.count);
    } else {
      std::printf("  key %s: built from record %u, %u entries\n", key.name.c_str(), before.second,
                  after.count);
    }
  }
  return kExitOk;
}

// The tables to pack: the named one, or every table of the file.
int ChooseTables(TreeFile& f, const std::string& name, const TableName& parts,
                 std::vector<std::string>* chosen) {
  std::map<std::string, uint32_t> tables;
  Status s = ListTables(f, &tables);
  if (!s.ok()) return Fail(parts.file, s);
  if (!NamesTable(name, parts)) {
    for (const auto& [table, number] : tables) chosen->push_back(table);
    return kExitOk;
  }
  if (tables.count(parts.table) == 0)
    return Complain(parts.file + ": no table " + parts.table, kExitUsage);
  chosen->push_back(parts.table);
  return kExitOk;
}

}  // namespace

int Pack(const std::string& name) {
  const TableName parts = SplitTableName(name, platform::Env::Default());
  std::unique_ptr<TreeFile> f;
  Status s = OpenForWriting(parts.file, false, &f);
  if (!s.ok()) return Fail(parts.file, s);
  if (IsEmptyFile(*f)) {
    std::printf("%s: an empty file (0 bytes), not a table file: nothing to pack\n",
                parts.file.c_str());
    return kExitOk;
  }
  const uint64_t size_before = FileSize(*f);
  s = f->Begin(true);
  if (!s.ok()) return Fail(parts.file, s);
  std::vector<std::string> tables;
  int rc = ChooseTables(*f, name, parts, &tables);
  for (size_t i = 0; rc == kExitOk && i < tables.size(); ++i)
    rc = PackTable(*f, parts.file, tables[i]);
  if (rc != kExitOk) {
    f->Rollback();
    std::fprintf(stderr, "kfs: nothing packed\n");
    return rc;
  }
  s = f->Commit();
  if (s.ok()) s = CutToData(*f);
  if (!s.ok()) return Fail(parts.file, s);
  std::printf("%s: %llu bytes before, %llu bytes after\n", parts.file.c_str(),
              static_cast<unsigned long long>(size_before),
              static_cast<unsigned long long>(FileSize(*f)));
  return kExitOk;
}

}  // namespace vm::storage::kfs
