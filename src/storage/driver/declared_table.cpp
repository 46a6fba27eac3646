#include "storage/driver/declared_table.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/ascii_text.h"
#include "storage/driver/kfs_ops.h"
#include "storage/driver/kfs_transaction.h"
#include "storage/driver/shared_file.h"
#include "storage/table/record_keys.h"

namespace vm::storage {

namespace {

std::string WithExtension(std::string file) {
  const size_t slash = file.find_last_of("/\\");
  const size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) file += ".KFS";
  return file;
}

}  // namespace

TableName SplitTableName(const std::string& name, platform::Env* env) {
  size_t from = 0;
  for (;;) {
    const size_t at = name.find("\\!", from);
    if (at == std::string::npos) break;
    const std::string left = name.substr(0, at);
    if (!env->IsDirectory(left))
      return {WithExtension(left), platform::AsciiUpperCase(name.substr(at + 2))};
    from = at + 2;
  }
  return {WithExtension(name), "UNNAMED"};
}

// One statement: the handle's mutex, and the file's while a file is held
// (OpenFile and Close take and drop it when they change the file).
class DeclaredTable::Statement {
 public:
  explicit Statement(DeclaredTable* t) : t_(t), handle_(t->handle_mu_) {
    if (t_->depth_++ == 0) t_->LockFile();
  }
  ~Statement() {
    if (--t_->depth_ == 0) t_->UnlockFile();
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

 private:
  DeclaredTable* t_;
  std::lock_guard<std::recursive_mutex> handle_;
};

void DeclaredTable::LockFile() {
  if (file_ && !file_lock_.owns_lock()) file_lock_ = std::unique_lock<std::mutex>(file_->mu);
}

void DeclaredTable::UnlockFile() {
  if (file_lock_.owns_lock()) file_lock_.unlock();
  file_lock_ = std::unique_lock<std::mutex>();
}

bool DeclaredTable::is_open() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return table_ != nullptr;
}

void DeclaredTable::SetOwnerPassword(std::string password) {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  password_ = std::move(password);
}

void DeclaredTable::NoMemo() {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  no_memo_ = true;
}

void DeclaredTable::Watch() {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  watch_next_ = true;
}

int DeclaredTable::error() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return error_;
}

int DeclaredTable::file_error() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return file_error_;
}

std::string DeclaredTable::file_error_text() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return file_error_text_;
}

uint32_t DeclaredTable::current_record() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return current_;
}

DeclaredTable::DeclaredTable(std::string name, TableDef def, platform::Env* env)
    : name_(std::move(name)), def_(std::move(def)), env_(env), buffer_(def_.record_length, ' ') {
  parts_ = SplitTableName(name_, env_);
}

DeclaredTable::~DeclaredTable() {
  Statement statement(this);
  if (is_open()) Close();
}

std::string DeclaredTable::error_text() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  return std::string(KfsErrorText(error_));
}

int DeclaredTable::Finish(int code) {
  error_ = code;
  if (code != kErrFileSystem) {
    file_error_ = 0;
    file_error_text_.clear();
  }
  return code;
}

// Maps a storage result to the runtime code. A consistency failure is kept
// with the handle: every later statement but Close fails with kErrFileSystem.
int DeclaredTable::FromStatus(const Status& s) {
  if (s.ok()) return Finish(0);
  if (s.file_full()) {  // refused before anything was written: not a failure of the table
    file_error_ = 0;
    file_error_text_ = std::string(kFileFullText);
    return Finish(kErrFileSystem);
  }
  if (s.internal() != 0) {
    failure_ = s.internal();
    file_error_ = failure_;
    file_error_text_ = std::string(kCorruptionText);
    return Finish(kErrFileSystem);
  }
  const int rc = Finish(s.code());
  if (s.has_cause()) {
    // The system's cause and the path, for the program's file error text.
    file_error_ = s.os_error() != 0 ? s.os_error() : s.code();
    file_error_text_ = s.text();
  }
  return rc;
}

int DeclaredTable::Guard() {
  if (failure_ != 0) {
    file_error_ = failure_;
    file_error_text_ = std::string(kCorruptionText);
    return Finish(kErrFileSystem);
  }
  if (!is_open()) return Finish(kErrFileNotOpen);
  return 0;
}

