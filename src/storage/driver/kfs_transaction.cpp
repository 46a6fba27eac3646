#include "storage/driver/kfs_transaction.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/byte_coding.h"
#include "storage/table/record_keys.h"

namespace vm::storage {
namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

Status OpenControlFile(platform::Env* env, const std::string& path, bool writable,
                       std::unique_ptr<TreeFile>* out) {
  TreeFile::Options o;
  o.access = writable ? platform::Access::kReadWrite : platform::Access::kRead;
  o.share = platform::Share::kDenyNone;
  o.create = writable;
  return TreeFile::Open(env, path, o, out);
}

// Deletes transaction `number`'s record from a control file and commits.
Status DeleteControlRecord(TreeFile* f, uint32_t number) {
  Status s = f->Begin(true);
  if (!s.ok()) return s;
  bool found = false;
  s = f->tree().Delete(EncodeNumber(number), &found);
  if (!s.ok()) {
    f->Rollback();
    return s;
  }
  return f->Commit();
}

}  // namespace

std::mutex& ControlSettingMutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::string& TransactionControlSetting() {
  static auto* setting = new std::string;
  return *setting;
}

std::string TransactionControlFile() {
  std::lock_guard<std::mutex> lock(ControlSettingMutex());
  return TransactionControlSetting();
}

void SetTransactionControlFile(std::string path) {
  std::lock_guard<std::mutex> lock(ControlSettingMutex());
  TransactionControlSetting() = std::move(path);
}

namespace {

// Looks transaction `number` up in control file `path`: whether its record
// is there, and the record's data.
Status ControlRecord(platform::Env* env, const std::string& path, uint32_t number, bool* found,
                     std::string* data) {
  std::unique_ptr<TreeFile> f;
  Status s;
  const auto deadline = std::chrono::steady_clock::now() + kControlFileWait;
  for (;;) {
    s = OpenControlFile(env, path, false, &f);
    // Only a sharing conflict with another opener (no system error behind
    // it) passes; a directory, a missing permission or a lack of
    // descriptors does not, so those are answered at once.
    if (s.ok() || s.code() != kErrAccessDenied || s.os_error() != 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      return Status::Error(kErrAccessDenied,
                           s.text() + " (still refused after " +
                               std::to_string(kControlFileWait.count() / 1000) + " seconds)",
                           0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!s.ok()) return s;
  s = f->Begin(false);
  if (!s.ok()) return s;
  *found = false;
  if (f->header().root >= 0) s = f->tree().Get(EncodeNumber(number), data, found);
  f->EndRead();
  return s;
}

}  // namespace

Status TransactionPending(platform::Env* env, const std::string& path, uint32_t number,
                          bool* pending) {
  bool found = false;
  std::string decisive;
  Status s = ControlRecord(env, path, number, &found, &decisive);
  if (!s.ok()) return s;
  *pending = found;
  if (!found || decisive.empty()) return s;
  // A commit over several control files: this record names the first of
  // them, whose record alone marks the commit point.
  std::string ignored;
  return ControlRecord(env, decisive, number, pending, &ignored);
}

Transaction& Transaction::Process() {
  static auto* transaction = new Transaction;
  return *transaction;
}

Status Transaction::Add(const std::shared_ptr<SharedFile>& file) {
  const std::string setting = TransactionControlFile();
  std::lock_guard<std::mutex> lock(mu_);
  const TreeFile* pf = file->file.get();
  if (std::any_of(members_.begin(), members_.end(),
                  [pf](const Member& m) { return m.file->file.get() == pf; })) {
    return Status::Ok();
  }
  Member m;
  m.file = file;
  m.default_control = setting.empty();
  m.control = m.default_control ? DirectoryOf(file->file->path()) + std::string(kDefaultControlName)
                                : setting;
  if (std::find(control_files_.begin(), control_files_.end(), m.control) == control_files_.end()) {
    if (control_files_.size() + 1 >= static_cast<size_t>(kMaxControlFiles)) {
      return Status::Internal(kErrTooManyControlFiles);
    }
    control_files_.push_back(m.control);
  }
  members_.push_back(std::move(m));
  return Status::Ok();
}

bool Transaction::empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return members_.empty();
}

bool Transaction::Holds(const TreeFile* file) const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::any_of(members_.begin(), members_.end(),
                     [file](const Member& m) { return m.file->file.get() == file; });
}

