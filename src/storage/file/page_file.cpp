#include "storage/file/page_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "platform/byte_coding.h"
#include "storage/file/page_codec.h"
#include "storage/file/transaction_record.h"

namespace vm::storage {
namespace {

using platform::Code;

// The reader slot this process tries first; any value modulo 1023 will do.
uint64_t ProcessStartSlot() {
  static const uint64_t slot =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) %
      kReaderSlots;
  return slot;
}

uint64_t RoundUnits(size_t n) {
  return static_cast<uint64_t>(UnitsFor(n)) * kUnit;
}

}  // namespace

Status PageFile::OpenFile(platform::Env* env, const std::string& path, const Options& options,
                          std::unique_ptr<platform::File>* out) {
  auto file = env->OpenFile(
      path, options.access, options.share,
      options.create ? platform::Disposition::kOpenAlways : platform::Disposition::kOpenExisting);
  if (!file.ok()) {
    // The cause (a directory, no permission, too many open files, a sharing
    // violation) goes along as text: 5 alone does not say which.
    const platform::Status& why = file.status();
    return Status::Error(why.code() == Code::kNotFound ? kErrFileNotFound : kErrAccessDenied,
                         why.message(), why.sys_errno());
  }
  *out = std::move(file.value());
  return Status::Ok();
}

PageFile::PageFile(platform::Env* env, std::string path, std::unique_ptr<platform::File> file,
                   const Options& options)
    : env_(env), path_(std::move(path)), file_(std::move(file)), options_(options) {
  if (!options_.password.empty()) key_ = DeriveCipherKey(options_.password);
  shared_ = options_.share == platform::Share::kDenyNone;
}

PageFile::~PageFile() {
  ReleaseLocks();
}

bool PageFile::dirty() const {
  return header_dirty_ || !freed_.empty() || !dirty_.empty();
}

void PageFile::MarkDirty(int32_t page, const std::shared_ptr<TreePage>& p) {
  clean_.Erase(page);
  dirty_[page] = p;
  if (numbers_) (*numbers_)[p.get()] = page;
}

void PageFile::Forget(int32_t page) {
  clean_.Erase(page);
  if (numbers_) {
    auto it = dirty_.find(page);
    if (it != dirty_.end()) {
      auto n = numbers_->find(it->second.get());
      if (n != numbers_->end() && n->second == page) numbers_->erase(n);
    }
  }
  dirty_.erase(page);
}

Status PageFile::ReadAt(uint64_t offset, size_t length, std::string* out, size_t* got) {
  if (length % 64 != 0) return Status::Internal(kErrReadLength);
  out->assign(length, '\0');
  platform::Status s = file_->ReadAt(offset, out->data(), length, got);
  if (!s.ok()) return Status::Internal(kErrReadFailed);
  if (key_ && *got == length)
    DecipherBuffer(*key_, reinterpret_cast<uint8_t*>(out->data()), length);
  return Status::Ok();
}

Status PageFile::WriteAt(uint64_t offset, std::string_view data) {
  if (data.size() % 64 != 0) return Status::Internal(kErrWriteLength);
  platform::Status s;
  if (key_) {
    std::string copy(data);
    EncipherBuffer(*key_, reinterpret_cast<uint8_t*>(copy.data()), copy.size());
    s = file_->WriteAt(offset, copy.data(), copy.size());
  } else {
    s = file_->WriteAt(offset, data.data(), data.size());
  }
  if (!s.ok())
    return Status::Error(s.code() == Code::kAccessDenied ? kErrAccessDenied : kErrFileSystem);
  return Status::Ok();
}

void PageFile::DropCache() {
  clean_.Clear();
  dirty_.clear();
  freed_.clear();
  next_temp_ = -2;
  header_dirty_ = false;
}

Status PageFile::LockReaderSlot() {
  // Try every slot once, starting from this process's own; when all are
  // taken a commit holds them, so wait for the first one. The wait passes
  // the writers' turnstile, as a writer's does: a writer that commits again
  // the moment it has committed then waits for this reader at its next
  // update instead of taking every slot again before the reader's next try.
  const uint64_t first = ProcessStartSlot();
  for (uint64_t i = 0; i < kReaderSlots; ++i) {
    const uint64_t slot = kLockBase + (first + i) % kReaderSlots;
    if (file_->TryLock(slot, 1).ok()) {
      reader_slot_ = slot;
      return Status::Ok();
    }
  }
  const uint64_t slot = kLockBase + first;
  if (!file_->Lock(kUpdateTurnstile, 1).ok()) return Status::Error(kErrAccessDenied);
  const bool locked = file_->Lock(slot, 1).ok();
  file_->Unlock(kUpdateTurnstile, 1);
  if (!locked) return Status::Error(kErrAccessDenied);
  reader_slot_ = slot;
  return Status::Ok();
}

