#include "storage/table/tables.h"

#include <algorithm>
#include <cctype>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "storage/table/definition.h"
#include "storage/table/key_codec.h"
#include "storage/table/record_keys.h"
#include "storage/tree/oem_charset.h"

namespace vm::storage {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string EncodeStats(const TableStats& st) {
  std::string d;
  platform::PutFixed32(&d, st.count);
  platform::PutFixed32(&d, st.second);
  return d;
}

// Converts the text fields of a row image between the character sets; fields
// whose second attribute is set are left alone.
void ConvertRow(const TableDef& def, std::string* row, bool to_oem) {
  for (const FieldDef& f : def.fields) {
    if (f.attr2 != 0) continue;
    auto* p = reinterpret_cast<uint8_t*>(row->data()) + f.offset;
    size_t n = 0;
    if (f.type == kTypeString) {
      n = f.size;
    } else if (f.type == kTypeCString) {
      while (n < f.size && p[n] != 0) ++n;
    } else if (f.type == kTypePString && f.size > 0) {
      n = std::min<size_t>(p[0], f.size - 1u);
      ++p;
    } else {
      continue;
    }
    if (to_oem) {
      AnsiToOem(p, n);
    } else {
      OemToAnsi(p, n);
    }
  }
}

}  // namespace

std::string StoredTable::ToStored(std::string_view row) const {
  std::string stored(row.substr(0, def_.record_length));
  stored.resize(def_.record_length, '\0');
  if (oem()) ConvertRow(def_, &stored, true);
  return stored;
}

bool StoredTable::StoredEntry(uint8_t key, std::string_view stored, uint32_t record,
                              std::string* entry) const {
  const KeyDef& k = def_.keys[key];
  if (k.optional() && KeyValueIsEmpty(def_, k, stored)) return false;
  std::string value;
  AppendKeyValue(def_, k, collation_, stored, &value);
  *entry = KeyEntryKey(number_, key, value, k.duplicates(), record);
  return true;
}

// Deletes the entry of row `record`. A unique key's entry is named by the
// value alone: when the row's entry was never made (its key was pending or
// deferred), an entry of that value belongs to another row and stays.
Status StoredTable::DeleteOwnEntry(uint8_t key, const std::string& entry, uint32_t record,
                                   bool* found) {
  *found = false;
  if (!def_.keys[key].duplicates()) {
    std::string data;
    bool present = false;
    Status s = tree_->Get(entry, &data, &present);
    if (!s.ok() || !present || data.size() < 4 || EntryRecordNumber(entry, data) != record)
      return s;
  }
  return tree_->Delete(entry, found);
}

bool StoredTable::EntryKey(uint8_t key, std::string_view row, uint32_t record,
                           std::string* entry) const {
  return StoredEntry(key, ToStored(row), record, entry);
}

Status StoredTable::DeleteWithPrefix(const std::string& prefix) {
  while (true) {
    Record r;
    bool found = false;
    Status s = tree_->Seek(prefix, &r, &found);
    if (!s.ok()) return s;
    if (!found || !StartsWith(r.key, prefix)) return Status::Ok();
    s = tree_->Delete(r.key, &found);
    if (!s.ok()) return s;
  }
}

Status StoredTable::WriteTableRecords() {
  const std::string stream = EncodeDefinition(def_);
  for (size_t pos = 0, block = 0; pos < stream.size(); pos += kDefinitionBlockSize, ++block) {
    Status s = tree_->Put(DefinitionKey(number_, static_cast<uint16_t>(block)),
                          std::string_view(stream).substr(pos, kDefinitionBlockSize));
    if (!s.ok()) return s;
  }
  std::string coll(1, oem() ? '\x01' : '\x00');
  coll += collation_.Block();
  Status s = tree_->Put(CollationKey(number_), coll);
  if (!s.ok()) return s;
  s = WriteStats(kStatsTable, TableStats{});
  for (size_t k = 0; s.ok() && k < def_.keys.size(); ++k)
    s = WriteStats(static_cast<uint8_t>(k), TableStats{});
  return s;
}

