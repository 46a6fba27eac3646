// The configuration folder: where it is, that it is made private, and that
// one which is not the user's own (a link, another owner, open to others'
// writes) is refused by the profile and the registry store alike.
#include "platform/config_dir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/diag_sink.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "temp_dir.h"

namespace vm::platform {
namespace {

namespace fs = std::filesystem;
using vm::testing::TempDir;

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t ModeOf(const fs::path& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ConfigDir, IsMadePrivateUnderTheUsersOwnParent) {
  TempDir dir;
  ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().string());
  const mode_t before = umask(0);
  auto made = MakeConfigDir();
  umask(before);
  ASSERT_TRUE(made.ok()) << made.status().message();
  EXPECT_EQ(*made, dir.path() / "voicemail-mailer");
  EXPECT_EQ(ModeOf(*made), 0700u);
  // Without XDG_CONFIG_HOME: ~/.config, ~ from HOME, else the password entry.
  ScopedEnv no_xdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", dir.path().string());
  ASSERT_TRUE(MakeConfigDir().ok());
  EXPECT_EQ(ModeOf(dir.path() / ".config"), 0700u);
  EXPECT_EQ(ModeOf(dir.path() / ".config" / "voicemail-mailer"), 0700u);
  ScopedEnv no_home("HOME", std::nullopt);
  struct passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(pw, nullptr);
  auto from_passwd = ConfigDir();
  if (from_passwd.ok()) {
    EXPECT_EQ(*from_passwd, fs::path(pw->pw_dir) / ".config" / "voicemail-mailer");
  } else {
    EXPECT_EQ(from_passwd.status().message().find("/tmp/"), std::string::npos);
  }
}

TEST(ConfigDir, AFolderThatIsNotTheUsersOwnIsRefused) {
  TempDir dir;
  ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().string());
  const fs::path folder = dir.path() / "voicemail-mailer";
  const fs::path elsewhere = dir.path() / "elsewhere";
  fs::create_directory(elsewhere);

  fs::create_directory_symlink(elsewhere, folder);
  EXPECT_EQ(ConfigDir().status().code(), Code::kAccessDenied);
  EXPECT_NE(ConfigDir().status().message().find("symbolic link"), std::string::npos);
  EXPECT_FALSE(MakeConfigDir().ok());
  fs::remove(folder);

  fs::create_directory(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 0770), 0);
  EXPECT_NE(ConfigDir().status().message().find("others may write in it"), std::string::npos);
  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  EXPECT_TRUE(ConfigDir().ok());

  // A parent others may write in, as /tmp is when HOME points there.
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  EXPECT_FALSE(ConfigDir().ok());
  ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);

  if (::chown(folder.c_str(), 65534, 65534) == 0 && ::geteuid() != 65534) {
    EXPECT_NE(ConfigDir().status().message().find("belongs to user 65534"), std::string::npos);
  }
}

TEST(ConfigDir, InASharedDirectoryAnotherUsersFolderIsRefused) {
  // A home in a directory everyone may write in, as /tmp: another user can
  // make .config there first.
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
  ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv home("HOME", dir.path().string());
  fs::create_directory(dir.path() / ".config");
  if (::geteuid() != 0 || ::chown((dir.path() / ".config").c_str(), 65534, 65534) != 0)
    GTEST_SKIP() << "giving a directory to another user needs root";
  EXPECT_NE(ConfigDir().status().message().find("belongs to user 65534"), std::string::npos);
  EXPECT_FALSE(MakeConfigDir().ok());
  EXPECT_FALSE(fs::exists(dir.path() / ".config" / "voicemail-mailer"));
}

TEST(ConfigDir, ProfileAndRegistryUseNothingOfARefusedFolder) {
  TempDir dir;
  ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().string());
  const fs::path planted = dir.path() / "planted";
  fs::create_directory(planted);
  std::ofstream(planted / "profile.ini") << "[QXKEELFAST]\nDetails=12\n";
  fs::create_directory_symlink(planted, dir.path() / "voicemail-mailer");
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Details", 7), 7);

  auto sink = std::make_shared<MemorySink>();
  ScopedDiagSink scoped(sink);
  RegistryStore store;
  RegKey key = 0;
  EXPECT_EQ(store.CreateKey(Hive::kCurrentUser, "Software\\Dunmarsh", &key), kRegAccessDenied);
  EXPECT_EQ(store.OpenKey(Hive::kCurrentUser, "Software\\Dunmarsh", &key), kRegNotFound);
  EXPECT_FALSE(fs::exists(planted / "registry.ini"));
  ASSERT_EQ(sink->Lines().size(), 1u);
  EXPECT_NE(sink->Lines()[0].find("refused"), std::string::npos);
}

}  // namespace
}  // namespace vm::platform
