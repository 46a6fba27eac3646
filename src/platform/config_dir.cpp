#include "platform/config_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vm::platform {
namespace {

namespace fs = std::filesystem;

Status Refused(const fs::path& dir, const std::string& why) {
  return Status::Error(Code::kAccessDenied,
                       "configuration folder " + dir.string() + " refused: " + why);
}

// Whether `dir` may hold the user's settings: a directory owned by the user
// that nobody else may write in. The parent may be a link to one (a moved
// ~/.config); the folder itself may not. A missing directory passes.
Status CheckOwnDirectory(const fs::path& dir, bool may_be_link) {
  struct stat st;
  const int rc = may_be_link ? ::stat(dir.c_str(), &st) : ::lstat(dir.c_str(), &st);
  if (rc != 0)
    return errno == ENOENT ? Status::Ok() : StatusFromErrno(errno, "stat " + dir.string());
  if (S_ISLNK(st.st_mode)) return Refused(dir, "it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return Refused(dir, "it is not a directory");
  if (st.st_uid != ::geteuid())
    return Refused(dir, "it belongs to user " + std::to_string(st.st_uid));
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Refused(dir, "others may write in it");
  return Status::Ok();
}

Result<fs::path> Locate() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg) / "voicemail-mailer";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    struct passwd* pw = ::getpwuid(::geteuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  if (home == nullptr || home[0] != '/') {
    return Status::Error(Code::kAccessDenied,
                         "no configuration folder: HOME is not set and the user has no home "
                         "directory in the password database");
  }
  return fs::path(home) / ".config" / "voicemail-mailer";
}

Status MakeDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return Status::Ok();
  return StatusFromErrno(errno, "make " + dir.string());
}

}  // namespace

Result<fs::path> ConfigDir() {
  Result<fs::path> dir = Locate();
  if (!dir.ok()) return dir;
  Status s = CheckOwnDirectory(dir->parent_path(), true);
  if (s.ok()) s = CheckOwnDirectory(*dir, false);
  if (!s.ok()) return s;
  return dir;
}

Result<fs::path> MakeConfigDir() {
  Result<fs::path> dir = ConfigDir();
  if (!dir.ok()) return dir;
  Status s = MakeDirectory(dir->parent_path());
  if (s.ok()) s = MakeDirectory(*dir);
  if (!s.ok()) return s;
  return ConfigDir();
}

Status MakePrivateDirectories(const fs::path& dir) {
  if (dir.empty()) return Status::Ok();
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return Status::Ok();
  if (dir.has_parent_path() && dir.parent_path() != dir) {
    Status s = MakePrivateDirectories(dir.parent_path());
    if (!s.ok()) return s;
  }
  return MakeDirectory(dir);
}

}  // namespace vm::platform