// Takes the update byte for a writer. Each writer passes the turnstile byte
// first and holds it while it waits, so a writer that has just committed and
// comes back at once queues behind the one already waiting instead of taking
// the update byte again in the instant it was free: polling alone let a
// process that commits without pause keep the others out until their lock
// waits ran out. Each of the two waits is bounded by the lock wait.
Status PageFile::LockUpdate() {
  if (!file_->Lock(kUpdateTurnstile, 1).ok()) return Status::Error(kErrAccessDenied);
  const bool locked = file_->Lock(kUpdateLock, 1).ok();
  file_->Unlock(kUpdateTurnstile, 1);
  if (!locked) return Status::Error(kErrAccessDenied);
  update_locked_ = true;
  return Status::Ok();
}

void PageFile::ReleaseLocks() {
  if (reader_slot_) {
    file_->Unlock(*reader_slot_, 1);
    reader_slot_.reset();
  }
  if (update_locked_) {
    file_->Unlock(kUpdateLock, 1);
    update_locked_ = false;
  }
}

Status PageFile::Begin(bool changing) {
  if (in_operation_) {
    // A read inside a transaction that already changes the file, or the
    // first change after reads: keep what is held, upgrade when needed.
    if (changing && !changing_) {
      if (shared_ && !update_locked_) {
        if (reader_slot_) {
          file_->Unlock(*reader_slot_, 1);
          reader_slot_.reset();
        }
        Status s = LockUpdate();
        if (!s.ok()) return s;
      }
      changing_ = true;
      return ReadHeader(true);
    }
    return Status::Ok();
  }
  if (shared_) {
    if (changing) {
      Status s = LockUpdate();
      if (!s.ok()) return s;
    } else {
      Status s = LockReaderSlot();
      if (!s.ok()) return s;
    }
  }
  in_operation_ = true;
  changing_ = changing;
  // A sharing mode that denies writing keeps every other writer out, so for
  // a read the header an earlier operation read still holds: only this
  // handle's own commits change the file. A header that named a journal, or
  // one dropped by a failed commit, is read afresh as before.
  if (!shared_ && !changing && have_header_ && redirect_.empty() &&
      disk_header_.committed_end == disk_header_.journal_end) {
    return Status::Ok();
  }
  Status s = ReadHeader(changing);
  if (!s.ok()) {
    ReleaseLocks();
    in_operation_ = false;
    changing_ = false;
  }
  return s;
}

void PageFile::EndRead() {
  if (dirty()) return;  // changes wait for Commit or Rollback
  ReleaseLocks();
  in_operation_ = false;
  changing_ = false;
}

