#include "platform/dir_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vm::platform {
namespace {

constexpr uint32_t kEntryEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

// File systems whose changes may come from elsewhere than this kernel, by
// the magic number statfs reports.
constexpr uint32_t kRemoteFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x564C,      // NCP
    0x73757245,  // Coda
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x01021997,  // 9P
    0x00C36400,  // Ceph
    0x65735546,  // FUSE (sshfs, GlusterFS, ...)
    0x01161970,  // GFS2
    0x7461636F,  // OCFS2
    0x0BD00BD0,  // Lustre
};

DirEvent::Kind KindOf(uint32_t mask) {
  if (mask & IN_Q_OVERFLOW) return DirEvent::Kind::kOverflow;
  if (mask & IN_CLOSE_WRITE) return DirEvent::Kind::kClosedAfterWriting;
  if (mask & IN_MOVED_TO) return DirEvent::Kind::kMovedIn;
  if (mask & IN_CREATE) return DirEvent::Kind::kMade;
  if (mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
    return DirEvent::Kind::kGone;
  return DirEvent::Kind::kChanged;
}

class InotifyWatch final : public DirWatch {
 public:
  InotifyWatch(int fd, int wake) : fd_(fd), wake_(wake) {}
  ~InotifyWatch() override {
    close(fd_);
    close(wake_);
  }

  Result<int> Add(const std::string& dir) override {
    const int w = inotify_add_watch(fd_, dir.c_str(), kEntryEvents);
    if (w < 0) {
      const int err = errno;
      if (err == ENOSPC)
        return Status::Error(Code::kIoError,
                             "watch " + dir +
                                 ": the system's limit of watches is reached "
                                 "(fs.inotify.max_user_watches)",
                             err);
      return StatusFromErrno(err, "watch " + dir);
    }
    return w;
  }

  void Remove(int watch) override { inotify_rm_watch(fd_, watch); }

  Result<std::vector<DirEvent>> Wait(int timeout_ms) override {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int n = poll(fds, 2, timeout_ms);
    std::vector<DirEvent> out;
    if (n < 0 && errno != EINTR) return StatusFromErrno(errno, "poll inotify");
    if (n <= 0) return out;
    if (fds[1].revents & POLLIN) {
      // Only the wake-up matters, not the count; a failed read leaves the
      // next Wait to return early, which is harmless.
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = read(wake_, &count, sizeof count);
    }
    if (fds[0].revents & POLLIN) return ReadEvents();
    return out;
  }

  void Wake() override {
    // Fails only when the counter is full, and then a wake-up is pending.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = write(wake_, &one, sizeof one);
  }

 private:
  Result<std::vector<DirEvent>> ReadEvents() {
    alignas(inotify_event) char buf[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    const ssize_t got = read(fd_, buf, sizeof buf);
    std::vector<DirEvent> out;
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) return out;
      return StatusFromErrno(errno, "read inotify");
    }
    for (ssize_t at = 0; at < got;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      DirEvent d;
      d.kind = KindOf(e->mask);
      d.watch = e->wd;
      if (e->len > 0) d.name = e->name;  // NUL-padded by the kernel
      d.is_directory = (e->mask & IN_ISDIR) != 0;
      out.push_back(std::move(d));
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    return out;
  }

  const int fd_;
  const int wake_;
};

}  // namespace

Result<std::unique_ptr<DirWatch>> OpenDirWatch() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno, "inotify_init1");
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    const int err = errno;
    close(fd);
    return StatusFromErrno(err, "eventfd");
  }
  return std::unique_ptr<DirWatch>(new InotifyWatch(fd, wake));
}

bool MayMissChanges(const std::string& dir) {
  struct statfs fs {};
  if (statfs(dir.c_str(), &fs) != 0) return true;
  const uint32_t type = static_cast<uint32_t>(fs.f_type);
  for (uint32_t remote : kRemoteFileSystems) {
    if (type == remote) return true;
  }
  return false;
}

}  // namespace vm::platform
