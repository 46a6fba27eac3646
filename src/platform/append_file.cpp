#include "platform/append_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vm::platform {

bool AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return ::close(fd) == 0 && ok;
}

}  // namespace vm::platform