Status PageFile::ReadHeader(bool changing) {
  std::string bytes;
  size_t got = 0;
  Status s = ReadAt(0, kHeaderSize, &bytes, &got);
  if (!s.ok()) return s;
  if (got == 0) {
    // A new, empty file: nothing on disk until the first commit.
    if (!have_header_ || !dirty()) {
      DropCache();
      header_ = FileHeader();
      header_.change_counter = 1;
      header_.root = -1;
      disk_header_ = header_;
      disk_header_.change_counter = 0;
      have_header_ = true;
      redirect_.clear();
    }
    return Status::Ok();
  }
  FileHeader disk;
  if (got < kHeaderSize || !FileHeader::Decode(bytes, &disk))
    return Status::Error(kErrInvalidDataFile);
  const bool pending = disk.committed_end != disk.journal_end;
  // The header of a commit point keeps the old counter, so a pending journal
  // is resolved even when the counter did not move: only a reading handle
  // that already reads through this journal keeps its cache. Pages a dead
  // committer already wrote home must not meet pages cached before it.
  if (have_header_ && disk.change_counter == disk_header_.change_counter &&
      !(pending && (changing || redirect_.empty()))) {
    return Status::Ok();  // nobody committed since we last looked: the cache stands
  }
  if (dirty()) return Status::Internal(kErrPageInNoRegion);  // changed under an open update
  // Only a header taken anew is checked (an unchanged file costs one read):
  // damaged regions must not steer any allocation or move.
  auto file_size = file_->Size();
  if (!file_size.ok()) return Status::Internal(kErrReadFailed);
  if (!disk.Consistent(*file_size)) return Status::Internal(kErrPageInNoRegion);
  DropCache();
  redirect_.clear();
  header_ = disk;
  disk_header_ = disk;
  have_header_ = true;
  if (!pending) return Status::Ok();

  bool broken = false;
  s = WalkJournal(disk, &broken);
  if (!s.ok()) return s;
  bool stands = !broken;
  if (stands) {
    s = JournalStands(&stands);
    if (!s.ok()) {
      // The journal's fate is unknown (its control file cannot be read):
      // neither read through it nor drop it. Every later operation asks again.
      DropCache();
      redirect_.clear();
      have_header_ = false;
      return s;
    }
  }
  if (!stands) {
    DropCache();
    redirect_.clear();
    header_ = disk;
    disk_header_ = disk;
    return changing ? Finalize() : Status::Ok();
  }
  if (!changing) return Status::Ok();  // reads go through the journal, nothing is written
  return RollForward();
}

Status PageFile::WalkJournal(const FileHeader& disk, bool* broken) {
  uint64_t pos = disk.committed_end;
  while (pos < disk.journal_end) {
    std::string first;
    size_t got = 0;
    Status s = ReadAt(pos, kUnit, &first, &got);
    if (!s.ok()) return s;
    if (got < kUnit) {
      *broken = true;
      return Status::Ok();
    }
    const uint64_t home = HomeOffsetOf(first);
    const size_t stored = home == 0 ? kHeaderSize : StoredSizeOf(first);
    if (stored < 13 || stored > kMaxPageBytes) {
      *broken = true;
      return Status::Ok();
    }
    redirect_[home] = pos;
    pos += RoundUnits(stored);
  }
  auto shadow = redirect_.find(0);
  if (shadow == redirect_.end()) {
    *broken = true;
    return Status::Ok();
  }
  std::string bytes;
  size_t got = 0;
  Status s = ReadAt(shadow->second, kHeaderSize, &bytes, &got);
  if (!s.ok()) return s;
  FileHeader shadow_header;
  auto file_size = file_->Size();
  if (got < kHeaderSize || !FileHeader::Decode(bytes, &shadow_header) || !file_size.ok() ||
      !shadow_header.Consistent(*file_size)) {
    *broken = true;
    return Status::Ok();
  }
  header_ = shadow_header;
  return Status::Ok();
}

Status PageFile::JournalStands(bool* stands) {
  *stands = true;
  if (!options_.transaction_check || header_.root < 0) return Status::Ok();
  std::string data;
  bool found = false;
  bool was_changing = changing_;
  changing_ = false;  // the look-up must not change anything
  Status s = FindRecord(TransactionKey(), &data, &found);
  changing_ = was_changing;
  if (!s.ok()) {
    *stands = false;  // the journal's own pages do not read: it is broken
    return Status::Ok();
  }
  if (!found) return Status::Ok();
  uint32_t transaction = 0;
  std::string control_file;
  if (!DecodeTransactionRecord(data, &transaction, &control_file)) return Status::Ok();
  if (control_file == "C:\\keeLfasT.TCF") {
    std::string dir = path_.substr(0, path_.find_last_of('/') + 1);
    control_file = dir + "keelfast.tcf";
  }
  bool pending = false;
  s = options_.transaction_check(transaction, control_file, &pending);
  // A control file that cannot be read decides nothing: rolling back here
  // could undo a transaction that passed its commit point.
  if (!s.ok()) return s;
  *stands = !pending;
  return Status::Ok();
}

Status PageFile::RollForward() {
  for (const auto& [home, pos] : redirect_) {
    std::string first;
    size_t got = 0;
    Status s = ReadAt(pos, kUnit, &first, &got);
    if (!s.ok()) return s;
    const size_t stored = home == 0 ? kHeaderSize : StoredSizeOf(first);
    std::string image;
    s = ReadAt(pos, RoundUnits(stored), &image, &got);
    if (!s.ok()) return s;
    if (got < image.size()) return Status::Internal(kErrShortPageRead);
    s = WriteAt(home, image);
    if (!s.ok()) return s;
  }
  DropCache();
  redirect_.clear();
  return Finalize();
}

