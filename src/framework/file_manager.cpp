#include "framework/file_manager.h"

#include <utility>

#include "storage/driver/kfs_ops.h"

namespace vm::framework {

using storage::KfsArgs;

FileManager::FileManager(std::string table_name, std::string file_name, storage::TableDef def,
                         FileErrors* errors, platform::Env* env, DriverEntry driver)
    : table_name_(std::move(table_name)), errors_(errors), driver_(std::move(driver)) {
  cb_.name = std::move(file_name);
  cb_.def = std::move(def);
  cb_.env = env;
  for (const storage::KeyDef& k : cb_.def.keys)
    key_descriptions_.push_back(k.external_name.empty() ? k.name : k.external_name);
  // The driver builds its table state (and with it the record buffer) on
  // its first call; the buffer must exist before the file is opened.
  KfsArgs args;
  Call(storage::kOpName, &args);
}

FileManager::~FileManager() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (used_) Call(storage::kOpClose);
  KfsArgs args;
  driver_(storage::kOpDestroy, &cb_, &args);
}

int FileManager::Call(int op, KfsArgs* args) {
  KfsArgs none;
  return driver_(op, &cb_, args != nullptr ? args : &none);
}

// ---- open and close ----

int FileManager::Open(bool report, bool force) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if ((lazy_open && !force) || opened_ > 0 || used_) {
    ++opened_;
    return 0;
  }
  const int rc = OpenSequence(report);
  if (rc == 0) ++opened_;
  return rc;
}

int FileManager::Use() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (used_) return 0;
  if (opened_ < 1) {
    SetError(msg::kUseClosedFile);
    Throw(msg::kUseClosedFile);
    return kLevelFatal;
  }
  return OpenSequence(true) == 0 ? 0 : kLevelFatal;
}

int FileManager::OpenSequence(bool report) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    KfsArgs args;
    args.access = open_mode;
    int rc = Call(storage::kOpOpen, &args);
    if (rc == storage::kErrAccessDenied) {
      // Another process may hold the file only briefly; the driver is told
      // how long to try before the second open.
      KfsArgs send;
      send.text = "Recover=" + std::to_string(lock_recover);
      Call(storage::kOpSend, &send);
      args.access = open_mode;
      rc = Call(storage::kOpOpen, &args);
    }
    if (rc == 0 || rc == kErrAlreadyOpen) {
      used_ = true;
      at_eof_ = false;
      return 0;
    }
    if (rc == storage::kErrAccessDenied) {
      if ((open_mode & 0x0F) == 0) return OpenFailed(report);
      open_mode &= 0xF0;
      SetError(msg::kAccessDenied);
      if (report) Throw(msg::kAccessDenied);
      continue;
    }
    if (rc == storage::kErrFileNotFound) {
      if (!create) return OpenFailed(report);
      if (Call(storage::kOpCreate) == 0) continue;
      SetError(msg::kCreateError);
      return report ? Fail(msg::kCreateError) : kLevelNotify;
    }
    if (rc == kErrKeysNeedRebuild) {
      SetError(msg::kInvalidKey);
      if (!report) return kLevelNotify;
      Throw(msg::kInvalidKey);
      if (Call(storage::kOpBuildFile) == 0) continue;
      return Fail(msg::kRebuildKeyError);
    }
    return OpenFailed(report);
  }
  return OpenFailed(report);
}

int FileManager::OpenFailed(bool report) {
  SetError(msg::kOpenFailed);
  return report ? Fail(msg::kOpenFailed) : kLevelNotify;
}

int FileManager::Close() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  ++in_close_;
  if (opened_ > 0 && --opened_ == 0 && used_) {
    Call(storage::kOpClose);
    used_ = false;
  }
  --in_close_;
  return 0;
}

// ---- reading ----

int FileManager::SetOrder(int key) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  at_eof_ = false;
  KfsArgs args;
  args.key = key;
  return Call(key < 0 ? storage::kOpSetFile : storage::kOpSetKey, &args) == 0 ? 0 : kLevelNotify;
}

int FileManager::SetOrderFrom(int key) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  at_eof_ = false;
  KfsArgs args;
  args.key = key;
  return Call(storage::kOpSetKeyKey, &args) == 0 ? 0 : kLevelNotify;
}

