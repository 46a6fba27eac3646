#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vm::platform {
namespace {

Status WriteAll(int fd, std::string_view data, const std::string& name) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return StatusFromErrno(errno, "write " + name);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return Status::Ok();
}

// A rename is durable only once the directory that holds the name is flushed.
void SyncDirectory(const std::filesystem::path& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

Status ReplaceFile(const std::filesystem::path& path, std::string_view data, mode_t mode) {
  const std::filesystem::path dir = path.parent_path();
  std::string tmp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno, "create a temporary file beside " + path.string());
  Status st =
      ::fchmod(fd, mode) == 0 ? WriteAll(fd, data, tmp) : StatusFromErrno(errno, "chmod " + tmp);
  if (st.ok() && ::fsync(fd) != 0) st = StatusFromErrno(errno, "flush " + tmp);
  if (::close(fd) != 0 && st.ok()) st = StatusFromErrno(errno, "close " + tmp);
  if (st.ok() && ::rename(tmp.c_str(), path.c_str()) != 0)
    st = StatusFromErrno(errno, "rename " + tmp + " to " + path.string());
  if (!st.ok()) {
    ::unlink(tmp.c_str());
    return st;
  }
  SyncDirectory(dir);
  return Status::Ok();
}

}  // namespace vm::platform