Status PageFile::Finalize() {
  if (!file_->Sync().ok()) return Status::Error(kErrFileSystem);
  std::string bytes;
  size_t got = 0;
  Status s = ReadAt(0, kHeaderSize, &bytes, &got);
  if (!s.ok()) return s;
  FileHeader h;
  if (got < kHeaderSize || !FileHeader::Decode(bytes, &h))
    return Status::Error(kErrInvalidDataFile);
  h.committed_end = h.journal_end = static_cast<uint32_t>(h.DataEnd());
  h.change_counter = NextChange(h.change_counter);
  s = WriteAt(0, h.Encode());
  if (!s.ok()) return s;
  if (!file_->Sync().ok()) return Status::Error(kErrFileSystem);
  header_ = h;
  disk_header_ = h;
  return Status::Ok();
}

void PageFile::set_root(int32_t page) {
  header_.root = page;
  header_dirty_ = true;
}

Status PageFile::Load(int32_t page, std::shared_ptr<TreePage>* out) {
  if (auto it = dirty_.find(page); it != dirty_.end()) {
    *out = it->second;
    return Status::Ok();
  }
  if (auto p = clean_.Find(page)) {
    *out = std::move(p);
    return Status::Ok();
  }
  int cls = 0;
  Status s = header_.ClassOf(page, &cls);
  if (!s.ok()) return s;
  uint64_t offset = PageOffset(page);
  auto r = redirect_.find(offset);
  if (r != redirect_.end()) offset = r->second;
  std::string image;
  size_t got = 0;
  s = ReadAt(offset, static_cast<size_t>(cls) * kUnit, &image, &got);
  if (!s.ok()) return s;
  if (got < image.size()) return Status::Internal(kErrShortPageRead);
  auto decoded = std::make_shared<TreePage>();
  s = DecodePage(image, cls, decoded.get());
  if (!s.ok()) return s;
  clean_.Insert(page, decoded);
  *out = std::move(decoded);
  return Status::Ok();
}

Status PageFile::Changed(int32_t page, const std::shared_ptr<TreePage>& p) {
  if (!changing_) return Status::Internal(kErrInsertReadOnly);
  MarkDirty(page, p);
  return Status::Ok();
}

Status PageFile::Allocate(const std::shared_ptr<TreePage>& p, int32_t* page) {
  if (!changing_) return Status::Internal(kErrInsertReadOnly);
  *page = next_temp_--;
  MarkDirty(*page, p);
  return Status::Ok();
}

Status PageFile::Free(int32_t page) {
  if (!changing_) return Status::Internal(kErrInsertReadOnly);
  Forget(page);
  if (page >= 0) freed_.push_back(page);
  return Status::Ok();
}

void PageFile::RaiseLastNumber(uint32_t number) {
  if (number <= platform::DecodeBigEndian32(header_.last_number)) return;
  platform::EncodeBigEndian32(header_.last_number, number);
  header_dirty_ = true;
}

Status PageFile::TakeNumber(uint32_t* number) {
  Status s = vm::storage::TakeNumber(header_.last_number, changing_, number);
  if (s.ok()) header_dirty_ = true;
  return s;
}

// Moves a page within the page space: its content goes along in the cache,
// and its parent's pointer (or the root number) follows it.
Status PageFile::MovePage(int32_t from, int32_t to) {
  std::shared_ptr<TreePage> page;
  Status s = Load(from, &page);
  if (!s.ok()) return s;
  Forget(from);
  MarkDirty(to, page);
  return PageMoved(from, to, *page);
}

// Gives a changed page the slot of its new class: first a temporary number,
// so that freeing its old slot cannot confuse it with the page moved there.
Status PageFile::Relocate(const std::shared_ptr<TreePage>& page, int32_t number, int new_class) {
  Regions regions(&header_, this);
  int32_t current = number;
  if (number >= 0) {
    int old_class = 0;
    Status s = header_.ClassOf(number, &old_class);
    if (!s.ok()) return s;
    const int32_t temp = next_temp_--;
    Forget(number);
    MarkDirty(temp, page);
    s = PageMoved(number, temp, *page);
    if (!s.ok()) return s;
    s = regions.Free(old_class, number);
    if (!s.ok()) return s;
    current = temp;
  }
  int32_t slot = 0;
  Status s = regions.Allocate(new_class, &slot);
  if (!s.ok()) return s;
  Forget(current);
  MarkDirty(slot, page);
  return PageMoved(current, slot, *page);
}