Status StoredTable::Create(std::string_view name, const TableDef& def, const Collation& collation,
                           bool oem) {
  name_ = platform::AsciiUpperCase(name);
  std::string old;
  bool found = false;
  Status s = tree_->Get(TableNameKey(name_), &old, &found);
  if (!s.ok()) return s;
  if (found && old.size() == 4) {
    s = DeleteWithPrefix(TablePrefix(DecodeNumber(old)));
    if (!s.ok()) return s;
  }
  s = numbers_->TakeNumber(&number_);
  if (!s.ok()) return s;
  def_ = def;
  collation_ = collation;
  collation_.set_oem(oem);
  s = tree_->Put(TableNameKey(name_), EncodeNumber(number_));
  if (!s.ok()) return s;
  return WriteTableRecords();
}

Status StoredTable::Open(std::string_view name, const TableDef* declared) {
  name_ = platform::AsciiUpperCase(name);
  std::string data;
  bool found = false;
  Status s = tree_->Get(TableNameKey(name_), &data, &found);
  if (!s.ok()) return s;
  if (!found) return Status::Error(kErrFileNotFound);
  if (data.size() != 4) return Status::Internal(kErrBadRecords);
  number_ = DecodeNumber(data);

  std::string stream;
  for (uint32_t block = 0; block <= 0xFFFF; ++block) {
    s = tree_->Get(DefinitionKey(number_, static_cast<uint16_t>(block)), &data, &found);
    if (!s.ok()) return s;
    if (!found) break;
    stream += data;
    if (data.size() < kDefinitionBlockSize) break;
  }
  TableDef stored;
  if (!DecodeDefinition(stream, &stored)) return Status::Internal(kErrBadRecords);
  if (declared != nullptr && !CompareDefinition(stored, *declared).empty())
    return Status::Error(kErrBadDeclaration);
  def_ = declared != nullptr ? *declared : stored;

  s = tree_->Get(CollationKey(number_), &data, &found);
  if (!s.ok()) return s;
  collation_ = Collation::BuiltIn();
  if (found && !Collation::FromBlock(std::string_view(data).substr(1), data[0] != 0, &collation_))
    return Status::Internal(kErrBadRecords);
  return Status::Ok();
}

Status StoredTable::Remove() {
  bool found = false;
  Status s = tree_->Delete(TableNameKey(name_), &found);
  if (!s.ok()) return s;
  return DeleteWithPrefix(TablePrefix(number_));
}

Status StoredTable::Empty() {
  Status s = DeleteWithPrefix(TablePrefix(number_));
  if (!s.ok()) return s;
  // The collation record is written again too, so the table keeps the order
  // its keys were built with.
  return WriteTableRecords();
}

Status StoredTable::ReadStats(uint8_t which, TableStats* stats) {
  std::string data;
  bool found = false;
  Status s = tree_->Get(StatsKey(number_, which), &data, &found);
  if (!s.ok()) return s;
  *stats = TableStats{};
  if (found) {
    if (data.size() != 8) return Status::Internal(kErrBadRecords);
    stats->count = platform::DecodeFixed32(data.data());
    stats->second = platform::DecodeFixed32(data.data() + 4);
  }
  return Status::Ok();
}

Status StoredTable::WriteStats(uint8_t which, const TableStats& stats) {
  return tree_->Put(StatsKey(number_, which), EncodeStats(stats));
}

Status StoredTable::AdjustCount(uint8_t which, int delta) {
  if (delta == 0) return Status::Ok();
  TableStats st;
  Status s = ReadStats(which, &st);
  if (!s.ok()) return s;
  st.count = static_cast<uint32_t>(static_cast<int64_t>(st.count) + delta);
  return WriteStats(which, st);
}

Status StoredTable::PendingMark(uint8_t key, uint32_t* mark) {
  TableStats st;
  Status s = ReadStats(key, &st);
  *mark = st.second;
  return s;
}