void Transaction::MarkFailed(const Status& s) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failed_.ok()) failed_ = s;
}

// A statement holds its file's mutex and may then take mu_ (Holds, Add), so
// the file mutexes come first here too; a file added between the look at the
// members and the check under mu_ starts the round again.
std::unique_lock<std::mutex> Transaction::LockMembers(MemberLocks* held) {
  for (;;) {
    std::vector<std::shared_ptr<SharedFile>> files;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const Member& m : members_) files.push_back(m.file);
    }
    std::sort(files.begin(), files.end());
    files.erase(std::unique(files.begin(), files.end()), files.end());
    std::vector<std::unique_lock<std::mutex>> locks;
    for (const auto& f : files) locks.emplace_back(f->mu);
    std::unique_lock<std::mutex> lock(mu_);
    bool same = true;
    for (const Member& m : members_)
      same = same && std::binary_search(files.begin(), files.end(), m.file);
    if (same) {
      held->files = std::move(files);
      held->locks = std::move(locks);
      return lock;
    }
  }
}

Status Transaction::Commit(platform::Env* env, const platform::Clock& clock) {
  std::lock_guard<std::mutex> serial(commit_mu_);
  MemberLocks held;
  std::unique_lock<std::mutex> lock = LockMembers(&held);
  if (!failed_.ok()) {
    const Status s = failed_;
    for (Member& m : members_) m.file->file->Rollback();
    Clear();
    return s;
  }
  std::vector<Member*> changed;
  for (Member& m : members_) {
    if (m.file->file->dirty()) {
      changed.push_back(&m);
    } else {
      m.file->file->EndRead();
    }
  }
  Status s = Status::Ok();
  if (changed.size() == 1) {
    s = changed.front()->file->file->Commit();
  } else if (changed.size() > 1) {
    s = CommitThroughControlFiles(env, clock, changed);
  }
  Clear();
  return s;
}

void Transaction::Rollback() {
  std::lock_guard<std::mutex> serial(commit_mu_);
  MemberLocks held;
  std::unique_lock<std::mutex> lock = LockMembers(&held);
  for (Member& m : members_) m.file->file->Rollback();
  Clear();
}

void Transaction::Clear() {
  members_.clear();
  control_files_.clear();
  failed_ = Status::Ok();
}

// Opens the distinct control files of the changed files, in path order so
// that processes committing at the same time take their locks in one order.
Status Transaction::OpenControlFiles(platform::Env* env, const std::vector<Member*>& changed,
                                     std::vector<Control>* controls) {
  std::vector<std::string> paths;
  for (const Member* m : changed) paths.push_back(m->control);
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  for (const std::string& path : paths) {
    Control c;
    c.path = path;
    Status s = OpenControlFile(env, path, true, &c.file);
    if (!s.ok()) return s;
    controls->push_back(std::move(c));
  }
  return Status::Ok();
}

// Takes a transaction number that no control file holds and that none has
// issued before (at least `start` and above every file's last-issued
// number, so a number is never used twice with a journal of its first use
// still unresolved somewhere), and records it in every control file: in the
// first with no data, in the others with the first one's path. All files are
// checked and written under their update locks, taken in path order.
Status Transaction::ChooseNumber(std::vector<Control>& controls, uint32_t start, uint32_t* number) {
  size_t begun = 0;
  Status s = Status::Ok();
  uint32_t n = start;
  for (; s.ok() && begun < controls.size(); ++begun) {
    TreeFile& f = *controls[begun].file;
    s = f.Begin(true);
    if (!s.ok()) break;
    s = f.tree().EnsureRoot();
    const uint32_t last = platform::DecodeBigEndian32(f.header().last_number);
    if (last >= n) n = last + 1;
  }
  for (bool taken = true; s.ok() && taken;) {
    taken = false;
    for (size_t i = 0; s.ok() && !taken && i < controls.size(); ++i) {
      std::string data;
      s = controls[i].file->tree().Get(EncodeNumber(n), &data, &taken);
    }
    if (taken) ++n;
  }
  for (size_t i = 0; s.ok() && i < controls.size(); ++i) {
    TreeFile& f = *controls[i].file;
    s = f.tree().Insert(EncodeNumber(n), i == 0 ? std::string() : controls[0].path);
    f.RaiseLastNumber(n);
  }
  if (!s.ok()) {
    for (size_t i = 0; i < begun; ++i) controls[i].file->Rollback();
    return s;
  }
  *number = n;
  // Each file commits alone; a crash between them leaves unused numbers,
  // which no journal names.
  for (Control& c : controls) {
    const Status committed = c.file->Commit();
    if (s.ok()) s = committed;
  }
  return s;
}

