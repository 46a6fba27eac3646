// A table as the program declares it: a name (file name with an optional
// "\!" table name), its description, and the one row buffer the program reads
// and fills. Each statement returns the runtime error code (0 on success) and
// keeps the code and its text for the caller, plus the file error code and
// text that go with kErrFileSystem. All handles of one process that name the same file
// (the same device and inode) share one PageFile; other processes coordinate
// through the file's byte-range locks.
//
// Threads: any thread may use any handle. Each statement holds the handle's
// mutex and, while it touches the file, the file's mutex (shared_file.h), so
// statements on one handle, and operations on one file, run one at a time.
// The row buffer, the memo buffers and the results (error(), current_record()
// ...) belong to the handle, not to a thread: threads that share a handle
// hold Claim() from filling the buffer to reading the results.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/table/table_def.h"
#include "storage/table/tables.h"
#include "storage/tree/private_tree.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {

// Access mode bits: low two bits 0 = read only; 0x30 selects the sharing.
inline constexpr int kAccessRead = 0x00;
inline constexpr int kAccessReadWrite = 0x02;
inline constexpr int kShareDenyNone = 0x40;
inline constexpr int kShareDenyWrite = 0x20;
inline constexpr int kShareExclusive = 0x10;

// The file and table parts of a declared name: "DIR/MYDATA\!Mailboxes" is
// file "DIR/MYDATA.KFS", table "MAILBOXES"; without "\!" the table is
// "UNNAMED". A "\!" whose left part names an existing directory is passed
// over.
struct TableName {
  std::string file;
  std::string table;
};
TableName SplitTableName(const std::string& name, platform::Env* env);

struct SharedFile;

class DeclaredTable {
 public:
  DeclaredTable(std::string name, TableDef def, platform::Env* env = platform::Env::Default());
  ~DeclaredTable();
  DeclaredTable(const DeclaredTable&) = delete;
  DeclaredTable& operator=(const DeclaredTable&) = delete;