int DeclaredTable::Open(int access) {
  Statement statement(this);
  if (is_open()) Close();
  declared_ = !def_.fields.empty() || !def_.memos.empty() || def_.record_length != 0;
  if (declared_ && (def_.record_length > kMaxRecordLength || !CheckTableDef(def_).empty())) {
    return Finish(kErrBadDeclaration);
  }
  return OpenFile(access, false, declared_);
}

// Opens the table of the file; `declared` compares the stored definition
// with the declaration, otherwise the stored one is taken.
int DeclaredTable::OpenFile(int access, bool create, bool declared) {
  std::shared_ptr<SharedFile> f;
  Status s = AcquireSharedFile(env_, parts_.file, access, create, &f, password_);
  if (!s.ok()) return FromStatus(s);
  std::unique_lock<std::mutex> file_lock(f->mu);
  TreeFile& pf = *f->file;
  auto table = std::make_unique<StoredTable>(&pf.tree(), &pf);
  s = pf.Begin(false);
  if (s.ok()) {
    s = table->Open(parts_.table, declared ? &def_ : nullptr);
    pf.EndRead();
  }
  if (!s.ok()) return FromStatus(s);
  if (!declared) {
    def_ = table->def();
    buffer_.assign(def_.record_length, ' ');
  }
  memos_.resize(def_.memos.size());
  UnlockFile();
  file_ = std::move(f);
  file_lock_ = std::move(file_lock);
  table_ = std::move(table);
  writable_ = (access & 0x03) != 0;
  key_ = -1;
  start_ = true;
  pending_ = false;
  current_ = 0;
  return Finish(0);
}

int DeclaredTable::Create() {
  Statement statement(this);
  if (is_open()) Close();
  // A new table must be able to store every row it may be given; the reason
  // for a refusal ("key ... is too long: ...") is the file error text.
  const std::string unsound =
      def_.record_length > kMaxRecordLength
          ? "record length " + std::to_string(def_.record_length) + " out of range"
          : CheckNewTableDef(def_);
  if (!unsound.empty()) {
    const int rc = Finish(kErrBadDeclaration);
    file_error_text_ = unsound;
    return rc;
  }
  std::shared_ptr<SharedFile> f;
  Status s =
      AcquireSharedFile(env_, parts_.file, kAccessReadWrite | kShareDenyNone, true, &f, password_);
  if (!s.ok()) return FromStatus(s);
  std::lock_guard<std::mutex> file_lock(f->mu);
  TreeFile& pf = *f->file;
  StoredTable table(&pf.tree(), &pf);
  s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  s = table.Create(parts_.table, def_, Collation::BuiltIn(), false);
  file_ = f;  // EndChange looks at the file's transaction membership
  s = EndChange(s);
  file_.reset();
  return FromStatus(s);
}

// The tree holding key `key`'s entries: a dynamic key's private tree (empty
// until a build makes it), otherwise the file's (null).
RecordTree* DeclaredTable::KeyTree(int key) {
  if (!table_->def().keys[key].dynamic()) return nullptr;
  auto& tree = dynamic_[key];
  if (!tree) tree = std::make_unique<PrivateTree>();
  return &tree->tree();
}

// Ends a changing operation: commits it, or drops it when it failed. A file
// in the transaction keeps its changes for COMMIT; a failure that may have
// left part of them behind fails the transaction.
Status DeclaredTable::EndChange(Status s) {
  TreeFile& pf = *file_->file;
  if (Transaction::Process().Holds(&pf)) {
    if (s.internal() != 0) Transaction::Process().MarkFailed(s);
    return s;
  }
  if (s.ok()) return pf.Commit();
  pf.Rollback();
  return s;
}

int DeclaredTable::Close() {
  Statement statement(this);
  if (!is_open()) {
    failure_ = 0;
    return Finish(0);
  }
  Release();
  if (table_locked_) UnlockTable();
  dynamic_.clear();
  hold_next_ = watch_next_ = watching_ = false;
  table_.reset();
  Status s;
  if (failure_ != 0) {
    failure_ =
        0;  // nothing of this handle is left uncommitted: every statement commits or rolls back
  } else if (file_.use_count() == 1) {
    s = file_->file->TruncateToData();
  }
  UnlockFile();
  file_.reset();
  return FromStatus(s);
}

int DeclaredTable::Set() {
  return StartOrder(-1);
}