Status PageFile::SizingPass() {
  Regions regions(&header_, this);
  std::sort(freed_.begin(), freed_.end(), std::greater<int32_t>());
  for (int32_t page : freed_) {
    int cls = 0;
    Status s = header_.ClassOf(page, &cls);
    if (!s.ok()) return s;
    s = regions.Free(cls, page);
    if (!s.ok()) return s;
  }
  freed_.clear();

  // The class each changed page needs, measured once, and where each page
  // is now: moves renumber pages while the pass runs, and MarkDirty and
  // Forget keep this index up to date, so finding a page costs no walk over
  // every changed page.
  std::vector<std::pair<std::shared_ptr<TreePage>, int>> wanted;
  std::unordered_map<const TreePage*, int32_t> numbers;
  wanted.reserve(dirty_.size());
  numbers.reserve(dirty_.size());
  for (const auto& [number, page] : dirty_) {
    std::string image;
    Status s = EncodePage(0, *page, &image);
    if (!s.ok()) return s;
    wanted.emplace_back(page, UnitsFor(StoredSizeOf(image)));
    numbers[page.get()] = number;
  }
  numbers_ = &numbers;
  Status s = Status::Ok();
  for (const auto& [page, cls] : wanted) {
    auto where = numbers.find(page.get());
    if (where == numbers.end()) continue;  // freed meanwhile
    const int32_t number = where->second;
    int current_class = 0;
    if (number >= 0 && header_.ClassOf(number, &current_class).ok() && current_class == cls)
      continue;
    s = Relocate(page, number, cls);
    if (!s.ok()) break;
  }
  if (s.ok()) s = regions.Squeeze();
  numbers_ = nullptr;
  return s;
}

// Where the journal of this commit will end: behind the data (the larger of
// its old and new end), every changed page that has a home below the old end,
// then the shadow header. Each page's image takes exactly its class.
Status PageFile::JournalEnd(uint64_t data_end_before, uint64_t* end) const {
  uint64_t pos = std::max(header_.DataEnd(), data_end_before);
  for (const auto& [number, page] : dirty_) {
    if (number < 0 || PageOffset(number) >= data_end_before) continue;
    int cls = 0;
    Status s = header_.ClassOf(number, &cls);
    if (!s.ok()) return s;
    pos += static_cast<uint64_t>(cls) * kUnit;
  }
  *end = pos + kHeaderSize;
  return Status::Ok();
}

Status PageFile::WriteChanges(uint64_t data_end_before, std::vector<JournalEntry>* journal) {
  uint64_t journal_end = header_.committed_end;
  for (const auto& [number, page] : dirty_) {
    if (number < 0) return Status::Internal(kErrPageInNoRegion);
    std::string image;
    Status s = EncodePage(number, *page, &image);
    if (!s.ok()) return s;
    const uint64_t home = PageOffset(number);
    if (home < data_end_before) {
      s = WriteAt(journal_end, image);
      if (!s.ok()) return s;
      journal_end += image.size();
      journal->push_back(JournalEntry{home, std::move(image)});
    } else {
      s = WriteAt(home, image);
      if (!s.ok()) return s;
    }
  }
  header_.journal_end = static_cast<uint32_t>(journal_end + kHeaderSize);
  return WriteAt(journal_end, header_.Encode());
}

Status PageFile::Commit() {
  if (!dirty()) {
    EndRead();
    return Status::Ok();
  }
  Status s = CommitToJournal();
  if (!s.ok()) return s;
  return FinishCommit();
}