  // Keeps other threads' statements off this handle while held; statements
  // of the holding thread run as usual.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> Claim() {
    return std::unique_lock<std::recursive_mutex>(handle_mu_);
  }

  // The row buffer: def().record_length bytes, shared with the program.
  std::vector<char>& buffer() { return buffer_; }
  // The memo buffers, one per declared memo: a read fills them (unless
  // NoMemo() was asked for), ADD and PUT store them.
  std::vector<std::string>& memos() { return memos_; }
  const TableDef& def() const { return def_; }
  const std::string& name() const { return name_; }
  bool is_open() const;

  // The owner password: a non-empty one enciphers the file (set before the
  // first Open or Create of the file in this process).
  void SetOwnerPassword(std::string password);

  // Opens the table; the stored definition must equal the declaration (47).
  // A declaration without fields takes the stored definition instead (the
  // buffer and memos are sized from it).
  int Open(int access = kAccessReadWrite | kShareDenyNone);
  // Creates the file when missing and the table in it (an existing table of
  // that name loses its rows). Leaves the table closed. A declaration that
  // could not store every row (CheckNewTableDef: a key too long for its
  // entries, ...) is refused with 47, its reason as the file error text.
  int Create();
  // Ends the handle; the file is cut at the end of its data and closed with
  // its last user.
  int Close();

  // Record order, before the first row.
  int Set();
  // Key order of key `key`, before the first entry not less than the key
  // fields of the row buffer.
  int SetKey(int key);
  // Key order of key `key` from its start: Next() reads its first entry,
  // Previous() its last.
  int SetKeyStart(int key);
  int Next();
  int Previous();
  // Reads the row whose key `key` equals the buffer's key fields (35 if none).
  int Get(int key);
  // Whether key `key` holds an entry equal to the buffer's key fields: 0 when
  // it does, 35 when not. Reads the key's pages only, never the row, and
  // leaves the buffer and the position as they were.
  int Has(int key);
  int Add();
  // Adds the row without key entries: every key's pending mark is lowered
  // to it, and the next build (or PACK) makes the entries.
  int Append();
  // Replaces the current row with the buffer (33 without a current row).
  int Put();
  int Delete();

  // Moves `count` rows on (back when negative) in the current order without
  // reading them (33 when the order ends first).
  int Skip(int count);
  // Whether the order has no row before (Bof) or after (Eof) the position.
  int Bof(bool* at_start);
  int Eof(bool* at_end);
  // The position as an opaque value; Reset returns to it so that Next()
  // reads the row that was current; Reget reads that row again.
  std::string Position() const;
  int Reset(const std::string& position);
  int Reget(const std::string& position);
  // The next read leaves the memo buffers alone.
  void NoMemo();

  // Key builds. BuildFile builds every key that is not deferred (a deferred
  // key, or every key with `full`, from the first row; others from their
  // pending marks); BuildKey one key; Pack builds as BuildFile then cuts
  // the file at the end of its data. A closed table is opened for the build
  // (denying others write access) and closed again; an open one must be
  // writable (5).
  int BuildFile(bool full);
  int BuildKey(int key, bool full);
  int Pack(bool full);
  // Deletes every row, key entry and memo of the table.
  int Empty();
  // Deletes the table from its file, and the file when no table is left.
  int Remove();

  // Adds this table's file to the process's transaction: its changes wait
  // for CommitTransaction (or are dropped by RollbackTransaction).
  int Logout();
  // `reporter` (the table COMMIT was sent to) gets the code and file error
  // text of the result.
  static int CommitTransaction(platform::Env* env = platform::Env::Default(),
                               DeclaredTable* reporter = nullptr);
  static int RollbackTransaction();
  // Rows in the table (0 when it cannot be read; see error()).
  uint32_t Records();
  // Entries of key `key` (an optional key has none for rows whose
  // components are empty) and whether the count is complete: a key with a
  // pending mark is missing the entries of rows added without keys.
  int KeyEntries(int key, uint32_t* entries, bool* complete);
  // Reads row `record` (35 when there is none) and positions on it in
  // record order.
  int GetByPointer(uint32_t record);

  // The next read holds its row by the row's lock byte: another process's
  // read with hold, PUT or DELETE of that row fails. `seconds` < 0 waits
  // until the row can be had; otherwise the read gives up with 43 after that
  // many seconds, leaving the position where it was. The request serves
  // that one read, whether it gets the row or not. Handles of one process
  // share the file's locks, so they do not keep each other out.
  void Hold(int seconds = -1);
  // Lets go of the held row (the next read, PUT and DELETE do so as well).
  void Release();
  // The next read keeps the row image: a PUT of that row fails with 89 when
  // the stored row no longer equals it.
  void Watch();

  // Locks the table against other processes' locks: `seconds` < 0 waits for
  // the lock; otherwise tries once a second and fails with 32 when the
  // seconds have passed.
  int LockTable(int seconds = -1);
  int UnlockTable();

  // The table's stored flags value (the second counter of its statistics).
  int ReadFlags(uint32_t* flags);
  int WriteFlags(uint32_t flags);
  // Names of every table stored in the file.
  int ListTables(std::vector<std::string>* names);
  // Sets the expanded bytes of unchanged decoded pages the file keeps in
  // this process (every handle of the file shares them) until the file's
  // last close or another call; returns the budget it replaces. A reader
  // that walks a large key once gains nothing from a large cache. A closed
  // table changes nothing (0).
  size_t LimitCache(size_t bytes);

  int error() const;
  std::string error_text() const;
  int file_error() const;
  std::string file_error_text() const;
  uint32_t current_record() const;

 private:
  class Statement;
  void LockFile();
  void UnlockFile();
  int Finish(int code);
  int FromStatus(const Status& s);
  Status EndChange(Status s);
  Status CheckWatched(const std::string& stored);
  int ChangeCurrentRow(int busy, const std::function<Status(const std::string&)>& change);
  int Step(bool forward);
  Status Locate(bool forward, uint32_t* record, bool* found);
  int Peek(bool forward, bool* none);
  int AddRow(bool append);
  int Build(int key, bool full, bool pack);
  int OpenFile(int access, bool create, bool declared);
  RecordTree* KeyTree(int key);
  int StartOrder(int key);
  // Where the buffer's values fall in key `key`: the first entry at or after
  // them, read in an operation of its own. 0, or the code Finish was given.
  struct KeySeek {
    std::string entry;
    uint32_t record = 0;
    bool found = false;  // an entry at or after the values exists
    bool exact = false;  // and it holds the values themselves
  };
  int SeekBuffer(int key, KeySeek* seek);
  int ReadInto(uint32_t record, bool* found);
  int Guard();
  int HoldRow(uint32_t record);
  void SavePosition();
  void RestorePosition();

  // Held by each statement (recursive: statements call one another); the
  // file's mutex is taken by the outermost one and kept in file_lock_.
  mutable std::recursive_mutex handle_mu_;
  int depth_ = 0;
  std::unique_lock<std::mutex> file_lock_;

  std::string name_;
  TableDef def_;
  platform::Env* env_;
  TableName parts_;
  std::vector<char> buffer_;
  std::vector<std::string> memos_;
  bool declared_ = true;  // false: the stored definition describes the table
  bool no_memo_ = false;
  // Entries of dynamic keys, built by this handle only; never in the file.
  std::map<int, std::unique_ptr<PrivateTree>> dynamic_;
  std::string password_;

  std::shared_ptr<SharedFile> file_;
  std::unique_ptr<StoredTable> table_;
  bool writable_ = false;

  // Position: record order (key_ < 0) or key order of key_. `start_` means
  // before the first (or after the last) row; otherwise `entry_` (key order)
  // or `record_pos_` (record order) is the position, and `pending_` tells
  // that the next Next() returns the entry at the position itself.
  int key_ = -1;
  bool start_ = true;
  bool pending_ = false;
  bool at_end_ = false;  // a key search found nothing: Next() has no row
  std::string entry_;
  uint32_t record_pos_ = 0;
  uint32_t current_ = 0;  // row last read or added; 0 none

  struct Position {
    int key;
    bool start, pending, at_end;
    std::string entry;
    uint32_t record_pos, current;
  } saved_{};

  bool hold_next_ = false;
  int hold_seconds_ = -1;
  uint32_t held_ = 0;  // record whose lock byte this handle holds; 0 none
  bool watch_next_ = false;
  bool watching_ = false;
  std::string watched_;  // row image kept by a watched read
  std::vector<std::string> watched_memos_;
  bool table_locked_ = false;

  int failure_ = 0;  // internal number of a consistency failure
  int error_ = 0;
  int file_error_ = 0;
  std::string file_error_text_;
};

}  // namespace vm::storage
