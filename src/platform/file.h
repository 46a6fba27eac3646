// Files of the storage engine: positioned reads and writes, size, truncation,
// durable flush, and Windows-style byte-range locks and share modes built on
// open-file-description locks, so two handles conflict even inside one process.
// `Env` opens files; tests wrap it (EnvWrapper) to inject faults.
// A File belongs to one thread at a time; an Env is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace vm::platform {

enum class Access { kRead, kReadWrite };

// What other openers of the same file may do while this handle is open.
enum class Share {
  kDenyNone,   // others may read and write
  kDenyWrite,  // others may only read
  kDenyRead,   // others may only write
  kExclusive,  // no other opener at all
};

enum class Disposition {
  kOpenExisting,  // kNotFound when missing
  kOpenAlways,    // create when missing
  kCreateNew,     // kExists when present
  kCreateAlways,  // create or truncate
};

// Share-mode emulation lies in a byte range far above any lock offset a file
// format can use: bytes [kShareLockBase, kShareLockBase + 8).
inline constexpr uint64_t kShareLockBase = 0x400000000ull;

class File {
 public:
  virtual ~File() = default;

  // Reads up to n bytes at offset; *got tells how many (fewer at end of file).
  virtual Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) = 0;
  // Writes all n bytes at offset or fails.
  virtual Status WriteAt(uint64_t offset, const void* buf, size_t n) = 0;
  virtual Status Truncate(uint64_t size) = 0;
  // Makes every completed write durable.
  virtual Status Sync() = 0;
  virtual Result<uint64_t> Size() = 0;

  // Exclusive lock of [offset, offset+length), as Windows LockFile: fails with
  // kLockConflict when any part is locked by another handle, or already by
  // this one. Does not wait.
  virtual Status TryLock(uint64_t offset, uint64_t length) = 0;
  // The same, waiting while the range is held elsewhere, but never longer
  // than the Env's lock wait (kLockConflict then, as for TryLock): anyone who
  // can open a file can hold a range of it. A range this handle already holds
  // fails at once with kLockConflict.
  virtual Status Lock(uint64_t offset, uint64_t length) = 0;
  // Releases a range exactly as it was locked; kInvalidArgument otherwise.
  virtual Status Unlock(uint64_t offset, uint64_t length) = 0;
  // Whether another handle (of any process) holds a lock on part of the
  // range, asked without taking it: a probe that took the lock, even for a
  // moment, could keep its holder from starting.
  virtual Result<bool> LockedElsewhere(uint64_t offset, uint64_t length) {
    (void)offset;
    (void)length;
    return Status::Error(Code::kNotSupported, "lock query: not supported");
  }

  virtual const std::string& path() const = 0;
};

// A file that passes every call to another one; wrappers that watch or
// falsify some calls (fault injection in tests) override just those.
class FileWrapper : public File {
 public:
  explicit FileWrapper(std::unique_ptr<File> target) : target_(std::move(target)) {}
  File* target() const { return target_.get(); }
  Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    return target_->ReadAt(offset, buf, n, got);
  }
  Status WriteAt(uint64_t offset, const void* buf, size_t n) override {
    return target_->WriteAt(offset, buf, n);
  }
  Status Truncate(uint64_t size) override { return target_->Truncate(size); }
  Status Sync() override { return target_->Sync(); }
  Result<uint64_t> Size() override { return target_->Size(); }
  Status TryLock(uint64_t offset, uint64_t length) override {
    return target_->TryLock(offset, length);
  }
  Status Lock(uint64_t offset, uint64_t length) override { return target_->Lock(offset, length); }
  Status Unlock(uint64_t offset, uint64_t length) override {
    return target_->Unlock(offset, length);
  }
  Result<bool> LockedElsewhere(uint64_t offset, uint64_t length) override {
    return target_->LockedElsewhere(offset, length);
  }
  const std::string& path() const override { return target_->path(); }

 private:
  std::unique_ptr<File> target_;
};