// Makes sure the first control file holds the number (a no-op when it does).
void Transaction::KeepNumber(TreeFile* first, uint32_t number) {
  if (first == nullptr || !first->Begin(true).ok()) return;
  std::string data;
  bool found = false;
  Status s = first->tree().EnsureRoot();
  if (s.ok()) s = first->tree().Get(EncodeNumber(number), &data, &found);
  if (s.ok() && !found) s = first->tree().Insert(EncodeNumber(number), "");
  if (s.ok()) {
    first->Commit();
  } else {
    first->Rollback();
  }
}

// Removes the number from the control files [from, end); best effort: a
// number left behind names no journal that could still roll back.
void Transaction::ForgetNumber(std::vector<Control>& controls, size_t from, uint32_t number) {
  for (size_t i = from; i < controls.size(); ++i)
    DeleteControlRecord(controls[i].file.get(), number);
}

// Commits several files as one. The commit point is a single write: the
// header of the first control file naming its journal in which the
// transaction's number is gone. Before it, every data file's journal is
// rolled back by whoever meets it (its control file's record, or the first
// control file's record it names, is there); after it, rolled forward.
Status Transaction::CommitThroughControlFiles(platform::Env* env, const platform::Clock& clock,
                                              const std::vector<Member*>& changed) {
  std::vector<Control> controls;
  uint32_t number = 0;
  Status s = OpenControlFiles(env, changed, &controls);
  bool numbered = false;
  if (s.ok()) {
    s = ChooseNumber(controls, static_cast<uint32_t>(clock.UnixSeconds()), &number);
    numbered = number != 0;
  }
  // Every file up to its journal, each naming the transaction.
  size_t prepared = 0;
  for (; s.ok() && prepared < changed.size(); ++prepared) {
    const Member& m = *changed[prepared];
    TreeFile& f = *m.file->file;
    s = f.tree().Put(TransactionKey(),
                     EncodeTransactionRecord(
                         number, m.default_control ? std::string(kDefaultControlFile) : m.control));
    if (!s.ok()) break;
    s = f.CommitToJournal();  // ends the operation itself when it fails
    if (!s.ok()) break;
  }
  // The commit point: the number leaves the first control file.
  TreeFile* first = controls.empty() ? nullptr : controls.front().file.get();
  if (s.ok()) {
    s = first->Begin(true);
    bool found = false;
    if (s.ok()) s = first->tree().Delete(EncodeNumber(number), &found);
    if (!s.ok()) first->Rollback();
    if (s.ok()) s = first->CommitToJournal();
  }
  if (!s.ok()) {
    bool dropped = true;
    for (size_t i = 0; i < changed.size(); ++i) {
      TreeFile& f = *changed[i]->file->file;
      if (i < prepared) {
        if (!f.AbandonCommit().ok()) dropped = false;
      } else {
        f.Rollback();
      }
    }
    // A journal that could not be dropped must still meet the number, so
    // that it rolls back (put back in the first control file in case its
    // failed commit got as far as naming its journal); otherwise the number
    // goes from every file.
    if (!dropped) {
      KeepNumber(first, number);
    } else if (numbered) {
      ForgetNumber(controls, 0, number);
    }
    return s;
  }
  // Decided: what fails from here is repaired by rolling forward.
  first->FinishCommit();
  for (Member* m : changed) m->file->file->FinishCommit();
  ForgetNumber(controls, 1, number);
  return Status::Ok();
}

}  // namespace vm::storage
