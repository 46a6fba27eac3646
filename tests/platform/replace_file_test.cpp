// Whole-file replacement: contents, mode, planted links and failures.
#include "platform/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vm::platform {
namespace {

std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(ReplaceFile, WritesWithModeAndLeavesNoTemporary) {
  vm::testing::TempDir dir;
  const auto path = dir.path() / "settings";
  ASSERT_TRUE(ReplaceFile(path, "a=1\n").ok());
  ASSERT_TRUE(ReplaceFile(path, std::string("b=2\n\0x", 6), 0640).ok());
  EXPECT_EQ(Slurp(path), std::string("b=2\n\0x", 6));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(ReplaceFile, ReplacesALinkInsteadOfWritingThroughIt) {
  vm::testing::TempDir dir;
  const auto target = dir.path() / "victim";
  { std::ofstream(target) << "keep"; }
  const auto link = dir.path() / "email.INI";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_TRUE(ReplaceFile(link, "new").ok());
  EXPECT_EQ(Slurp(target), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Slurp(link), "new");
}

TEST(ReplaceFile, FailureLeavesTheOldFile) {
  vm::testing::TempDir dir;
  const auto path = dir.path() / "sub" / "file";
  EXPECT_FALSE(ReplaceFile(path, "x").ok());  // no such directory
  std::filesystem::create_directory(dir.path() / "sub");
  ASSERT_TRUE(ReplaceFile(path, "old").ok());
  if (::geteuid() != 0) {  // root writes anywhere
    ::chmod((dir.path() / "sub").c_str(), 0500);
    EXPECT_FALSE(ReplaceFile(path, "new").ok());
    ::chmod((dir.path() / "sub").c_str(), 0700);
  }
  EXPECT_EQ(Slurp(path), "old");
}

}  // namespace
}  // namespace vm::platform
