// One table stored in a file's record tree: creating, opening (checking or
// loading the stored definition), removing and emptying it, and its rows with
// their key entries, memos and statistics. The driver owns one StoredTable per
// open table handle; owner thread only.
//
// Errors: Status::Error with the result codes kErrFileNotFound (table not in
// the file), kErrRecordNotAvailable (row not there), kErrDuplicateKey
// (duplicate on a unique key; the table and its keys are left as they were),
// kErrBadDeclaration (stored definition differs from the declared one);
// otherwise internal consistency numbers from the tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file/number_source.h"
#include "storage/file/result_codes.h"
#include "storage/file/storage_status.h"
#include "storage/table/table_def.h"
#include "storage/tree/collation.h"
#include "storage/tree/tree.h"

namespace vm::storage {

// Both counters of a statistics record.
struct TableStats {
  uint32_t count = 0;   // rows of the table, or entries of a key
  uint32_t second = 0;  // table: the stored flags value; key: its pending mark
};

class StoredTable {
 public:
  StoredTable(RecordTree* tree, NumberSource* numbers) : tree_(tree), numbers_(numbers) {}
  StoredTable(const StoredTable&) = delete;
  StoredTable& operator=(const StoredTable&) = delete;

  // Creates table `name` (stored upper case); an existing table of that name
  // loses all its records first. Writes the name record, the definition
  // stream, the collation record (with `oem`) and zeroed statistics.
  // REQUIRES: CheckNewTableDef(def) is empty.
  Status Create(std::string_view name, const TableDef& def, const Collation& collation, bool oem);
  // Opens an existing table. With `declared`, the stored definition must
  // match it (47 otherwise); without, the stored definition describes the
  // table. The table's stored collation and OEM flag are loaded.
  Status Open(std::string_view name, const TableDef* declared);
  // Deletes the table's name record and every record of the table.
  Status Remove();
  // Deletes every row, key entry and memo, then writes the definition,
  // collation and zeroed statistics again.
  Status Empty();

  uint32_t number() const { return number_; }
  const TableDef& def() const { return def_; }
  const Collation& collation() const { return collation_; }
  bool oem() const { return collation_.oem(); }

  // Adds a row (the program's image, record_length bytes) with its memos
  // (`memos` may be null or shorter than the memo list: missing ones are
  // empty). `append` makes no key entries and lowers every key's pending mark
  // instead. *record receives the new record number.
  Status Add(std::string_view row, const std::vector<std::string>* memos, bool append,
             uint32_t* record);
  // Replaces the row and keeps its key entries current; rewrites the memos
  // when `memos` is not null.
  Status Change(uint32_t record, std::string_view row, const std::vector<std::string>* memos);
  // Deletes the row, its key entries and its memos.
  Status Delete(uint32_t record);

  // Reads a row as the program sees it (converted back from OEM).
  Status ReadRow(uint32_t record, std::string* row, bool* found);
  // Memo i as the program sees it: text memos padded with spaces to their
  // size, binary memos exactly as long as stored.
  Status ReadMemo(uint32_t record, uint8_t memo, std::string* content);
  // Rewrites memo i: unchanged chunks stay, others are replaced, chunks
  // beyond the new end go.
  Status WriteMemo(uint32_t record, uint8_t memo, std::string_view content);

  // Rows in record order: the first row after `record` (0 for the first),
  // or the last one before it (0xFFFFFFFF for the last).
  Status NextRow(uint32_t record, uint32_t* next, bool* found);
  Status PrevRow(uint32_t record, uint32_t* prev, bool* found);
  // NextRow (forward) or PrevRow together with ReadRow of the row found, in
  // one search of the tree: *at receives its number, *row its content.
  Status StepRow(uint32_t record, bool forward, uint32_t* at, std::string* row, bool* found);

  // Key order: the entry of key `key` after (forward) or before `from`, a
  // whole entry key as EntryKey gives it; an empty `from` starts at the
  // first (forward) or last entry. *record is the entry's row. `in` names
  // the tree holding the entries (a dynamic key's private tree); null: the
  // file's.
  Status StepKey(uint8_t key, std::string_view from, bool forward, std::string* entry,
                 uint32_t* record, bool* found, RecordTree* in = nullptr);
  // Positions on key `key` at the first entry whose value is not less than
  // the key value of the program's row image `row` (its other fields do not
  // matter). *exact tells whether that entry has exactly this value.
  Status SeekKey(uint8_t key, std::string_view row, std::string* entry, uint32_t* record,
                 bool* found, bool* exact, RecordTree* in = nullptr);

  // The key entry of `key` for the program's row image; false when the row
  // has no entry in that key (optional key with empty components).
  bool EntryKey(uint8_t key, std::string_view row, uint32_t record, std::string* entry) const;

  // Makes key `key` complete. From its pending mark, or from the first row
  // when `from_start` is set (a deferred key, or the full-build option),
  // after removing every entry it has. Entries go into `target`: the file's
  // tree, or a handle's private tree for a dynamic key. The pending mark
  // and the entry count are reset when the target is the file's tree. A
  // duplicate on a unique key ends the build with 40.
  Status BuildKey(uint8_t key, bool from_start, RecordTree* target);

  Status ReadStats(uint8_t which, TableStats* stats);
  Status WriteStats(uint8_t which, const TableStats& stats);
  // Lowers a key's pending mark to `record` (when it is 0 or above it).
  Status LowerPendingMark(uint8_t key, uint32_t record);

 private:
  std::string ToStored(std::string_view row) const;
  bool StoredEntry(uint8_t key, std::string_view stored, uint32_t record, std::string* entry) const;
  Status DeleteWithPrefix(const std::string& prefix);
  Status DeleteOwnEntry(uint8_t key, const std::string& entry, uint32_t record, bool* found);
  // The row record after (forward) or before row `record`; *at its number.
  Status NeighbourRow(uint32_t record, bool forward, Record* r, uint32_t* at, bool* found);
  Status WriteTableRecords();
  Status AdjustCount(uint8_t which, int delta);
  Status PendingMark(uint8_t key, uint32_t* mark);
  std::string EncodeMemo(uint8_t memo, std::string_view content) const;
  Status WriteChunks(uint32_t record, uint8_t memo, const std::string& stored);

  RecordTree* tree_;
  NumberSource* numbers_;
  std::string name_;
  uint32_t number_ = 0;
  TableDef def_;
  Collation collation_;
};

}  // namespace vm::storage