int DeclaredTable::SetKeyStart(int key) {
  if (key < 0) return Finish(kErrRecordNotFound);
  return StartOrder(key);
}

// Before the first row of record order (-1) or of key `key`'s order.
int DeclaredTable::StartOrder(int key) {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (key >= static_cast<int>(table_->def().keys.size())) return Finish(kErrRecordNotFound);
  key_ = key;
  start_ = true;
  pending_ = false;
  at_end_ = false;
  return Finish(0);
}

int DeclaredTable::SeekBuffer(int key, KeySeek* seek) {
  if (key < 0 || key >= static_cast<int>(table_->def().keys.size()))
    return Finish(kErrRecordNotFound);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  s = table_->SeekKey(static_cast<uint8_t>(key), std::string_view(buffer_.data(), buffer_.size()),
                      &seek->entry, &seek->record, &seek->found, &seek->exact, KeyTree(key));
  pf.EndRead();
  return s.ok() ? 0 : FromStatus(s);
}

int DeclaredTable::SetKey(int key) {
  Statement statement(this);
  if (int g = Guard()) return g;
  KeySeek seek;
  if (int rc = SeekBuffer(key, &seek)) return rc;
  key_ = key;
  start_ = !seek.found;
  at_end_ = !seek.found;
  pending_ = seek.found;
  entry_ = std::move(seek.entry);
  record_pos_ = seek.record;
  return Finish(0);
}

// Copies row `record` into the buffer and makes it the current row.
int DeclaredTable::ReadInto(uint32_t record, bool* found) {
  // The hold comes first: its wait may let other statements change the row.
  const bool hold = hold_next_;
  if (hold) {
    if (int rc = HoldRow(record)) return rc;
  }
  std::string row;
  Status s = table_->ReadRow(record, &row, found);
  if (!s.ok() || !*found) {
    if (hold) {
      Release();  // no row to hold: the request waits for the next read
      hold_next_ = true;
    }
    return s.ok() ? 0 : FromStatus(s);
  }
  std::vector<std::string> memos(memos_.size());
  for (size_t m = 0; !no_memo_ && m < memos.size(); ++m) {
    Status ms = table_->ReadMemo(record, static_cast<uint8_t>(m), &memos[m]);
    if (!ms.ok()) return FromStatus(ms);
  }
  std::copy(row.begin(), row.end(), buffer_.begin());
  if (!no_memo_) memos_ = std::move(memos);
  no_memo_ = false;
  current_ = record;
  watching_ = watch_next_;
  watch_next_ = false;
  if (watching_) {
    watched_ = row;
    watched_memos_ = memos_;
  }
  return 0;
}

// Takes the row's lock byte for a read with hold: at once, or retrying until
// the hold's seconds (counted in hundredths) have passed (43). Only another
// process can keep it (handles of this one share it). Between attempts the
// read's operation ends and the file's mutex is let go: the holder may need
// a commit (which waits for this reader slot) or a sibling thread's statement
// before it lets go.
int DeclaredTable::HoldRow(uint32_t record) {
  const uint64_t byte = kTableRecordLockBase + record;
  const auto start = std::chrono::steady_clock::now();
  while (!file_->TryLockByte(byte)) {
    if (hold_seconds_ >= 0) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count() /
                          10;
      if (waited >= hold_seconds_ * 100) {
        hold_next_ = false;  // each hold request serves one read
        return Finish(kErrRecordHeld);
      }
    }
    TreeFile& pf = *file_->file;
    pf.EndRead();
    UnlockFile();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    LockFile();
    Status s = pf.Begin(false);
    if (!s.ok()) return FromStatus(s);
  }
  held_ = record;
  hold_next_ = false;
  return 0;
}

void DeclaredTable::Hold(int seconds) {
  Statement statement(this);
  hold_next_ = true;
  hold_seconds_ = seconds;
}

void DeclaredTable::Release() {
  Statement statement(this);
  if (held_ != 0 && file_) file_->UnlockByte(kTableRecordLockBase + held_);
  held_ = 0;
}

void DeclaredTable::SavePosition() {
  saved_ = {key_, start_, pending_, at_end_, entry_, record_pos_, current_};
}