Status StoredTable::LowerPendingMark(uint8_t key, uint32_t record) {
  TableStats st;
  Status s = ReadStats(key, &st);
  if (!s.ok()) return s;
  if (st.second != 0 && st.second <= record) return Status::Ok();
  st.second = record;
  return WriteStats(key, st);
}

Status StoredTable::Add(std::string_view row, const std::vector<std::string>* memos, bool append,
                        uint32_t* record) {
  uint32_t rn = 0;
  Status s = numbers_->TakeNumber(&rn);
  if (!s.ok()) return s;
  const std::string stored = ToStored(row);
  std::vector<std::string> made;
  std::vector<uint8_t> counted;
  auto undo = [&] {
    bool found = false;
    for (const std::string& e : made) tree_->Delete(e, &found);
  };
  for (size_t i = 0; i < def_.keys.size(); ++i) {
    const KeyDef& k = def_.keys[i];
    const auto key = static_cast<uint8_t>(i);
    if (k.dynamic()) continue;
    if (append || k.deferred()) {
      s = LowerPendingMark(key, rn);
      if (!s.ok()) return s;
      continue;
    }
    uint32_t mark = 0;
    s = PendingMark(key, &mark);
    if (!s.ok()) return s;
    std::string entry;
    if ((mark != 0 && rn >= mark) || !StoredEntry(key, stored, rn, &entry)) continue;
    if (!k.duplicates()) {
      std::string existing;
      bool found = false;
      s = tree_->Get(entry, &existing, &found);
      if (s.ok() && found) {
        undo();
        return Status::Error(kErrDuplicateKey);
      }
    }
    if (s.ok()) s = tree_->Insert(entry, k.duplicates() ? std::string() : EncodeNumber(rn));
    if (!s.ok()) return s;
    made.push_back(entry);
    counted.push_back(key);
  }
  s = tree_->Insert(RowKey(number_, rn), stored);
  for (size_t i = 0; s.ok() && i < counted.size(); ++i) s = AdjustCount(counted[i], +1);
  if (s.ok()) s = AdjustCount(kStatsTable, +1);
  for (size_t m = 0; s.ok() && m < def_.memos.size(); ++m) {
    if (memos != nullptr && m < memos->size() && !(*memos)[m].empty())
      s = WriteMemo(rn, static_cast<uint8_t>(m), (*memos)[m]);
  }
  if (!s.ok()) return s;
  *record = rn;
  return Status::Ok();
}