int FileManager::Next(bool report) {
  return Step(true, report);
}
int FileManager::Previous(bool report) {
  return Step(false, report);
}

int FileManager::Step(bool forward, bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  for (;;) {
    at_eof_ = false;
    const int rc = Call(forward ? storage::kOpNext : storage::kOpPrevious);
    if (rc == 0) return 0;
    if (rc == storage::kErrRecordNotAvailable) {
      at_eof_ = true;
      return kLevelNotify;
    }
    if (rc == storage::kErrRecordHeld) {
      if (skip_held_records) {
        // The driver leaves the position before the held record: pass it.
        KfsArgs args;
        args.skip = forward ? 1 : -1;
        if (Call(storage::kOpSkip, &args) != 0) {
          at_eof_ = true;
          return kLevelNotify;
        }
        continue;
      }
      SetError(msg::kRecordHeld);
      return report ? Fail(msg::kRecordHeld) : kLevelNotify;
    }
    SetError(msg::kRetrievalError);
    return report ? Fail(msg::kRetrievalError) : kLevelFatal;
  }
}

int FileManager::Skip(int count) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  KfsArgs args;
  args.skip = count;
  return Call(storage::kOpSkip, &args) == 0 ? 0 : kLevelNotify;
}

int FileManager::Fetch(int key, bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  KfsArgs args;
  args.key = key;
  const int rc = Call(storage::kOpGetFileKey, &args);
  if (rc == 0) return 0;
  if (rc == storage::kErrRecordNotFound) return kLevelNotify;
  SetError(msg::kRetrievalError);
  return report ? Fail(msg::kRetrievalError) : kLevelNotify;
}

int FileManager::FetchRecord(uint32_t record, bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  KfsArgs args;
  args.pointer = record;
  const int rc = Call(storage::kOpGetFilePtr, &args);
  if (rc == 0) return 0;
  if (rc == storage::kErrRecordNotFound) return kLevelNotify;
  SetError(msg::kRetrievalError);
  return report ? Fail(msg::kRetrievalError) : kLevelNotify;
}

std::string FileManager::Position() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!used_) return std::string();
  KfsArgs args;
  Call(storage::kOpPositionFile, &args);
  return args.position;
}

int FileManager::Reset(const std::string& position) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  at_eof_ = false;
  KfsArgs args;
  args.position = position;
  return Call(storage::kOpResetFile, &args) == 0 ? 0 : kLevelNotify;
}

uint32_t FileManager::current_record() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!used_) return 0;
  KfsArgs args;
  Call(storage::kOpPointerFile, &args);
  return args.count;
}

uint32_t FileManager::Records() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return 0;
  KfsArgs args;
  return Call(storage::kOpRecordsFile, &args) == 0 ? args.count : 0;
}

// ---- field checks ----

void FileManager::AddFieldCheck(FieldCheck check) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  checks_.push_back(std::move(check));
}

int FileManager::Validate(bool show) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  for (const FieldCheck& check : checks_) {
    if (int rc = check(*this, show)) return rc;
  }
  return 0;
}

int FileManager::ThrowField(int id, const std::string& field, const std::string& message) {
  SetError(id);
  MessageValues v = Values();
  v.field = field;
  v.message = message;
  return Throw(id, std::move(v));
}

// ---- writing ----

int FileManager::Insert(bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (int rc = Use()) return rc;
  if (int rc = Validate(report)) return rc;
  const int rc = Call(storage::kOpAdd);
  if (rc == 0) return 0;
  if (rc == storage::kErrDuplicateKey) {
    SetError(msg::kDuplicateKey);
    if (report) {
      MessageValues v = Values();
      const int key = FirstDuplicateKey();
      if (key >= 0) v.message = key_descriptions_[key];
      Throw(msg::kDuplicateKey, std::move(v));
    }
    return kLevelNotify;
  }
  SetError(msg::kInsertError);
  return report ? Fail(msg::kInsertError) : kLevelNotify;
}