void DeclaredTable::RestorePosition() {
  key_ = saved_.key;
  start_ = saved_.start;
  pending_ = saved_.pending;
  at_end_ = saved_.at_end;
  entry_ = saved_.entry;
  record_pos_ = saved_.record_pos;
  current_ = saved_.current;
}

// Moves the position one entry (key order) or row (record order) on and
// gives the row it names; *found false when the order ends.
Status DeclaredTable::Locate(bool forward, uint32_t* record, bool* found) {
  Status s = Status::Ok();
  *found = false;
  if (key_ < 0) {
    const uint32_t from = start_ ? (forward ? 0 : 0xFFFFFFFFu) : record_pos_;
    s = forward ? table_->NextRow(from, record, found) : table_->PrevRow(from, record, found);
    if (s.ok() && *found) record_pos_ = *record;
  } else if (pending_ && forward) {
    *found = true;
    *record = record_pos_;
  } else if (at_end_ && forward) {
    *found = false;
  } else {
    std::string entry;
    s = table_->StepKey(static_cast<uint8_t>(key_), start_ ? std::string_view() : entry_, forward,
                        &entry, record, found, KeyTree(key_));
    if (s.ok() && *found) entry_ = entry;
  }
  if (s.ok() && *found) {
    start_ = false;
    pending_ = false;
    at_end_ = false;
  }
  return s;
}

int DeclaredTable::Step(bool forward) {
  Statement statement(this);
  if (int g = Guard()) return g;
  Release();
  SavePosition();
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  int rc = 0;
  for (;;) {
    uint32_t record = 0;
    bool found = false;
    s = Locate(forward, &record, &found);
    if (!s.ok()) {
      rc = FromStatus(s);
      break;
    }
    if (!found) {
      rc = Finish(kErrRecordNotAvailable);
      break;
    }
    bool present = false;
    rc = ReadInto(record, &present);
    if (rc != 0 || present) break;
    // An entry whose row is missing is passed over.
  }
  pf.EndRead();
  if (rc == kErrRecordHeld) RestorePosition();
  return rc != 0 ? rc : Finish(0);
}

int DeclaredTable::Skip(int count) {
  Statement statement(this);
  if (int g = Guard()) return g;
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  int rc = 0;
  for (int i = 0; rc == 0 && i < std::abs(count); ++i) {
    uint32_t record = 0;
    bool found = false;
    s = Locate(count > 0, &record, &found);
    if (!s.ok())
      rc = FromStatus(s);
    else if (!found)
      rc = Finish(kErrRecordNotAvailable);
  }
  pf.EndRead();
  return rc != 0 ? rc : Finish(0);
}

// Looks one step on without moving: *none when the order ends there.
int DeclaredTable::Peek(bool forward, bool* none) {
  Statement statement(this);
  if (int g = Guard()) return g;
  SavePosition();
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  uint32_t record = 0;
  bool found = false;
  s = Locate(forward, &record, &found);
  pf.EndRead();
  RestorePosition();
  *none = !found;
  return FromStatus(s);
}

int DeclaredTable::Bof(bool* at_start) {
  return Peek(false, at_start);
}
int DeclaredTable::Eof(bool* at_end) {
  return Peek(true, at_end);
}

// Position values: the order (0xFF record order, else the key number), the
// current row, then the record position or the key entry.
std::string DeclaredTable::Position() const {
  std::lock_guard<std::recursive_mutex> lock(handle_mu_);
  std::string p(1, static_cast<char>(key_ < 0 ? 0xFF : key_));
  p += EncodeNumber(current_);
  p += EncodeNumber(record_pos_);
  p += entry_;
  return p;
}

int DeclaredTable::Reset(const std::string& position) {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (position.size() < 9) return Finish(kErrRecordNotFound);
  const uint8_t order = static_cast<uint8_t>(position[0]);
  if (order != 0xFF && order >= table_->def().keys.size()) return Finish(kErrRecordNotFound);
  Release();
  key_ = order == 0xFF ? -1 : order;
  current_ = DecodeNumber(std::string_view(position).substr(1, 4));
  entry_ = position.substr(9);
  at_end_ = false;
  if (key_ < 0) {
    // Next() reads the first row from the current one on.
    start_ = current_ == 0;
    pending_ = false;
    record_pos_ = current_ == 0 ? 0 : current_ - 1;
  } else {
    start_ = entry_.empty();
    pending_ = !entry_.empty();
    record_pos_ = current_;
  }
  return Finish(0);
}

