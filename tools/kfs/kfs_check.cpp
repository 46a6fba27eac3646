// `kfs check FILE`: walks the whole tree, then compares every table's rows
// with its statistics, its key entries (each entry must hold the value of
// the row it names) and its memo chunks, and the header's last issued
// number with the numbers in use. Prints each problem with the row it
// concerns; the file is sound only when there are none.
#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "kfs_commands.h"
#include "kfs_common.h"
#include "platform/byte_coding.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"

namespace vm::storage::kfs {
namespace {

// Problems of one kind beyond this many are counted, not listed.
constexpr int kListed = 20;

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

// Counts the problems of one table and prints them, each kind listed up to
// kListed times.
class Problems {
 public:
  explicit Problems(std::string table) : table_(std::move(table)) {}
  void Add(const std::string& kind, const std::string& text) {
    ++total_;
    if (++per_kind_[kind] <= kListed) std::printf("table %s: %s\n", table_.c_str(), text.c_str());
  }
  void Summarize() const {
    for (const auto& [kind, n] : per_kind_)
      if (n > kListed)
        std::printf("table %s: %d more %s\n", table_.c_str(), n - kListed, kind.c_str());
  }
  int total() const { return total_; }

 private:
  std::string table_;
  int total_ = 0;
  std::map<std::string, int> per_kind_;
};

std::string Num(uint32_t n) {
  return std::to_string(n);
}

// Checks every entry of key `k`: it names a row of the table whose value it
// holds, and every row that must have an entry has one.
Status CheckKey(TreeFile* f, StoredTable& t, uint8_t k,
                const std::map<uint32_t, std::string>& images, Problems* problems,
                uint32_t* highest) {
  const KeyDef& key = t.def().keys[k];
  const std::string where = "key " + key.name + ": ";
  TableStats ks;
  Status s = t.ReadStats(k, &ks);
  if (!s.ok()) return s;
  // A key waiting for a build (pending mark set, or deferred) may lack
  // entries, and may keep stale ones for rows changed at or above its mark.
  auto settled = [&](uint32_t rn) { return !key.deferred() && (ks.second == 0 || rn < ks.second); };
  std::map<std::string, uint32_t> entries;  // entry key -> the row it names
  s = Scan(f->tree(), KeyPrefix(t.number(), k), [&](const Record& r) {
    const uint32_t rn = EntryRecordNumber(r.key, r.data);
    entries[r.key] = rn;
    *highest = std::max(*highest, rn);
    if (!key.duplicates() && r.data.size() != 4) {
      problems->Add("entries of the wrong form", where + "an entry's data is " +
                                                     Num(static_cast<uint32_t>(r.data.size())) +
                                                     " bytes, not a record number");
      return;
    }
    auto row = images.find(rn);
    if (row == images.end()) {
      problems->Add("entries naming missing rows",
                    where + "an entry names record " + Num(rn) + ", which is not in the table");
      return;
    }
    std::string want;
    if (settled(rn) && (!t.EntryKey(k, row->second, rn, &want) || want != r.key))
      problems->Add(
          "entries not matching their rows",
          where + "an entry names record " + Num(rn) + " but does not hold that row's key value");
  });
  if (!s.ok()) return s;
  if (ks.count != entries.size())
    problems->Add("wrong counts", where + "statistics say " + Num(ks.count) +
                                      " entries, the key holds " +
                                      Num(static_cast<uint32_t>(entries.size())));
  for (const auto& [rn, row] : images) {
    std::string entry;
    if (!settled(rn) || !t.EntryKey(k, row, rn, &entry)) continue;
    auto it = entries.find(entry);
    if (it == entries.end() || it->second != rn)
      problems->Add("rows without entries", where + "record " + Num(rn) + " has no entry");
  }
  return Status::Ok();
}

// Checks the memo chunks of the table: each belongs to a row and a memo of
// the table, a memo's chunks are numbered 0, 1, 2 ... with every chunk but
// the last full, a binary memo's length matches its content, and no memo is
// longer than its size.
Status CheckMemos(TreeFile* f, StoredTable& t, const std::map<uint32_t, std::string>& images,
                  Problems* problems, uint32_t* highest) {
  const TableDef& def = t.def();
  std::string prefix = TablePrefix(t.number());
  prefix.push_back(static_cast<char>(kKindMemo));
  struct Chunk {
    uint16_t number;
    std::string data;
  };
  std::map<std::pair<uint32_t, uint8_t>, std::vector<Chunk>> memos;
  Status s = Scan(f->tree(), prefix, [&](const Record& r) {
    if (r.key.size() != prefix.size() + 7) {
      problems->Add("malformed memo chunks",
                    "a memo chunk key of " + Num(static_cast<uint32_t>(r.key.size())) + " bytes");
      return;
    }
    const uint32_t rn = DecodeNumber(std::string_view(r.key).substr(prefix.size(), 4));
    const auto memo = static_cast<uint8_t>(r.key[prefix.size() + 4]);
    const uint16_t chunk = platform::DecodeBigEndian16(r.key.data() + prefix.size() + 5);
    *highest = std::max(*highest, rn);
    memos[{rn, memo}].push_back(Chunk{chunk, r.data});
  });
  if (!s.ok()) return s;
  for (const auto& [id, chunks] : memos) {
    const auto [rn, memo] = id;
    const std::string where = "record " + Num(rn) + ", memo " + Num(memo);
    if (!images.count(rn)) {
      problems->Add("orphaned memo chunks", where + ": " +
                                                Num(static_cast<uint32_t>(chunks.size())) +
                                                " chunks of a row that is not in the table");
      continue;
    }
    if (memo >= def.memos.size()) {
      problems->Add("orphaned memo chunks", where + ": chunks of a memo the table does not have");
      continue;
    }
    const MemoDef& m = def.memos[memo];
    const std::string named = "record " + Num(rn) + ", memo " + m.name;
    std::string content;
    bool sound = true;
    for (size_t i = 0; i < chunks.size() && sound; ++i) {
      const size_t full = 256 + (i == 0 && m.binary() ? 4 : 0);
      if (chunks[i].number != i) {
        std::string numbers;
        for (const Chunk& c : chunks) numbers += (numbers.empty() ? "" : ", ") + Num(c.number);
        problems->Add("misnumbered memo chunks", named + ": chunk " +
                                                     Num(static_cast<uint32_t>(i)) +
                                                     " is missing (chunks " + numbers + ")");
        sound = false;
      } else if (chunks[i].data.empty() || chunks[i].data.size() > full ||
                 (i + 1 < chunks.size() && chunks[i].data.size() != full)) {
        problems->Add("memo chunks of the wrong length",
                      named + ": chunk " + Num(static_cast<uint32_t>(i)) + " holds " +
                          Num(static_cast<uint32_t>(chunks[i].data.size())) + " bytes");
        sound = false;
      }
      content += chunks[i].data;
    }
    if (!sound) continue;
    if (m.binary()) {
      const uint32_t said = content.size() >= 4 ? platform::DecodeFixed32(content.data()) : 0;
      if (content.size() < 4 || said != content.size() - 4) {
        problems->Add("memos of the wrong length",
                      named + ": says " + Num(said) + " bytes, holds " +
                          Num(static_cast<uint32_t>(content.size() < 4 ? 0 : content.size() - 4)));
        continue;
      }
      content.erase(0, 4);
    }
    if (content.size() > m.size)
      problems->Add("memos of the wrong length",
                    named + ": " + Num(static_cast<uint32_t>(content.size())) +
                        " bytes, longer than the memo's " + Num(m.size));
  }
  return Status::Ok();
}

// Checks one table; prints each problem; returns the number of problems.
// *highest receives the highest record number the table uses.
int CheckTable(TreeFile* f, const std::string& name, Status* status, uint32_t* highest) {
  StoredTable t(&f->tree(), f);
  Status s = t.Open(name, nullptr);
  if (!s.ok()) {
    std::printf("table %s: cannot be opened: %s\n", name.c_str(), Describe(s).c_str());
    *status = s.internal() != 0 ? s : Status::Ok();
    return 1;
  }
  const TableDef& def = t.def();
  Problems problems(name);
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
    *highest = std::max(*highest, record);
  }
  TableStats st;
  if (s.ok()) s = t.ReadStats(kStatsTable, &st);
  if (s.ok() && st.count != images.size())
    problems.Add("wrong counts", "statistics say " + Num(st.count) + " rows, the table holds " +
                                     Num(static_cast<uint32_t>(images.size())));
  for (size_t k = 0; s.ok() && k < def.keys.size(); ++k)
    if (!def.keys[k].dynamic())
      s = CheckKey(f, t, static_cast<uint8_t>(k), images, &problems, highest);
  if (s.ok()) s = CheckMemos(f, t, images, &problems, highest);
  problems.Summarize();
  if (!s.ok()) {
    *status = s;
    return problems.total() + 1;
  }
  if (problems.total() == 0)
    std::printf("table %s: %zu rows, %zu keys: sound\n", name.c_str(), images.size(),
                def.keys.size());
  return problems.total();
}

}  // namespace

int Check(const std::string& path) {
  std::unique_ptr<TreeFile> f;
  Status s = OpenForReading(path, &f);
  if (!s.ok()) return Fail(path, s);
  if (IsEmptyFile(*f)) {
    // What a new file is before its first commit: nothing to check.
    std::printf("%s: an empty file (0 bytes), not a table file: nothing to check\n", path.c_str());
    return kExitOk;
  }
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
    uint32_t highest = 0;
    for (const auto& [name, number] : tables) {
      if (!s.ok()) break;
      highest = std::max(highest, number);
      problems += CheckTable(f.get(), name, &s, &highest);
    }
    // Numbers are never issued twice: the counter must not lie below any
    // number in use, or the next row would take a number that is.
    const FileHeader& h = f->header();
    const uint32_t last =
        DecodeNumber(std::string_view(reinterpret_cast<const char*>(h.last_number), 4));
    if (s.ok() && last < highest) {
      std::printf("header: last issued number %u is below number %u already in use\n", last,
                  highest);
      ++problems;
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
