#include "storage/declared_table.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <thread>

#include "storage/kfs_ops.h"
#include "storage/record_keys.h"

namespace vm::storage {

// One open physical file, shared by every handle of the process naming it.
class SharedFile {
 public:
  std::unique_ptr<PageFile> file;
  bool writable = false;
};

namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// Process-wide list of open files; an entry lives while a handle holds it.
std::map<std::string, std::weak_ptr<SharedFile>>& OpenFiles() {
  static auto* files = new std::map<std::string, std::weak_ptr<SharedFile>>;
  return *files;
}

std::string WithExtension(std::string file) {
  const size_t slash = file.find_last_of("/\\");
  const size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) file += ".KFS";
  return file;
}

platform::Share ShareOf(int access) {
  switch (access & 0x30) {
    case 0x20: return platform::Share::kDenyWrite;
    case 0x10:
    case 0x30: return platform::Share::kExclusive;
    default: return platform::Share::kDenyNone;
  }
}

// Finds or opens the physical file. A file first opened for reading cannot
// serve a handle that writes: 5.
Status AcquireFile(platform::Env* env, const std::string& path, int access, bool create,
                   std::shared_ptr<SharedFile>* out) {
  const bool writable = (access & 0x03) != 0 || create;
  auto& files = OpenFiles();
  const std::string key = Lower(path);
  auto it = files.find(key);
  if (it != files.end()) {
    if (auto f = it->second.lock()) {
      if (writable && !f->writable) return Status::Error(kErrAccessDenied);
      *out = f;
      return Status::Ok();
    }
  }
  PageFile::Options o;
  o.access = writable ? platform::Access::kReadWrite : platform::Access::kRead;
  o.share = ShareOf(access);
  o.create = create;
  auto f = std::make_shared<SharedFile>();
  Status s = PageFile::Open(env, path, o, &f->file);
  if (!s.ok()) return s;
  f->writable = writable;
  files[key] = f;
  *out = f;
  return Status::Ok();
}

}  // namespace

TableName SplitTableName(const std::string& name, platform::Env* env) {
  size_t from = 0;
  for (;;) {
    const size_t at = name.find("\\!", from);
    if (at == std::string::npos) break;
    const std::string left = name.substr(0, at);
    if (!env->IsDirectory(left)) return {WithExtension(left), Upper(name.substr(at + 2))};
    from = at + 2;
  }
  return {WithExtension(name), "UNNAMED"};
}

DeclaredTable::DeclaredTable(std::string name, TableDef def, platform::Env* env)
    : name_(std::move(name)), def_(std::move(def)), env_(env), buffer_(def_.record_length, ' ') {
  parts_ = SplitTableName(name_, env_);
}

DeclaredTable::~DeclaredTable() {
  if (is_open()) Close();
}

std::string DeclaredTable::error_text() const { return std::string(KfsErrorText(error_)); }

int DeclaredTable::Finish(int code) {
  error_ = code;
  if (code != kErrFileSystem) {
    file_error_ = 0;
    file_error_text_.clear();
  }
  return code;
}

// Maps a storage result to the runtime code. A consistency failure is kept
// with the handle: every later statement but Close fails with 90.
int DeclaredTable::FromStatus(const Status& s) {
  if (s.ok()) return Finish(0);
  if (s.internal() != 0) {
    failure_ = s.internal();
    file_error_ = failure_;
    file_error_text_ = std::string(kCorruptionText);
    return Finish(kErrFileSystem);
  }
  return Finish(s.code());
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
  if (is_open()) Close();
  if (def_.record_length > kMaxRecordLength || !CheckTableDef(def_).empty()) {
    return Finish(kErrBadDeclaration);
  }
  std::shared_ptr<SharedFile> f;
  Status s = AcquireFile(env_, parts_.file, access, false, &f);
  if (!s.ok()) return FromStatus(s);
  PageFile& pf = *f->file;
  auto table = std::make_unique<StoredTable>(&pf.tree(), &pf);
  s = pf.Begin(false);
  if (s.ok()) {
    s = table->Open(parts_.table, &def_);
    pf.EndRead();
  }
  if (!s.ok()) return FromStatus(s);
  file_ = std::move(f);
  table_ = std::move(table);
  writable_ = (access & 0x03) != 0;
  key_ = -1;
  start_ = true;
  pending_ = false;
  current_ = 0;
  return Finish(0);
}

int DeclaredTable::Create() {
  if (is_open()) Close();
  if (def_.record_length > kMaxRecordLength || !CheckTableDef(def_).empty()) {
    return Finish(kErrBadDeclaration);
  }
  std::shared_ptr<SharedFile> f;
  Status s = AcquireFile(env_, parts_.file, kAccessReadWrite | kShareDenyNone, true, &f);
  if (!s.ok()) return FromStatus(s);
  PageFile& pf = *f->file;
  StoredTable table(&pf.tree(), &pf);
  s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  s = table.Create(parts_.table, def_, Collation::BuiltIn(), false);
  if (s.ok()) {
    s = pf.Commit();
  } else {
    pf.Rollback();
  }
  return FromStatus(s);
}

