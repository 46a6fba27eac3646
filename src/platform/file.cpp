#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace vm::platform {
namespace {

// Offsets of the share-mode bytes above kShareLockBase. Every handle holds a
// shared lock on the bytes that describe it; an opener tests the bytes that
// would conflict with it. The gate byte makes test-and-take one step.
constexpr uint64_t kGate = 0;
constexpr uint64_t kHasRead = 1;
constexpr uint64_t kHasWrite = 2;
constexpr uint64_t kDenyRead = 3;
constexpr uint64_t kDenyWrite = 4;

int SetLock(int fd, int cmd, short type, uint64_t offset, uint64_t length) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // required for OFD locks
  for (;;) {
    int rc = ::fcntl(fd, cmd, &fl);
    if (rc == 0 || errno != EINTR) return rc;
  }
}

// Takes a lock, waiting while another description holds the range, up to
// `wait_ms`. The kernel's own wait (F_OFD_SETLKW) has no limit, so this one
// polls, backing off from 0.5 ms to 10 ms between tries. Returns as SetLock;
// errno is EAGAIN when the wait ran out.
int SetLockWithin(int fd, short type, uint64_t offset, uint64_t length, int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  auto pause = std::chrono::microseconds(500);
  for (;;) {
    const int rc = SetLock(fd, F_OFD_SETLK, type, offset, length);
    if (rc == 0 || (errno != EAGAIN && errno != EACCES)) return rc;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      errno = EAGAIN;
      return -1;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

// "10 s", or "250 ms" for a wait under a second.
std::string WaitText(int ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// A new or changed name is durable only once its directory is flushed.
Status SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno, "open " + dir);
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  return rc == 0 ? Status::Ok() : StatusFromErrno(err, "flush " + dir);
}

// True when another open file description holds a lock on the byte.
bool HeldElsewhere(int fd, uint64_t offset) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(kShareLockBase + offset);
  fl.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string path, bool writable, bool lockable, int lock_wait_ms)
      : fd_(fd),
        path_(std::move(path)),
        writable_(writable),
        lockable_(lockable),
        lock_wait_ms_(lock_wait_ms) {}
  ~PosixFile() override { ::close(fd_); }  // closing drops every OFD lock of the handle
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
    size_t done = 0;
    auto* p = static_cast<char*>(buf);
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        *got = done;
        return StatusFromErrno(errno, "read " + path_);
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    *got = done;
    return Status::Ok();
  }

  Status WriteAt(uint64_t offset, const void* buf, size_t n) override {
    if (!writable_)
      return Status::Error(Code::kAccessDenied, "write " + path_ + ": opened for reading");
    size_t done = 0;
    const auto* p = static_cast<const char*>(buf);
    while (done < n) {
      ssize_t r = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        return StatusFromErrno(errno, "write " + path_);
      }
      done += static_cast<size_t>(r);
    }
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override {
    if (!writable_)
      return Status::Error(Code::kAccessDenied, "truncate " + path_ + ": opened for reading");
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
      return StatusFromErrno(errno, "truncate " + path_);
    return Status::Ok();
  }

  Status Sync() override {
    if (::fdatasync(fd_) != 0) return StatusFromErrno(errno, "flush " + path_);
    return Status::Ok();
  }

  Result<uint64_t> Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return StatusFromErrno(errno, "stat " + path_);
    return static_cast<uint64_t>(st.st_size);
  }

  Status TryLock(uint64_t offset, uint64_t length) override {
    return LockRange(offset, length, false);
  }
  Status Lock(uint64_t offset, uint64_t length) override { return LockRange(offset, length, true); }

  Status Unlock(uint64_t offset, uint64_t length) override {
    auto it = std::find(held_.begin(), held_.end(), Range{offset, length});
    if (it == held_.end()) {
      return Status::Error(Code::kInvalidArgument,
                           "unlock " + path_ + ": range not locked by this handle");
    }
    if (SetLock(fd_, F_OFD_SETLK, F_UNLCK, offset, length) != 0) {
      return StatusFromErrno(errno, "unlock " + path_);
    }
    held_.erase(it);
    return Status::Ok();
  }

  Result<bool> LockedElsewhere(uint64_t offset, uint64_t length) override {
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    if (::fcntl(fd_, F_OFD_GETLK, &fl) != 0) return StatusFromErrno(errno, "lock query " + path_);
    return fl.l_type != F_UNLCK;
  }

  const std::string& path() const override { return path_; }

  // Takes the share-mode bytes for this handle, or reports a conflict.
  Status ClaimShare(Access access, Share share) {
    bool deny_read = share == Share::kDenyRead || share == Share::kExclusive;
    bool deny_write = share == Share::kDenyWrite || share == Share::kExclusive;
    // Another opener holds the gate only for its own check; one that holds
    // it longer is not let to keep this opener waiting.
    const bool gated =
        lockable_ && SetLockWithin(fd_, F_WRLCK, kShareLockBase + kGate, 1, lock_wait_ms_) == 0;
    if (lockable_ && !gated) {
      return Status::Error(Code::kAccessDenied,
                           "open " + path_ + ": another opener held the file's sharing check for " +
                               "more than " + WaitText(lock_wait_ms_));
    }
    bool conflict = HeldElsewhere(fd_, kDenyRead) ||
                    (access == Access::kReadWrite && HeldElsewhere(fd_, kDenyWrite)) ||
                    (deny_read && HeldElsewhere(fd_, kHasRead)) ||
                    (deny_write && HeldElsewhere(fd_, kHasWrite));
    if (!conflict) {
      SetLock(fd_, F_OFD_SETLK, F_RDLCK, kShareLockBase + kHasRead, 1);
      if (access == Access::kReadWrite)
        SetLock(fd_, F_OFD_SETLK, F_RDLCK, kShareLockBase + kHasWrite, 1);
      if (deny_read) SetLock(fd_, F_OFD_SETLK, F_RDLCK, kShareLockBase + kDenyRead, 1);
      if (deny_write) SetLock(fd_, F_OFD_SETLK, F_RDLCK, kShareLockBase + kDenyWrite, 1);
    }
    if (gated) SetLock(fd_, F_OFD_SETLK, F_UNLCK, kShareLockBase + kGate, 1);
    if (conflict)
      return Status::Error(Code::kAccessDenied, "open " + path_ + ": sharing violation");
    return Status::Ok();
  }

 private:
  struct Range {
    uint64_t offset;
    uint64_t length;
    bool operator==(const Range&) const = default;
    bool Overlaps(uint64_t o, uint64_t l) const { return o < offset + length && offset < o + l; }
  };

  Status LockRange(uint64_t offset, uint64_t length, bool wait) {
    if (length == 0)
      return Status::Error(Code::kInvalidArgument, "lock " + path_ + ": empty range");
    for (const Range& r : held_) {
      if (r.Overlaps(offset, length)) {
        return Status::Error(Code::kLockConflict,
                             "lock " + path_ + ": range already locked by this handle");
      }
    }
    // A handle that could only be opened for reading cannot hold exclusive
    // locks; it takes shared ones, which still keep writers out.
    short type = lockable_ ? F_WRLCK : F_RDLCK;
    const int rc = wait ? SetLockWithin(fd_, type, offset, length, lock_wait_ms_)
                        : SetLock(fd_, F_OFD_SETLK, type, offset, length);
    if (rc != 0) {
      if (errno == EAGAIN || errno == EACCES) {
        return Status::Error(
            Code::kLockConflict,
            "lock " + path_ + ": held by another handle" +
                (wait ? " for more than " + WaitText(lock_wait_ms_) : std::string()));
      }
      return StatusFromErrno(errno, "lock " + path_);
    }
    held_.push_back(Range{offset, length});
    return Status::Ok();
  }

  int fd_;
  std::string path_;
  bool writable_;
  bool lockable_;  // opened read-write at the system level, so exclusive locks work
  int lock_wait_ms_;
  std::vector<Range> held_;
};

