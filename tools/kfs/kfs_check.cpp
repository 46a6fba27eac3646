// `kfs check FILE`: walks the whole tree, then compares every table's rows
// with its statistics and its key entries. Prints each problem; the file is
// sound only when there are none.
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "kfs_commands.h"
#include "kfs_common.h"
#include "storage/record_keys.h"
#include "storage/tables.h"

namespace vm::storage::kfs {
namespace {

// Calls `each` for every record whose key starts with `prefix`.
template <typename F>
Status Scan(RecordTree& tree, const std::string& prefix, F each) {
  Record r;
  bool found = false;
  Status s = tree.Seek(prefix, &r, &found);
  while (s.ok() && found && r.key.compare(0, prefix.size(), prefix) == 0) {
    each(r);
    const std::string key = r.key;
    s = tree.Next(key, &r, &found);
  }
  return s;
}

// Checks one table; prints each problem; returns the number of problems.
int CheckTable(PageFile* f, const std::string& name, Status* status) {
  int problems = 0;
  StoredTable t(&f->tree(), f);
  Status s = t.Open(name, nullptr);
  if (!s.ok()) {
    std::printf("table %s: cannot be opened: %s\n", name.c_str(), Describe(s).c_str());
    *status = s.internal() != 0 ? s : Status::Ok();
    return 1;
  }
  const TableDef& def = t.def();
  std::vector<uint32_t> rows;
  std::map<uint32_t, std::string> images;
  uint32_t record = 0;
  bool found = true;
  while (s.ok()) {
    s = t.NextRow(record, &record, &found);
    if (!s.ok() || !found) break;
    std::string row;
    bool present = false;
    s = t.ReadRow(record, &row, &present);
    if (s.ok()) images[record] = row;
  }
  TableStats st;
  if (s.ok()) s = t.ReadStats(kStatsTable, &st);
  if (!s.ok()) {
    *status = s;
    return problems + 1;
  }
  if (st.count != images.size()) {
    std::printf("table %s: statistics say %u rows, the table holds %zu\n", name.c_str(), st.count,
                images.size());
    ++problems;
  }
  for (size_t k = 0; k < def.keys.size(); ++k) {
    const KeyDef& key = def.keys[k];
    if (key.dynamic()) continue;
    TableStats ks;
    s = t.ReadStats(static_cast<uint8_t>(k), &ks);
    if (!s.ok()) break;
    std::set<std::string> entries;
    size_t dangling = 0;
    s = Scan(f->tree(), KeyPrefix(t.number(), static_cast<uint8_t>(k)), [&](const Record& r) {
      entries.insert(r.key);
      if (!images.count(EntryRecordNumber(r.key, r.data))) ++dangling;
    });
    if (!s.ok()) break;
    if (dangling != 0) {
      std::printf("table %s, key %s: %zu entries name missing rows\n", name.c_str(),
                  key.name.c_str(), dangling);
      ++problems;
    }
    if (ks.count != entries.size()) {
      std::printf("table %s, key %s: statistics say %u entries, the key holds %zu\n", name.c_str(),
                  key.name.c_str(), ks.count, entries.size());
      ++problems;
    }
    // A key still waiting for a build (pending mark set, or deferred) need
    // not have every row's entry.
    if (ks.second != 0 || key.deferred()) continue;
    size_t missing = 0;
    for (const auto& [rn, row] : images) {
      std::string entry;
      if (t.EntryKey(static_cast<uint8_t>(k), row, rn, &entry) && !entries.count(entry)) ++missing;
    }
    if (missing != 0) {
      std::printf("table %s, key %s: %zu rows have no entry\n", name.c_str(), key.name.c_str(),
                  missing);
      ++problems;
    }
  }
  if (!s.ok()) {
    *status = s;
    return problems + 1;
  }
  if (problems == 0)
    std::printf("table %s: %zu rows, %zu keys: sound\n", name.c_str(), images.size(),
                def.keys.size());
  return problems;
}

}  // namespace

int Check(const std::string& path) {
  std::unique_ptr<PageFile> f;
  Status s = OpenForReading(path, &f);
  if (!s.ok()) return Fail(path, s);
  s = f->Begin(false);
  if (!s.ok()) return Fail(path, s);
  int problems = 0;
  if (f->header().root >= 0) {
    s = f->tree().Verify();
    if (!s.ok()) {
      f->EndRead();
      std::printf("tree: damaged: %s\n", Describe(s).c_str());
      std::printf("%s: DAMAGED\n", path.c_str());
      return kExitDamaged;
    }
    std::map<std::string, uint32_t> tables;
    s = ListTables(*f, &tables);
    for (const auto& [name, number] : tables) {
      if (!s.ok()) break;
      problems += CheckTable(f.get(), name, &s);
    }
  }
  f->EndRead();
  if (!s.ok()) {
    std::printf("%s: DAMAGED: %s\n", path.c_str(), Describe(s).c_str());
    return kExitDamaged;
  }
  if (problems != 0) {
    std::printf("%s: DAMAGED: %d problems\n", path.c_str(), problems);
    return kExitDamaged;
  }
  std::printf("%s: sound\n", path.c_str());
  return kExitOk;
}

}  // namespace vm::storage::kfs