int DeclaredTable::Reget(const std::string& position) {
  Statement statement(this);
  if (int rc = Reset(position)) return rc;
  if (current_ == 0) return Finish(kErrRecordNotFound);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  bool present = false;
  int rc = ReadInto(current_, &present);
  if (rc == 0 && !present) rc = Finish(kErrRecordNotFound);
  pf.EndRead();
  if (rc == 0) {
    // The row read is the position: the next read goes on after it.
    pending_ = false;
    record_pos_ = current_;
  }
  return rc != 0 ? rc : Finish(0);
}

int DeclaredTable::Next() {
  return Step(true);
}
int DeclaredTable::Previous() {
  return Step(false);
}

int DeclaredTable::Get(int key) {
  Statement statement(this);
  if (int g = Guard()) return g;
  Release();
  if (key < 0 || key >= static_cast<int>(table_->def().keys.size()))
    return Finish(kErrRecordNotFound);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  std::string entry;
  uint32_t record = 0;
  bool found = false, exact = false;
  s = table_->SeekKey(static_cast<uint8_t>(key), std::string_view(buffer_.data(), buffer_.size()),
                      &entry, &record, &found, &exact, KeyTree(key));
  int rc = 0;
  if (!s.ok()) {
    rc = FromStatus(s);
  } else if (!found || !exact) {
    rc = Finish(kErrRecordNotFound);
  } else {
    bool present = false;
    rc = ReadInto(record, &present);
    if (rc == 0 && !present) rc = Finish(kErrRecordNotFound);
    if (rc == 0) {
      key_ = key;
      entry_ = entry;
      start_ = false;
      pending_ = false;
      at_end_ = false;
    }
  }
  pf.EndRead();
  return rc != 0 ? rc : Finish(0);
}

int DeclaredTable::Has(int key) {
  Statement statement(this);
  if (int g = Guard()) return g;
  KeySeek seek;
  if (int rc = SeekBuffer(key, &seek)) return rc;
  return Finish(seek.found && seek.exact ? 0 : kErrRecordNotFound);
}

size_t DeclaredTable::LimitCache(size_t bytes) {
  Statement statement(this);
  if (table_ == nullptr) return 0;
  return file_->file->SetCleanCacheBudget(bytes);
}

int DeclaredTable::Add() {
  return AddRow(false);
}
int DeclaredTable::Append() {
  return AddRow(true);
}

int DeclaredTable::AddRow(bool append) {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  uint32_t record = 0;
  s = table_->Add(std::string_view(buffer_.data(), buffer_.size()), &memos_, append, &record);
  s = EndChange(s);
  if (s.ok()) current_ = record;
  return FromStatus(s);
}

// PUT and DELETE run inside a changing operation with the row's lock byte
// taken for their length, unless this handle holds the row already (`busy`
// when another process holds it); the stored row must still be there (33).
// Both end any hold and watch.
int DeclaredTable::ChangeCurrentRow(int busy,
                                    const std::function<Status(const std::string&)>& change) {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  if (current_ == 0) return Finish(kErrRecordNotAvailable);
  TreeFile& pf = *file_->file;
  const uint64_t lock_byte = kTableRecordLockBase + current_;
  if (held_ != current_) {
    Release();
    if (!file_->TryLockByte(lock_byte)) return Finish(busy);
  }
  Status s = pf.Begin(true);
  if (s.ok()) {
    std::string stored;
    bool found = false;
    s = table_->ReadRow(current_, &stored, &found);
    if (s.ok() && !found) s = Status::Error(kErrRecordNotAvailable);
    if (s.ok()) s = change(stored);
    s = EndChange(s);
  }
  file_->UnlockByte(lock_byte);
  held_ = 0;
  watching_ = false;
  return FromStatus(s);
}

// A watched row must still be the image read; the row record changes only
// when the buffer differs, the memos are written unless switched off.
int DeclaredTable::Put() {
  return ChangeCurrentRow(kErrAccessDenied, [this](const std::string& stored) {
    Status s = watching_ ? CheckWatched(stored) : Status::Ok();
    const std::string_view row(buffer_.data(), buffer_.size());
    if (s.ok() && stored != row) s = table_->Change(current_, row, nullptr);
    for (size_t m = 0; s.ok() && !no_memo_ && m < memos_.size(); ++m) {
      s = table_->WriteMemo(current_, static_cast<uint8_t>(m), memos_[m]);
    }
    return s;
  });
}