class PosixEnv final : public Env {
 public:
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, Access access, Share share,
                                         Disposition disposition) override {
    int flags = O_CLOEXEC;
    switch (disposition) {
      case Disposition::kOpenExisting:
        break;
      case Disposition::kOpenAlways:
        flags |= O_CREAT;
        break;
      case Disposition::kCreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
      case Disposition::kCreateAlways:
        flags |= O_CREAT;
        break;
    }
    if (IsDirectory(path)) return StatusFromErrno(EISDIR, "open " + path);
    // Byte-range locks must be exclusive as on Windows, which needs a
    // descriptor open for writing; a reader asks for one when it may.
    // Files the program makes hold every mailbox's address: its own user's only.
    bool lockable = true;
    int fd = ::open(path.c_str(), flags | O_RDWR, 0600);
    if (fd < 0 && access == Access::kRead && (errno == EACCES || errno == EROFS)) {
      lockable = false;
      fd = ::open(path.c_str(), flags | O_RDONLY, 0600);
    }
    if (fd < 0) return StatusFromErrno(errno, "open " + path);
    auto file = std::make_unique<PosixFile>(fd, path, access == Access::kReadWrite, lockable,
                                            lock_wait_ms_.load());
    Status shared = file->ClaimShare(access, share);
    if (!shared.ok()) return shared;
    // Truncate only once the share check has let us in, as Windows does.
    if (disposition == Disposition::kCreateAlways) {
      Status st = file->Truncate(0);
      if (!st.ok() && access == Access::kReadWrite) return st;
    }
    return std::unique_ptr<File>(std::move(file));
  }

  Status DeleteFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return StatusFromErrno(errno, "delete " + path);
    return Status::Ok();
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool IsDirectory(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  Result<FileId> Identify(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return StatusFromErrno(errno, "stat " + path);
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  }

  Result<std::unique_ptr<File>> OpenForReading(const std::string& path,
                                               const FileId* expect) override {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP) return NotRegular(path, "a symbolic link");
      return StatusFromErrno(errno, "open " + path);
    }
    struct stat st;
    Status refused;
    if (::fstat(fd, &st) != 0) {
      refused = StatusFromErrno(errno, "stat " + path);
    } else if (!S_ISREG(st.st_mode)) {
      refused = NotRegular(path, "not a regular file");
    } else if (expect != nullptr && !(IdOf(st) == *expect)) {
      refused = Status::Error(Code::kAccessDenied,
                              "open " + path + ": no longer the file that was listed");
    }
    if (!refused.ok()) {
      ::close(fd);
      return refused;
    }
    // Reads block as usual from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::unique_ptr<File>(
        std::make_unique<PosixFile>(fd, path, false, false, lock_wait_ms_.load()));
  }

  Result<FileId> IdentifyRegular(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return StatusFromErrno(errno, "stat " + path);
    if (S_ISLNK(st.st_mode)) return NotRegular(path, "a symbolic link");
    if (!S_ISREG(st.st_mode)) return NotRegular(path, "not a regular file");
    return IdOf(st);
  }

  void SetLockWaitMs(int ms) override { lock_wait_ms_.store(ms > 0 ? ms : 0); }

  Status LinkFile(const std::string& from, const std::string& to) override {
    if (::link(from.c_str(), to.c_str()) != 0)
      return StatusFromErrno(errno, "link " + from + " to " + to);
    return SyncDirectoryOf(to);
  }

  Status RenameFile(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0)
      return StatusFromErrno(errno, "rename " + from + " to " + to);
    return SyncDirectoryOf(to);
  }

 private:
  static FileId IdOf(const struct stat& st) {
    return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  }
  static Status NotRegular(const std::string& path, const char* what) {
    return Status::Error(Code::kAccessDenied, "open " + path + ": " + what);
  }

  std::atomic<int> lock_wait_ms_{kDefaultLockWaitMs};
};

}  // namespace

Env* Env::Default() {
  static PosixEnv env;
  return &env;
}

}  // namespace vm::platform
