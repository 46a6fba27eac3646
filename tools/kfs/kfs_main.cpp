// kfs: looks into a table file without the program. `info` lists the header
// and the tables, `dump` prints a table's definition and rows, `check` walks
// the whole tree and compares every table's rows with its key entries and
// statistics. Exit 0 only when the command succeeded (and, for check, the
// file is sound); 1 when the file is damaged; 2 on usage or open errors.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/declared_table.h"
#include "storage/definition.h"
#include "storage/kfs_ops.h"
#include "storage/page_file.h"
#include "storage/record_keys.h"
#include "storage/tables.h"

namespace vm::storage {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitDamaged = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: kfs info FILE\n"
    "       kfs dump FILE[\\!TABLE] [--key NAME] [--schema]\n"
    "       kfs check FILE\n"
    "       kfs --help\n"
    "  info   the file's header and its tables with their row counts\n"
    "  dump   a table's rows (record order, or the order of key NAME);\n"
    "         --schema prints the table's fields and keys instead\n"
    "  check  verifies the tree, every table's statistics and key entries;\n"
    "         exits 0 only when the file is sound\n";

std::string Describe(const Status& s) {
  if (s.internal() != 0) {
    return std::string(KfsErrorText(kErrFileSystem)) + " (" + std::string(kCorruptionText) + ", " +
           std::to_string(s.internal()) + ")";
  }
  std::string text(KfsErrorText(s.code()));
  return (text.empty() ? "error" : text) + " (" + std::to_string(s.code()) + ")";
}

int Fail(const std::string& what, const Status& s) {
  std::fprintf(stderr, "kfs: %s: %s\n", what.c_str(), Describe(s).c_str());
  return s.internal() != 0 || s.code() == kErrInvalidDataFile ? kExitDamaged : kExitUsage;
}

Status OpenForReading(const std::string& path, std::unique_ptr<PageFile>* out) {
  PageFile::Options o;
  o.access = platform::Access::kRead;
  o.share = platform::Share::kDenyNone;
  return PageFile::Open(platform::Env::Default(), path, o, out);
}

// Names and numbers of the tables in the file, from the name records.
Status ListTables(RecordTree& tree, std::map<std::string, uint32_t>* tables) {
  const std::string prefix = TableNameKey("");
  Record r;
  bool found = false;
  Status s = tree.Seek(prefix, &r, &found);
  while (s.ok() && found && r.key.compare(0, prefix.size(), prefix) == 0) {
    (*tables)[r.key.substr(prefix.size())] = r.data.size() == 4 ? DecodeNumber(r.data) : 0;
    const std::string key = r.key;
    s = tree.Next(key, &r, &found);
  }
  return s;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case kTypeByte: return "BYTE";
    case kTypeShort: return "SHORT";
    case kTypeUShort: return "USHORT";
    case kTypeDate: return "DATE";
    case kTypeTime: return "TIME";
    case kTypeLong: return "LONG";
    case kTypeULong: return "ULONG";
    case kTypeSReal: return "SREAL";
    case kTypeReal: return "REAL";
    case kTypeDecimal: return "DECIMAL";
    case kTypePDecimal: return "PDECIMAL";
    case kTypeString: return "STRING";
    case kTypeCString: return "CSTRING";
    case kTypePString: return "PSTRING";
    case kTypeGroup: return "GROUP";
    default: return "?";
  }
}

int Info(const std::string& path) {
  std::unique_ptr<PageFile> f;
  Status s = OpenForReading(path, &f);
  if (!s.ok()) return Fail(path, s);
  s = f->Begin(false);
  if (!s.ok()) return Fail(path, s);
  const FileHeader& h = f->header();
  std::printf("file: %s\n", path.c_str());
  std::printf("data end: %u bytes\nchange counter: %d\nroot page: %d\n", h.DataEnd(), h.change_counter, h.root);
  std::printf("last number: %u\n", DecodeNumber(std::string_view(reinterpret_cast<const char*>(h.last_number), 4)));
  for (int k = 1; k < kRegionCount; ++k) {
    if (h.end[k] > h.start[k]) std::printf("region %d: %u pages\n", k, h.PagesIn(k));
  }
  std::map<std::string, uint32_t> tables;
  if (h.root >= 0) s = ListTables(f->tree(), &tables);
  for (const auto& [name, number] : tables) {
    if (!s.ok()) break;
    StoredTable t(&f->tree(), f.get());
    s = t.Open(name, nullptr);
    TableStats st;
    if (s.ok()) s = t.ReadStats(kStatsTable, &st);
    if (s.ok()) {
      std::printf("table %s: number %u, record length %u, %u rows, %zu keys, %zu memos\n", name.c_str(), number,
                  t.def().record_length, st.count, t.def().keys.size(), t.def().memos.size());
    }
  }
  f->EndRead();
  if (!s.ok()) return Fail(path, s);
  return kExitOk;
}

