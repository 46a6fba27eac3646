// `kfs info FILE`: the header's numbers, the regions in use and each table's
// number, record length, row, key and memo counts.
#include <cstdio>

#include "kfs_commands.h"
#include "kfs_common.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"

namespace vm::storage::kfs {

int Info(const std::string& path) {
  std::unique_ptr<TreeFile> f;
  Status s = OpenForReading(path, &f);
  if (!s.ok()) return Fail(path, s);
  if (IsEmptyFile(*f)) {
    std::printf("file: %s\nan empty file (0 bytes), not a table file: no header, no tables\n",
                path.c_str());
    return kExitOk;
  }
  s = f->Begin(false);
  if (!s.ok()) return Fail(path, s);
  const FileHeader& h = f->header();
  std::printf("file: %s\n", path.c_str());
  std::printf("data end: %u bytes\nchange counter: %d\nroot page: %d\n",
              static_cast<unsigned>(h.DataEnd()), h.change_counter, h.root);
  std::printf("last number: %u\n",
              DecodeNumber(std::string_view(reinterpret_cast<const char*>(h.last_number), 4)));
  for (int k = 1; k < kRegionCount; ++k) {
    if (h.end[k] > h.start[k]) std::printf("region %d: %u pages\n", k, h.PagesIn(k));
  }
  std::map<std::string, uint32_t> tables;
  s = ListTables(*f, &tables);
  for (const auto& [name, number] : tables) {
    if (!s.ok()) break;
    StoredTable t(&f->tree(), f.get());
    s = t.Open(name, nullptr);
    TableStats st;
    if (s.ok()) s = t.ReadStats(kStatsTable, &st);
    if (s.ok()) {
      std::printf("table %s: number %u, record length %u, %u rows, %zu keys, %zu memos\n",
                  name.c_str(), number, t.def().record_length, st.count, t.def().keys.size(),
                  t.def().memos.size());
    }
  }
  f->EndRead();
  if (!s.ok()) return Fail(path, s);
  return kExitOk;
}

}  // namespace vm::storage::kfs