int DeclaredTable::Close() {
  if (!is_open()) {
    failure_ = 0;
    return Finish(0);
  }
  Release();
  if (table_locked_) UnlockTable();
  hold_next_ = watch_next_ = watching_ = false;
  table_.reset();
  Status s;
  if (failure_ != 0) {
    failure_ = 0;  // nothing of this handle is left uncommitted: every statement commits or rolls back
  } else if (file_.use_count() == 1) {
    s = file_->file->TruncateToData();
  }
  file_.reset();
  return FromStatus(s);
}

int DeclaredTable::Set() {
  if (int g = Guard()) return g;
  key_ = -1;
  start_ = true;
  pending_ = false;
  at_end_ = false;
  return Finish(0);
}

int DeclaredTable::SetKey(int key) {
  if (int g = Guard()) return g;
  if (key < 0 || key >= static_cast<int>(table_->def().keys.size())) return Finish(kErrRecordNotFound);
  PageFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  std::string entry;
  uint32_t record = 0;
  bool found = false, exact = false;
  s = table_->SeekKey(static_cast<uint8_t>(key), std::string_view(buffer_.data(), buffer_.size()),
                      &entry, &record, &found, &exact);
  pf.EndRead();
  if (!s.ok()) return FromStatus(s);
  key_ = key;
  start_ = !found;
  at_end_ = !found;
  pending_ = found;
  entry_ = entry;
  record_pos_ = record;
  return Finish(0);
}

// Copies row `record` into the buffer and makes it the current row.
int DeclaredTable::ReadInto(uint32_t record, bool* found) {
  std::string row;
  Status s = table_->ReadRow(record, &row, found);
  if (!s.ok()) return FromStatus(s);
  if (!*found) return 0;
  if (hold_next_) {
    if (int rc = HoldRow(record)) return rc;
  }
  std::copy(row.begin(), row.end(), buffer_.begin());
  current_ = record;
  watching_ = watch_next_;
  watch_next_ = false;
  if (watching_) watched_ = row;
  return 0;
}

// Takes the row's lock byte for a read with hold: at once, or retrying until
// the hold's seconds (counted in hundredths) have passed (43).
int DeclaredTable::HoldRow(uint32_t record) {
  platform::File* f = file_->file->file();
  const uint64_t byte = kTableRecordLockBase + record;
  const auto start = std::chrono::steady_clock::now();
  while (!f->TryLock(byte, 1).ok()) {
    if (hold_seconds_ >= 0) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start).count() / 10;
      if (waited >= hold_seconds_ * 100) return Finish(kErrRecordHeld);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  held_ = record;
  hold_next_ = false;
  return 0;
}

void DeclaredTable::Hold(int seconds) {
  hold_next_ = true;
  hold_seconds_ = seconds;
}