std::string FieldText(const FieldDef& field, std::string_view row) {
  if (field.offset + field.size > row.size()) return "?";
  std::string_view v = row.substr(field.offset, field.size);
  auto integer = [&](auto t) {
    decltype(t) x;
    std::memcpy(&x, v.data(), sizeof x);
    return std::to_string(x);
  };
  switch (field.type) {
    case kTypeByte: return std::to_string(static_cast<uint8_t>(v[0]));
    case kTypeShort: return v.size() == 2 ? integer(int16_t{}) : "?";
    case kTypeUShort: return v.size() == 2 ? integer(uint16_t{}) : "?";
    case kTypeLong:
    case kTypeDate:
    case kTypeTime: return v.size() == 4 ? integer(int32_t{}) : "?";
    case kTypeULong: return v.size() == 4 ? integer(uint32_t{}) : "?";
    case kTypeString:
    case kTypeCString:
    case kTypePString: {
      std::string s(v);
      if (field.type == kTypeCString) s = s.substr(0, s.find('\0'));
      if (field.type == kTypePString && !s.empty()) s = s.substr(1, static_cast<uint8_t>(s[0]));
      s.erase(s.find_last_not_of(' ') + 1);
      std::string quoted = "\"";
      for (unsigned char c : s) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", c);
          quoted += buf;
        } else {
          quoted += static_cast<char>(c);
        }
      }
      return quoted + "\"";
    }
    default: {
      std::string hex;
      char buf[4];
      for (unsigned char c : v) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        hex += buf;
      }
      return hex;
    }
  }
}

void PrintSchema(const std::string& name, const TableDef& def) {
  std::printf("table %s, record length %u\n", name.c_str(), def.record_length);
  for (const FieldDef& f : def.fields) {
    std::printf("  field %-28s %-8s offset %5u size %5u\n", f.name.c_str(), TypeName(f.type), f.offset, f.size);
  }
  for (const MemoDef& m : def.memos) {
    std::printf("  memo  %-28s size %u%s\n", m.name.c_str(), m.size, m.binary() ? " binary" : "");
  }
  for (const KeyDef& k : def.keys) {
    std::printf("  key   %-28s attributes %u:", k.name.c_str(), k.flags);
    for (const KeyComponent& c : k.components) {
      std::printf(" %s%s", c.descending() ? "-" : "+",
                  c.field < def.fields.size() ? def.fields[c.field].name.c_str() : "?");
    }
    std::printf("\n");
  }
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int Dump(const std::string& name, const std::string& key_name, bool schema) {
  const TableName parts = SplitTableName(name, platform::Env::Default());
  std::unique_ptr<PageFile> f;
  Status s = OpenForReading(parts.file, &f);
  if (!s.ok()) return Fail(parts.file, s);
  s = f->Begin(false);
  if (!s.ok()) return Fail(parts.file, s);
  StoredTable t(&f->tree(), f.get());
  s = t.Open(parts.table, nullptr);
  if (!s.ok()) {
    f->EndRead();
    return Fail(parts.file + ", table " + parts.table, s);
  }
  const TableDef& def = t.def();
  if (schema) {
    PrintSchema(parts.table, def);
    f->EndRead();
    return kExitOk;
  }
  int key = -1;
  if (!key_name.empty()) {
    for (size_t i = 0; i < def.keys.size(); ++i)
      if (def.keys[i].name == Upper(key_name)) key = static_cast<int>(i);
    if (key < 0) {
      f->EndRead();
      std::fprintf(stderr, "kfs: table %s has no key %s\n", parts.table.c_str(), key_name.c_str());
      return kExitUsage;
    }
  }
  auto print_row = [&](uint32_t record) -> Status {
    std::string row;
    bool found = false;
    Status rs = t.ReadRow(record, &row, &found);
    if (!rs.ok() || !found) return rs;
    std::printf("record %u:", record);
    for (const FieldDef& field : def.fields) {
      std::printf(" %s=%s", field.name.c_str(), FieldText(field, row).c_str());
    }
    std::printf("\n");
    return rs;
  };
  bool found = true;
  uint32_t record = 0;
  std::string entry;
  while (s.ok()) {
    if (key < 0) {
      s = t.NextRow(record, &record, &found);
    } else {
      std::string next;
      s = t.StepKey(static_cast<uint8_t>(key), entry, true, &next, &record, &found);
      entry = next;
    }
    if (!s.ok() || !found) break;
    s = print_row(record);
  }
  f->EndRead();
  if (!s.ok()) return Fail(parts.file, s);
  return kExitOk;
}

// Counts the records under `prefix`, calling `each` for every one.
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
    std::printf("table %s: statistics say %u rows, the table holds %zu\n", name.c_str(), st.count, images.size());
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
      std::printf("table %s, key %s: %zu entries name missing rows\n", name.c_str(), key.name.c_str(), dangling);
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
      std::printf("table %s, key %s: %zu rows have no entry\n", name.c_str(), key.name.c_str(), missing);
      ++problems;
    }
  }
  if (!s.ok()) {
    *status = s;
    return problems + 1;
  }
  if (problems == 0) std::printf("table %s: %zu rows, %zu keys: sound\n", name.c_str(), images.size(), def.keys.size());
  return problems;
}

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
    s = ListTables(f->tree(), &tables);
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

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const std::string command = args[0];
  if ((command == "info" || command == "check") && args.size() == 2) {
    return command == "info" ? Info(args[1]) : Check(args[1]);
  }
  if (command == "dump" && args.size() >= 2) {
    std::string key;
    bool schema = false;
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--schema") {
        schema = true;
      } else if (args[i] == "--key" && i + 1 < args.size()) {
        key = args[++i];
      } else {
        std::fprintf(stderr, "kfs: unknown option %s\n%s", args[i].c_str(), kUsage);
        return kExitUsage;
      }
    }
    return Dump(args[1], key, schema);
  }
  std::fprintf(stderr, "kfs: unknown command or missing argument\n%s", kUsage);
  return kExitUsage;
}

}  // namespace
}  // namespace vm::storage

int main(int argc, char** argv) { return vm::storage::Main(argc, argv); }