// A watched row: the stored row and memos must still be the image read.
Status DeclaredTable::CheckWatched(const std::string& stored) {
  if (stored != watched_) return Status::Error(kErrChangedByOther);
  for (size_t m = 0; m < watched_memos_.size(); ++m) {
    std::string memo;
    Status s = table_->ReadMemo(current_, static_cast<uint8_t>(m), &memo);
    if (!s.ok()) return s;
    if (memo != watched_memos_[m]) return Status::Error(kErrChangedByOther);
  }
  return Status::Ok();
}

int DeclaredTable::Delete() {
  Statement statement(this);
  const int rc = ChangeCurrentRow(kErrRecordNotAvailable,
                                  [this](const std::string&) { return table_->Delete(current_); });
  if (rc == 0) current_ = 0;
  return rc;
}

uint32_t DeclaredTable::Records() {
  Statement statement(this);
  if (Guard() != 0) return 0;
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) {
    FromStatus(s);
    return 0;
  }
  TableStats st;
  s = table_->ReadStats(kStatsTable, &st);
  pf.EndRead();
  FromStatus(s);
  return s.ok() ? st.count : 0;
}

int DeclaredTable::KeyEntries(int key, uint32_t* entries, bool* complete) {
  *entries = 0;
  *complete = false;
  if (int g = Guard()) return g;
  if (key < 0 || key >= static_cast<int>(table_->def().keys.size()))
    return Finish(kErrRecordNotFound);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  TableStats st;
  s = table_->ReadStats(static_cast<uint8_t>(key), &st);
  pf.EndRead();
  if (!s.ok()) return FromStatus(s);
  *entries = st.count;
  *complete = st.second == 0 && !dynamic_.count(key);
  return Finish(0);
}

int DeclaredTable::GetByPointer(uint32_t record) {
  Statement statement(this);
  if (int g = Guard()) return g;
  Release();
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  bool present = false;
  int rc = record == 0 ? Finish(kErrRecordNotFound) : ReadInto(record, &present);
  if (rc == 0 && !present) rc = Finish(kErrRecordNotFound);
  if (rc == 0) {
    key_ = -1;
    start_ = pending_ = at_end_ = false;
    record_pos_ = record;
  }
  pf.EndRead();
  return rc != 0 ? rc : Finish(0);
}

int DeclaredTable::LockTable(int seconds) {
  Statement statement(this);
  if (int g = Guard()) return g;
  const uint64_t byte = kTableRecordLockBase + table_->number();
  // One attempt now and one after each pause (a second with `seconds`, until
  // they have passed). The file's mutex is let go while pausing: only
  // another process keeps the byte, and it may wait for a statement of a
  // sibling thread first.
  for (int pauses = 0; !file_->TryLockByte(byte);) {
    if (seconds >= 0 && pauses >= seconds) return Finish(kErrFileLocked);
    UnlockFile();
    std::this_thread::sleep_for(std::chrono::milliseconds(seconds >= 0 ? 1000 : 10));
    LockFile();
    if (seconds >= 0 && ++pauses >= seconds) return Finish(kErrFileLocked);
  }
  table_locked_ = true;
  return Finish(0);
}

int DeclaredTable::UnlockTable() {
  Statement statement(this);
  if (!is_open()) return Finish(kErrFileNotOpen);
  if (table_locked_) file_->UnlockByte(kTableRecordLockBase + table_->number());
  table_locked_ = false;
  return Finish(0);
}

int DeclaredTable::ReadFlags(uint32_t* flags) {
  Statement statement(this);
  if (int g = Guard()) return g;
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  TableStats st;
  s = table_->ReadStats(kStatsTable, &st);
  pf.EndRead();
  if (s.ok()) *flags = st.second;
  return FromStatus(s);
}

int DeclaredTable::WriteFlags(uint32_t flags) {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  TableStats st;
  s = table_->ReadStats(kStatsTable, &st);
  st.second = flags;
  if (s.ok()) s = table_->WriteStats(kStatsTable, st);
  s = EndChange(s);
  return FromStatus(s);
}