void DeclaredTable::Release() {
  if (held_ != 0 && file_) file_->file->file()->Unlock(kTableRecordLockBase + held_, 1);
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

int DeclaredTable::Step(bool forward) {
  if (int g = Guard()) return g;
  Release();
  SavePosition();
  PageFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  int rc = 0;
  for (;;) {
    uint32_t record = 0;
    bool found = false;
    if (key_ < 0) {
      const uint32_t from = start_ ? (forward ? 0 : 0xFFFFFFFFu) : record_pos_;
      s = forward ? table_->NextRow(from, &record, &found) : table_->PrevRow(from, &record, &found);
      if (s.ok() && found) record_pos_ = record;
    } else if (pending_ && forward) {
      found = true;
      record = record_pos_;
    } else if (at_end_ && forward) {
      found = false;
    } else {
      std::string entry;
      s = table_->StepKey(static_cast<uint8_t>(key_), start_ ? std::string_view() : entry_, forward,
                          &entry, &record, &found);
      if (s.ok() && found) entry_ = entry;
    }
    if (!s.ok()) {
      rc = FromStatus(s);
      break;
    }
    if (!found) {
      rc = Finish(kErrRecordNotAvailable);
      break;
    }
    start_ = false;
    pending_ = false;
    at_end_ = false;
    bool present = false;
    rc = ReadInto(record, &present);
    if (rc != 0 || present) break;
    // An entry whose row is missing is passed over.
  }
  pf.EndRead();
  if (rc == kErrRecordHeld) RestorePosition();
  return rc != 0 ? rc : Finish(0);
}

int DeclaredTable::Next() { return Step(true); }
int DeclaredTable::Previous() { return Step(false); }

int DeclaredTable::Get(int key) {
  if (int g = Guard()) return g;
  Release();
  if (key < 0 || key >= static_cast<int>(table_->def().keys.size())) return Finish(kErrRecordNotFound);
  PageFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  std::string entry;
  uint32_t record = 0;
  bool found = false, exact = false;
  s = table_->SeekKey(static_cast<uint8_t>(key), std::string_view(buffer_.data(), buffer_.size()),
                      &entry, &record, &found, &exact);
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

int DeclaredTable::Add() {
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  PageFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  uint32_t record = 0;
  s = table_->Add(std::string_view(buffer_.data(), buffer_.size()), nullptr, false, &record);
  if (s.ok()) s = pf.Commit();
  else pf.Rollback();
  if (s.ok()) current_ = record;
  return FromStatus(s);
}

// PUT and DELETE lock the row's byte for their length unless this handle
// holds it already; both end any hold and watch.
int DeclaredTable::Put() {
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  if (current_ == 0) return Finish(kErrRecordNotAvailable);
  PageFile& pf = *file_->file;
  platform::File* lock_file = pf.file();
  const uint64_t lock_byte = kTableRecordLockBase + current_;
  if (held_ != current_) {
    Release();
    if (!lock_file->TryLock(lock_byte, 1).ok()) return Finish(kErrAccessDenied);
  }
  Status s = pf.Begin(true);
  if (s.ok()) {
    std::string stored;
    bool found = false;
    s = table_->ReadRow(current_, &stored, &found);
    if (s.ok() && !found) s = Status::Error(kErrRecordNotAvailable);
    if (s.ok() && watching_ && stored != watched_) s = Status::Error(kErrChangedByOther);
    const std::string_view row(buffer_.data(), buffer_.size());
    if (s.ok() && stored != row) s = table_->Change(current_, row, nullptr);
    if (s.ok()) s = pf.Commit();
    else pf.Rollback();
  }
  lock_file->Unlock(lock_byte, 1);
  held_ = 0;
  watching_ = false;
  return FromStatus(s);
}

int DeclaredTable::Delete() {
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  if (current_ == 0) return Finish(kErrRecordNotAvailable);
  PageFile& pf = *file_->file;
  platform::File* lock_file = pf.file();
  const uint64_t lock_byte = kTableRecordLockBase + current_;
  if (held_ != current_) {
    Release();
    if (!lock_file->TryLock(lock_byte, 1).ok()) return Finish(kErrRecordNotAvailable);
  }
  Status s = pf.Begin(true);
  if (s.ok()) {
    std::string stored;
    bool found = false;
    s = table_->ReadRow(current_, &stored, &found);
    if (s.ok() && !found) s = Status::Error(kErrRecordNotAvailable);
    if (s.ok()) s = table_->Delete(current_);
    if (s.ok()) s = pf.Commit();
    else pf.Rollback();
  }
  lock_file->Unlock(lock_byte, 1);
  held_ = 0;
  watching_ = false;
  if (s.ok()) current_ = 0;
  return FromStatus(s);
}

uint32_t DeclaredTable::Records() {
  if (Guard() != 0) return 0;
  PageFile& pf = *file_->file;
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

int DeclaredTable::GetByPointer(uint32_t record) {
  if (int g = Guard()) return g;
  Release();
  PageFile& pf = *file_->file;
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
  if (int g = Guard()) return g;
  platform::File* f = file_->file->file();
  const uint64_t byte = kTableRecordLockBase + table_->number();
  if (seconds < 0) {
    while (!f->TryLock(byte, 1).ok()) std::this_thread::yield();
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!f->TryLock(byte, 1).ok()) {
      if (std::chrono::steady_clock::now() >= deadline) return Finish(kErrFileLocked);
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
  }
  table_locked_ = true;
  return Finish(0);
}

int DeclaredTable::UnlockTable() {
  if (!is_open()) return Finish(kErrFileNotOpen);
  if (table_locked_) file_->file->file()->Unlock(kTableRecordLockBase + table_->number(), 1);
  table_locked_ = false;
  return Finish(0);
}

int DeclaredTable::ReadFlags(uint32_t* flags) {
  if (int g = Guard()) return g;
  PageFile& pf = *file_->file;
  Status s = pf.Begin(false);
  if (!s.ok()) return FromStatus(s);
  TableStats st;
  s = table_->ReadStats(kStatsTable, &st);
  pf.EndRead();
  if (s.ok()) *flags = st.second;
  return FromStatus(s);
}

int DeclaredTable::WriteFlags(uint32_t flags) {
  if (int g = Guard()) return g;
  if (!writable_) return Finish(kErrAccessDenied);
  PageFile& pf = *file_->file;
  Status s = pf.Begin(true);
  if (!s.ok()) return FromStatus(s);
  TableStats st;
  s = table_->ReadStats(kStatsTable, &st);
  st.second = flags;
  if (s.ok()) s = table_->WriteStats(kStatsTable, st);
  if (s.ok()) s = pf.Commit();
  else pf.Rollback();
  return FromStatus(s);
}

int DeclaredTable::ListTables(std::vector<std::string>* names) {
  if (int g = Guard()) return g;
  names->clear();
  PageFile& pf = *file_->file;
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
