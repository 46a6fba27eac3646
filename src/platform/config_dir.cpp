#include "platform/config_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace vm::platform {

std::filesystem::path ConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      struct passwd* pw = ::getpwuid(::getuid());
      home = (pw != nullptr) ? pw->pw_dir : "/tmp";
    }
    base = std::filesystem::path(home) / ".config";
  }
  return base / "voicemail-mailer";
}

}  // namespace vm::platform