// Where a file lives: two paths name one file exactly when their identities
// are equal ("./X" and "/abs/X", hard links), and two names that differ only
// in case are two files on a case-sensitive file system.
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

// Longest wait for a byte-range lock (Lock, and the share-mode check of
// OpenFile) unless an Env is told otherwise.
inline constexpr int kDefaultLockWaitMs = 10000;

class Env {
 public:
  virtual ~Env() = default;
  // The real file system. Lives for the whole process.
  static Env* Default();

  // Opens with Windows semantics for share modes: an opener whose access or
  // share mode conflicts with a handle already open (in any process) fails
  // with kAccessDenied, as does one that waits longer than the lock wait for
  // another opener to finish its check. A file it creates has mode 0600.
  virtual Result<std::unique_ptr<File>> OpenFile(const std::string& path, Access access,
                                                 Share share, Disposition disposition) = 0;
  // Opens a file that belongs to someone else's tree (a recording) for
  // reading only: no lock is taken or waited for, a symbolic link as the
  // last part of `path` is not followed, and anything but a regular file is
  // refused (a FIFO would block the opener). With `expect`, the opened file
  // must be that one (kAccessDenied otherwise), so a name swapped since it
  // was listed is not read.
  virtual Result<std::unique_ptr<File>> OpenForReading(const std::string& path,
                                                       const FileId* expect = nullptr) {
    (void)expect;
    return OpenFile(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
  }
  // The identity of the regular file `path` names, without following a link
  // in its last part: kAccessDenied for a link or anything not a regular file.
  virtual Result<FileId> IdentifyRegular(const std::string& path) { return Identify(path); }
  // Longest wait for a byte-range lock of the files this Env opens from now on.
  virtual void SetLockWaitMs(int ms) { (void)ms; }
  // Gives the file `from` the second name `to` (kExists when `to` is taken);
  // durable when it returns.
  virtual Status LinkFile(const std::string& from, const std::string& to) {
    return Status::Error(Code::kNotSupported, "link " + from + " " + to + ": not supported");
  }
  // Renames `from` to `to`, replacing whatever `to` named, in one step: a
  // reader or a kill sees the old file under `to` or the new one, never
  // neither. Durable when it returns.
  virtual Status RenameFile(const std::string& from, const std::string& to) {
    return Status::Error(Code::kNotSupported, "rename " + from + " " + to + ": not supported");
  }
  virtual Status DeleteFile(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;  // regular file
  virtual bool IsDirectory(const std::string& path) = 0;
  // The identity of the file `path` names now (kNotFound when none does).
  virtual Result<FileId> Identify(const std::string& path) {
    return Status::Error(Code::kNotSupported, "identify " + path + ": not supported");
  }
};

// Forwards every call to another Env; override what a test wants to change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, Access access, Share share,
                                         Disposition disposition) override {
    return target_->OpenFile(path, access, share, disposition);
  }
  Status DeleteFile(const std::string& path) override { return target_->DeleteFile(path); }
  bool FileExists(const std::string& path) override { return target_->FileExists(path); }
  bool IsDirectory(const std::string& path) override { return target_->IsDirectory(path); }
  Result<FileId> Identify(const std::string& path) override { return target_->Identify(path); }
  Result<std::unique_ptr<File>> OpenForReading(const std::string& path,
                                               const FileId* expect = nullptr) override {
    return target_->OpenForReading(path, expect);
  }
  Result<FileId> IdentifyRegular(const std::string& path) override {
    return target_->IdentifyRegular(path);
  }
  void SetLockWaitMs(int ms) override { target_->SetLockWaitMs(ms); }
  Status LinkFile(const std::string& from, const std::string& to) override {
    return target_->LinkFile(from, to);
  }
  Status RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }

 private:
  Env* target_;
};

}  // namespace vm::platform