// Steps up to the commit point of this file: the changed pages are in the
// journal and the header at offset 0 names it. On failure the file is as it
// was before and the operation has ended. A commit that would make the file
// reach past its 32-bit offsets is refused before anything is written.
Status PageFile::CommitToJournal() {
  if (options_.share == platform::Share::kDenyNone ||
      options_.share == platform::Share::kDenyWrite) {
    if (!file_->Lock(kLockBase, kReaderSlots).ok()) {
      Rollback();
      return Status::Error(kErrAccessDenied);
    }
    commit_locked_ = true;
  }
  const FileHeader before = disk_header_;
  const uint64_t data_end = header_.DataEnd();
  journal_.clear();
  uint64_t journal_end = 0;
  Status s = SizingPass();
  if (s.ok()) s = JournalEnd(data_end, &journal_end);
  if (s.ok() && journal_end > size_limit_) s = Status::FileFull();
  if (s.ok() && before.change_counter == 0) {
    // Nothing on disk yet: put an empty header there first, so that a crash
    // before the commit point leaves an empty file rather than pages behind
    // 512 bytes that do not read as a header.
    s = WriteAt(0, before.Encode());
    if (s.ok() && !file_->Sync().ok()) s = Status::Error(kErrFileSystem);
  }
  if (s.ok()) {
    header_.committed_end = static_cast<uint32_t>(std::max(header_.DataEnd(), data_end));
    header_.journal_end = header_.committed_end;
    header_.change_counter = NextChange(before.change_counter);
    s = WriteChanges(data_end, &journal_);
  }
  if (s.ok()) {
    // The commit point: the old header, now naming the journal.
    FileHeader pointer = before;
    pointer.committed_end = header_.committed_end;
    pointer.journal_end = header_.journal_end;
    if (!file_->Sync().ok()) s = Status::Error(kErrFileSystem);
    if (s.ok()) s = WriteAt(0, pointer.Encode());
    if (s.ok() && !file_->Sync().ok()) s = Status::Error(kErrFileSystem);
  }
  if (!s.ok()) {
    journal_.clear();
    EndCommit();
    Rollback();
  }
  return s;
}

// Copies the journal home and drops it: the commit is complete.
Status PageFile::FinishCommit() {
  Status s = Status::Ok();
  for (const JournalEntry& j : journal_) {
    s = WriteAt(j.home, j.image);
    if (!s.ok()) break;
  }
  if (s.ok()) s = WriteAt(0, header_.Encode());
  if (s.ok()) s = Finalize();
  if (s.ok()) {
    for (auto& [number, page] : dirty_) clean_.Insert(number, std::move(page));
    dirty_.clear();
    header_dirty_ = false;
  } else {
    // The journal is on disk: the next changing operation rolls it forward.
    DropCache();
    have_header_ = false;
  }
  journal_.clear();
  EndCommit();
  return s;
}

// Drops a journal written by CommitToJournal: the file returns to its state
// before the commit. On failure the journal may still be named at offset 0.
Status PageFile::AbandonCommit() {
  const Status s = Finalize();
  DropCache();
  header_ = disk_header_;
  have_header_ = false;
  journal_.clear();
  EndCommit();
  return s;
}

void PageFile::EndCommit() {
  if (commit_locked_) file_->Unlock(kLockBase, kReaderSlots);
  commit_locked_ = false;
  ReleaseLocks();
  in_operation_ = false;
  changing_ = false;
}

void PageFile::Rollback() {
  DropCache();
  header_ = disk_header_;
  if (disk_header_.change_counter == 0) {
    header_.change_counter = 1;
    header_.root = -1;
  }
  ReleaseLocks();
  in_operation_ = false;
  changing_ = false;
}

// Cutting needs the end of the data as it is on disk now: another process
// may have committed and grown the file since this handle last looked, so
// the cut runs under the update lock with the header read afresh (unless
// the caller's changing operation already holds it).
Status PageFile::TruncateToData() {
  if (options_.access != platform::Access::kReadWrite || dirty()) return Status::Ok();
  const bool own_operation = !in_operation_;
  if (!own_operation && !changing_) return Status::Ok();
  if (own_operation) {
    Status s = Begin(true);
    if (!s.ok()) return s;
  }
  Status s = Status::Ok();
  auto size = file_->Size();
  // A header never committed to (change counter 0) still tells the end of
  // the data: a first commit that died after writing pages straight home
  // leaves them behind its empty header, and nobody else will cut them.
  if (have_header_ && disk_header_.committed_end == disk_header_.journal_end && size.ok()) {
    const uint64_t end = disk_header_.DataEnd();
    if (*size > end && !file_->Truncate(end).ok()) s = Status::Error(kErrFileSystem);
  }
  if (own_operation) EndRead();
  return s;
}

}  // namespace vm::storage
