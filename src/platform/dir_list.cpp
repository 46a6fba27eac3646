#include "platform/dir_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace vm::platform {

Result<std::vector<DirEntry>> ListDirectory(const std::string& dir) {
  DIR* d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return StatusFromErrno(errno, "opendir " + dir);
  const int dfd = dirfd(d);
  std::vector<DirEntry> out;
  errno = 0;
  while (struct dirent* de = readdir(d)) {
    struct stat st;
    if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    DirEntry e;
    e.name = de->d_name;
    e.is_directory = S_ISDIR(st.st_mode);
    e.is_regular = S_ISREG(st.st_mode);
    e.is_link = S_ISLNK(st.st_mode);
    e.device = static_cast<uint64_t>(st.st_dev);
    e.inode = static_cast<uint64_t>(st.st_ino);
    e.size = static_cast<uint64_t>(st.st_size);
    e.mtime_seconds = st.st_mtim.tv_sec;
    e.mtime_nanoseconds = st.st_mtim.tv_nsec;
    e.mode = st.st_mode;
    e.owner_writable = (st.st_mode & S_IWUSR) != 0;
    out.push_back(std::move(e));
    errno = 0;
  }
  const int err = errno;
  closedir(d);
  if (err != 0) return StatusFromErrno(err, "readdir " + dir);
  return out;
}

}  // namespace vm::platform