// Looks each unique key of the buffer up; the buffer and the driver's error
// are left as they were.
int FileManager::FirstDuplicateKey() {
  const std::vector<char> image = buffer();
  const int error = cb_.last_error;
  int found = -1;
  for (size_t k = 0; k < cb_.def.keys.size() && found < 0; ++k) {
    if (cb_.def.keys[k].duplicates()) continue;
    KfsArgs args;
    args.key = static_cast<int>(k);
    if (Call(storage::kOpGetFileKey, &args) == 0) found = static_cast<int>(k);
    buffer() = image;
  }
  cb_.last_error = error;
  return found;
}

int FileManager::Update(int mode) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  met_change_ = false;
  if (Use() != 0) return kLevelFatal;
  if (Validate(mode != kUpdateSilent) != 0) return kLevelUser;
  kept_ = buffer();
  KfsArgs pos;
  Call(storage::kOpPositionFile, &pos);
  const int rc = Call(storage::kOpPut);
  if (rc == 0) return 0;
  if (rc == storage::kErrChangedByOther) {
    const int id = mode == kUpdateShowOther ? msg::kRecordChangedShown : msg::kRecordChanged;
    SetError(id);
    met_change_ = true;
    if (mode != kUpdateSilent) Throw(id);
    // Show the other process's version; the next Update compares with it.
    Call(storage::kOpWatch);
    KfsArgs again;
    again.position = pos.position;
    Call(storage::kOpRegetFile, &again);
    return kLevelNotify;
  }
  SetError(msg::kUpdateError);
  return mode != kUpdateSilent ? Fail(msg::kUpdateError) : kLevelNotify;
}

int FileManager::Delete(bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  const int rc = Call(storage::kOpDelete);
  if (rc == 0) return 0;
  SetError(msg::kDeleteError);
  return report ? Fail(msg::kDeleteError) : kLevelNotify;
}

int FileManager::Watch() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  Call(storage::kOpWatch);
  return 0;
}

int FileManager::Reread(bool report) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (Use() != 0) return kLevelFatal;
  KfsArgs pos;
  Call(storage::kOpPositionFile, &pos);
  KfsArgs args;
  args.position = pos.position;
  const int rc = Call(storage::kOpRegetFile, &args);
  if (rc == 0) return 0;
  SetError(msg::kRetrievalError);
  return report ? Fail(msg::kRetrievalError) : kLevelNotify;
}

// ---- messages ----

void FileManager::SetError(int id) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  last_error_ = id;
}

MessageValues FileManager::Values() const {
  MessageValues v;
  v.file = table_name_;
  v.error.code = cb_.last_error;
  v.error.text = std::string(storage::KfsErrorText(cb_.last_error));
  v.error.file_code = std::to_string(cb_.file_error);
  v.error.file_text = cb_.file_error_text;
  return v;
}

int FileManager::Throw(int id) {
  SetError(id);
  return Throw(id, Values());
}

int FileManager::Throw(int id, MessageValues values) {
  return errors_->Throw(id, values);
}

// A failed operation never answers 0, whatever the operator chose.
int FileManager::Fail(int id) {
  const int answer = Throw(id);
  return answer != kLevelBenign ? answer : kLevelNotify;
}

void FileManager::SetKeyDescription(int key, std::string description) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (key >= 0 && static_cast<size_t>(key) < key_descriptions_.size())
    key_descriptions_[key] = std::move(description);
}

// ---- state ----

// The driver keeps no table state for a declaration it refused (47); the
// manager then hands out a buffer of the declared length of its own.
std::vector<char>& FileManager::buffer() {
  if (cb_.table) return cb_.table->buffer();
  if (spare_.size() != cb_.def.record_length) spare_.assign(cb_.def.record_length, ' ');
  return spare_;
}

std::vector<char> FileManager::kept_copy() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return kept_;
}

int FileManager::open_count() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return opened_;
}

bool FileManager::really_open() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return used_;
}

bool FileManager::at_eof() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return at_eof_;
}

bool FileManager::read_only() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return (open_mode & 0x0F) == 0;
}

bool FileManager::update_met_change() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return met_change_;
}

int FileManager::last_error() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return last_error_;
}

int FileManager::driver_error() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return cb_.last_error;
}

}  // namespace vm::framework
