#include "platform/dir_stamp.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

namespace vm::platform {

Result<DirStamp> StampDirectory(const std::string& path) {
  // The clock is read first: a change after it can only make the mtime
  // newer than the stamp's time, never older.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return StatusFromErrno(errno, "stat " + path);
  if (!S_ISDIR(st.st_mode)) return Status::Error(Code::kNotFound, path + ": not a directory");
  DirStamp s;
  s.device = static_cast<uint64_t>(st.st_dev);
  s.inode = static_cast<uint64_t>(st.st_ino);
  s.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.taken_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return s;
}

}  // namespace vm::platform