int DeclaredTable::ListTables(std::vector<std::string>* names) {
  Statement statement(this);
  if (int g = Guard()) return g;
  names->clear();
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  const std::string prefix = TableNameKey("");
  Record r;
  bool found = false;
  s = pf.tree().Seek(prefix, &r, &found);
  while (s.ok() && found && r.key.compare(0, prefix.size(), prefix) == 0) {
    names->push_back(r.key.substr(prefix.size()));
    const std::string key = r.key;
    s = pf.tree().Next(key, &r, &found);
  }
  pf.EndRead();
  return FromStatus(s);
}

}  // namespace vm::storage

namespace vm::storage {

int DeclaredTable::BuildFile(bool full) {
  return Build(-1, full, false);
}
int DeclaredTable::BuildKey(int key, bool full) {
  return Build(key, full, false);
}
int DeclaredTable::Pack(bool full) {
  return Build(-1, full, true);
}

// Builds key `key` (-1: every key that is not deferred) into the file.
int DeclaredTable::Build(int key, bool full, bool pack) {
  Statement statement(this);
  const bool was_open = is_open();
  if (was_open) {
    if (int g = Guard()) return g;
    if (!writable_) return Finish(kErrAccessDenied);
  } else if (int rc = Open(kAccessReadWrite | kShareDenyWrite)) {
    return rc;
  }
  const auto& keys = table_->def().keys;
  if (key >= static_cast<int>(keys.size())) {
    if (!was_open) Close();
    return Finish(kErrRecordNotFound);
  }
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (s.ok()) {
    for (size_t k = 0; s.ok() && k < keys.size(); ++k) {
      if (key >= 0 ? static_cast<int>(k) != key : keys[k].deferred()) continue;
      if (keys[k].dynamic()) {
        // A fresh private tree of this handle, from the first row.
        auto tree = std::make_unique<PrivateTree>();
        s = tree->tree().EnsureRoot();
        if (s.ok()) s = table_->BuildKey(static_cast<uint8_t>(k), true, &tree->tree());
        if (s.ok()) dynamic_[static_cast<int>(k)] = std::move(tree);
        continue;
      }
      s = table_->BuildKey(static_cast<uint8_t>(k), full || keys[k].deferred(), &pf.tree());
    }
    s = EndChange(s);
  }
  if (s.ok() && pack && !Transaction::Process().Holds(&pf)) s = pf.TruncateToData();
  const int rc = FromStatus(s);
  if (!was_open) Close();
  return Finish(rc);
}

int DeclaredTable::Empty() {
  Statement statement(this);
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  s = EndChange(table_->Empty());
  dynamic_.clear();
  if (s.ok()) current_ = 0;
  start_ = true;
  return FromStatus(s);
}

// Opens the table whatever its stored definition, deletes it, and deletes
// the file when it holds no other table and no other handle uses it.
int DeclaredTable::Remove() {
  Statement statement(this);
  if (is_open()) Close();
  if (int rc = OpenFile(kAccessReadWrite | kShareDenyNone, false, false)) return rc;
  TreeFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (s.ok()) s = EndChange(table_->Remove());
  std::vector<std::string> others;
  if (s.ok() && ListTables(&others) != 0) s = Status::Error(error_);
  const bool last_user = file_.use_count() == 1 && !Transaction::Process().Holds(&pf);
  const std::string path = pf.path();
  const int rc = FromStatus(s);
  Close();
  if (rc == 0 && others.empty() && last_user && !env_->DeleteFile(path).ok()) {
    return Finish(kErrAccessDenied);
  }
  return Finish(rc);
}

int DeclaredTable::Logout() {
  Statement statement(this);
  if (int g = Guard()) return g;
  return FromStatus(Transaction::Process().Add(file_));
}

int DeclaredTable::CommitTransaction(platform::Env* env, DeclaredTable* reporter) {
  const Status s = Transaction::Process().Commit(env);
  const int rc = s.internal() != 0 ? kErrFileSystem : s.code();
  if (reporter != nullptr) {
    reporter->Finish(rc);
    if (s.file_full()) reporter->file_error_text_ = std::string(kFileFullText);
  }
  return rc;
}

int DeclaredTable::RollbackTransaction() {
  Transaction::Process().Rollback();
  return kErrNone;
}

}  // namespace vm::storage
