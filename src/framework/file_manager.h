// The file manager of one table: it counts the opens of the windows still
// running, opens the file on first real use (creating a missing file, falling
// back to read-only access when write access is refused), runs the table's
// field checks before records are written, and turns the storage driver's
// error codes into numbered messages. One per table, created at start-up and
// owned by the program. Safe from any thread: every operation runs under the
// manager's lock; the record buffer itself is shared without a lock, as the
// program shares it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "framework/file_errors.h"
#include "platform/file.h"
#include "storage/driver/kfs_driver.h"
#include "storage/table/table_def.h"

namespace vm::framework {

class FileManager;

// A field check: looks at the record buffer and returns 0 when it passes,
// otherwise a severity; with `show` it raises its message through
// FileManager::ThrowField.
using FieldCheck = std::function<int(FileManager& file, bool show)>;

// The storage driver entry; tests put a wrapper in its place to inject
// results of single operations.
using DriverEntry =
    std::function<int(int op, storage::KfsControlBlock* cb, storage::KfsArgs* args)>;

// Runtime error codes that only the opening sequence looks at.
inline constexpr int kErrKeysNeedRebuild = 46;
inline constexpr int kErrAlreadyOpen = 52;

// Update modes.
inline constexpr int kUpdateSilent = 0;
inline constexpr int kUpdateReport = 1;
inline constexpr int kUpdateShowOther = 2;

class FileManager {
 public:
  // `table_name` is the name messages show ("Mailboxes"); `file_name` the
  // declared file name; `errors` must outlive the manager.
  FileManager(std::string table_name, std::string file_name, storage::TableDef def,
              FileErrors* errors, platform::Env* env = platform::Env::Default(),
              DriverEntry driver = storage::KfsDriver);
  ~FileManager();
  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;

  // Properties, with their defaults. Set them before the first open.
  bool create = true;
  int lock_recover = 10;
  bool lazy_open = true;
  int open_mode = storage::kAccessReadWrite | storage::kShareDenyNone;  // 0x42
  bool skip_held_records = false;

  // Counts one open; opens the file now unless lazy opening defers it (or
  // `force` asks for it). Returns 0 or the opening sequence's answer.
  int Open(bool report = true, bool force = false);
  // Performs the deferred open before a record operation: 0, or 3 when the
  // table was never opened (message 39) or could not be opened.
  int Use();
  // Counts one open less; the file closes when the count reaches 0.
  int Close();

  // Record order (key < 0) or the order of key `key` from its start.
  int SetOrder(int key = -1);
  // Key order of `key` from the first entry not less than the buffer's key.
  int SetOrderFrom(int key);
  // The next or previous record of the order: 0, 5 at the end (at_eof()),
  // message 28 for a record held elsewhere, message 1 for other errors.
  int Next(bool report = true);
  int Previous(bool report = true);
  // Moves `count` records on (back when negative) without reading them:
  // 0, or 5 when the order ends first.
  int Skip(int count);
  // The record whose key `key` equals the buffer's key fields: 0, 5 when
  // there is none, message 1 for other errors.
  int Fetch(int key, bool report = true);
  // Record number `record` (as current_record() gave it); positions on it.
  int FetchRecord(uint32_t record, bool report = true);
  // The position in the current order as an opaque value, and back to it so
  // that Next() reads the record that was current.
  std::string Position();
  int Reset(const std::string& position);
  uint32_t current_record();
  // Records in the table (0 when it cannot be read).
  uint32_t Records();

  // Field checks in the order they run before Insert and Update.
  void AddFieldCheck(FieldCheck check);
  int Validate(bool show);
  // Raises `id` with `field` and `message` for a field check.
  int ThrowField(int id, const std::string& field, const std::string& message);

  // Adds the buffer as a new record: 0; 5 on a duplicate key (message 13
  // naming the first duplicated key); message 4 for other errors.
  int Insert(bool report = true);
  // Writes the buffer back over the current record (see kUpdate*): 0; 5
  // when another process changed it (messages 6 or 7; the buffer then holds
  // the stored version and kept_copy() the one that was to be written);
  // message 25 for other errors.
  int Update(int mode = kUpdateReport);
  // Deletes the current record: 0, or message 11.
  int Delete(bool report = true);
  // The next read keeps the record image, so that Update notices a change
  // made elsewhere since (89). Reread reads the current record again.
  int Watch();
  int Reread(bool report = true);

  // Remembers `id` as the last error; Throw shows it with the table's name
  // as %File and the last driver error, and returns the answer.
  void SetError(int id);
  int Throw(int id);
  int Throw(int id, MessageValues values);

  // The key description named by message 13 (default: the key's name).
  void SetKeyDescription(int key, std::string description);

  std::vector<char>& buffer();
  // The buffer image an Update wrote last (the operator's version after 89).
  std::vector<char> kept_copy() const;
  // Whether the last Update met a change made elsewhere (89).
  bool update_met_change() const;
  const storage::TableDef& def() const { return cb_.def; }
  const std::string& table_name() const { return table_name_; }
  int open_count() const;
  bool really_open() const;
  bool at_eof() const;
  bool read_only() const;
  int last_error() const;
  // The runtime error of the last driver operation.
  int driver_error() const;

  // For sequences of operations that must not interleave with other
  // threads (reading a page of records, a form's completion).
  std::unique_lock<std::recursive_mutex> Lock() const {
    return std::unique_lock<std::recursive_mutex>(mu_);
  }

 private:
  int Call(int op, storage::KfsArgs* args = nullptr);
  int OpenSequence(bool report);
  int OpenFailed(bool report);
  int Step(bool forward, bool report);
  int FirstDuplicateKey();
  MessageValues Values() const;
  int Fail(int id);

  const std::string table_name_;
  FileErrors* const errors_;
  DriverEntry driver_;
  storage::KfsControlBlock cb_;
  mutable std::recursive_mutex mu_;
  std::vector<FieldCheck> checks_;
  std::vector<std::string> key_descriptions_;
  std::vector<char> kept_;
  std::vector<char> spare_;
  bool met_change_ = false;

  // Use state of the table (one shared buffer: one entry).
  bool used_ = false;
  int opened_ = 0;
  bool at_eof_ = false;
  int last_error_ = 0;
  int in_close_ = 0;
};

}  // namespace vm::framework