Status StoredTable::Change(uint32_t record, std::string_view row,
                           const std::vector<std::string>* memos) {
  std::string old;
  bool found = false;
  Status s = tree_->Get(RowKey(number_, record), &old, &found);
  if (!s.ok()) return s;
  if (!found) return Status::Error(kErrRecordNotAvailable);
  const std::string stored = ToStored(row);
  struct Changed {
    uint8_t key;
    bool had_old, has_new;
    std::string old_entry, new_entry;
  };
  std::vector<Changed> done;
  // Takes back the key changes of this call, newest first.
  auto undo = [&] {
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
      bool f = false;
      if (it->has_new) tree_->Delete(it->new_entry, &f);
      if (it->had_old)
        tree_->Insert(it->old_entry,
                      def_.keys[it->key].duplicates() ? std::string() : EncodeNumber(record));
    }
  };
  for (size_t i = 0; stored != old && i < def_.keys.size(); ++i) {
    const KeyDef& k = def_.keys[i];
    const auto key = static_cast<uint8_t>(i);
    if (k.dynamic()) continue;
    if (k.deferred()) {
      s = LowerPendingMark(key, record);
      if (!s.ok()) return s;
      continue;
    }
    uint32_t mark = 0;
    s = PendingMark(key, &mark);
    if (!s.ok()) return s;
    if (mark != 0 && record >= mark) continue;
    Changed c{key, false, false, {}, {}};
    c.had_old = StoredEntry(key, old, record, &c.old_entry);
    c.has_new = StoredEntry(key, stored, record, &c.new_entry);
    if (c.had_old == c.has_new && c.old_entry == c.new_entry) continue;
    if (c.has_new && !k.duplicates()) {
      std::string existing;
      s = tree_->Get(c.new_entry, &existing, &found);
      if (s.ok() && found) {
        undo();
        return Status::Error(kErrDuplicateKey);
      }
    }
    if (c.has_new) {
      if (s.ok())
        s = tree_->Insert(c.new_entry, k.duplicates() ? std::string() : EncodeNumber(record));
      if (!s.ok()) return s;
    }
    if (c.had_old) {
      s = DeleteOwnEntry(key, c.old_entry, record, &found);
      if (!s.ok()) return s;
      c.had_old = found;
    }
    done.push_back(std::move(c));
  }
  for (const Changed& c : done) {
    s = AdjustCount(c.key, (c.has_new ? 1 : 0) - (c.had_old ? 1 : 0));
    if (!s.ok()) return s;
  }
  if (stored != old) {
    s = tree_->Put(RowKey(number_, record), stored);
    if (!s.ok()) return s;
  }
  for (size_t m = 0; memos != nullptr && m < def_.memos.size(); ++m) {
    s = WriteMemo(record, static_cast<uint8_t>(m),
                  m < memos->size() ? std::string_view((*memos)[m]) : std::string_view());
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status StoredTable::Delete(uint32_t record) {
  std::string stored;
  bool found = false;
  Status s = tree_->Get(RowKey(number_, record), &stored, &found);
  if (!s.ok()) return s;
  if (!found) return Status::Error(kErrRecordNotAvailable);
  for (size_t i = 0; i < def_.keys.size(); ++i) {
    const auto key = static_cast<uint8_t>(i);
    std::string entry;
    if (def_.keys[i].dynamic() || !StoredEntry(key, stored, record, &entry)) continue;
    s = DeleteOwnEntry(key, entry, record, &found);
    if (s.ok() && found) s = AdjustCount(key, -1);
    if (!s.ok()) return s;
  }
  s = DeleteWithPrefix(MemoPrefix(number_, record));
  if (s.ok()) s = tree_->Delete(RowKey(number_, record), &found);
  if (s.ok()) s = AdjustCount(kStatsTable, -1);
  return s;
}

Status StoredTable::ReadRow(uint32_t record, std::string* row, bool* found) {
  std::string stored;
  Status s = tree_->Get(RowKey(number_, record), &stored, found);
  if (!s.ok() || !*found) return s;
  if (stored.size() != def_.record_length) return Status::Internal(kErrBadRecords);
  *row = std::move(stored);
  if (oem()) ConvertRow(def_, row, false);
  return Status::Ok();
}

Status StoredTable::BuildKey(uint8_t key, bool from_start, RecordTree* target) {
  const bool in_file = target == tree_;
  TableStats st;
  Status s = ReadStats(key, &st);
  if (!s.ok()) return s;
  uint32_t first = from_start || !in_file ? 0 : st.second;
  if (in_file && !from_start && first == 0) return Status::Ok();  // already complete
  if (from_start || !in_file) {
    const std::string prefix = KeyPrefix(number_, key);
    RecordTree* saved = tree_;
    tree_ = target;
    s = DeleteWithPrefix(prefix);
    tree_ = saved;
    if (!s.ok()) return s;
    st.count = 0;
  }
  const KeyDef& k = def_.keys[key];
  uint32_t rn = first == 0 ? 0 : first - 1;
  while (true) {
    bool found = false;
    s = NextRow(rn, &rn, &found);
    if (!s.ok()) return s;
    if (!found) break;
    std::string stored, entry, existing;
    s = tree_->Get(RowKey(number_, rn), &stored, &found);
    if (!s.ok()) return s;
    if (!found || !StoredEntry(key, stored, rn, &entry)) continue;
    if (!k.duplicates()) {
      s = target->Get(entry, &existing, &found);
      if (!s.ok()) return s;
      if (found) {
        // An entry left from before the mark for this very row is no clash.
        if (EntryRecordNumber(entry, existing) == rn) continue;
        return Status::Error(kErrDuplicateKey);
      }
    }
    s = target->Put(entry, k.duplicates() ? std::string() : EncodeNumber(rn));
    if (!s.ok()) return s;
    ++st.count;
  }
  if (!in_file) return Status::Ok();
  st.second = 0;
  return WriteStats(key, st);
}

Status StoredTable::NeighbourRow(uint32_t record, bool forward, Record* r, uint32_t* at,
                                 bool* found) {
  const std::string key = RowKey(number_, record);
  Status s = forward ? tree_->Next(key, r, found) : tree_->Prev(key, r, found);
  if (!s.ok()) return s;
  // A row key is the row prefix (the table number and F3) plus 4 bytes.
  const std::string_view prefix = std::string_view(key).substr(0, key.size() - 4);
  if (!*found || !StartsWith(r->key, prefix) || r->key.size() != key.size()) {
    *found = false;
    return Status::Ok();
  }
  *at = DecodeNumber(std::string_view(r->key).substr(prefix.size()));
  return Status::Ok();
}

Status StoredTable::NextRow(uint32_t record, uint32_t* next, bool* found) {
  Record r;
  return NeighbourRow(record, true, &r, next, found);
}

Status StoredTable::PrevRow(uint32_t record, uint32_t* prev, bool* found) {
  Record r;
  return NeighbourRow(record, false, &r, prev, found);
}

Status StoredTable::StepRow(uint32_t record, bool forward, uint32_t* at, std::string* row,
                            bool* found) {
  Record r;
  Status s = NeighbourRow(record, forward, &r, at, found);
  if (!s.ok() || !*found) return s;
  if (r.data.size() != def_.record_length) return Status::Internal(kErrBadRecords);
  *row = std::move(r.data);
  if (oem()) ConvertRow(def_, row, false);
  return Status::Ok();
}

Status StoredTable::StepKey(uint8_t key, std::string_view from, bool forward, std::string* entry,
                            uint32_t* record, bool* found, RecordTree* in) {
  RecordTree* tree = in != nullptr ? in : tree_;
  const std::string prefix = KeyPrefix(number_, key);
  Record r;
  Status s;
  if (forward) {
    s = from.empty() ? tree->Seek(prefix, &r, found) : tree->Next(from, &r, found);
  } else if (from.empty()) {
    // Just past the last entry: the prefix with its last byte raised (key
    // numbers are below 0xF3, so the byte never overflows).
    std::string end = prefix;
    end.back() = static_cast<char>(static_cast<uint8_t>(end.back()) + 1);
    s = tree->Prev(end, &r, found);
  } else {
    s = tree->Prev(from, &r, found);
  }
  if (!s.ok()) return s;
  if (!*found || !StartsWith(r.key, prefix)) {
    *found = false;
    return Status::Ok();
  }
  *record = EntryRecordNumber(r.key, r.data);
  *entry = std::move(r.key);
  return Status::Ok();
}

Status StoredTable::SeekKey(uint8_t key, std::string_view row, std::string* entry, uint32_t* record,
                            bool* found, bool* exact, RecordTree* in) {
  RecordTree* tree = in != nullptr ? in : tree_;
  const KeyDef& k = def_.keys[key];
  std::string value;
  AppendKeyValue(def_, k, collation_, ToStored(row), &value);
  const std::string start = KeyPrefix(number_, key) + value;
  Record r;
  *exact = false;
  Status s = tree->Seek(start, &r, found);
  if (!s.ok()) return s;
  if (!*found || !StartsWith(r.key, KeyPrefix(number_, key))) {
    *found = false;
    return Status::Ok();
  }
  // Entries of a unique key end with the value; with duplicates the record
  // number follows it.
  *exact = StartsWith(r.key, start) && r.key.size() == start.size() + (k.duplicates() ? 4 : 0);
  *record = EntryRecordNumber(r.key, r.data);
  *entry = std::move(r.key);
  return Status::Ok();
}

}  // namespace vm::storage
