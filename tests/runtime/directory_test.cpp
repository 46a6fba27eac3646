// Directory listing on real files in a temporary directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "runtime/date_time.h"
#include "runtime/directory.h"

namespace vm::runtime {
namespace {

namespace fs = std::filesystem;

class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vm_runtime_dir_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const fs::path& rel, size_t bytes, time_t mtime = 0) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << std::string(bytes, 'x');
    if (mtime != 0) {
      struct timespec ts[2] = {{mtime, 0}, {mtime, 250000000}};
      ASSERT_EQ(utimensat(AT_FDCWD, (root_ / rel).c_str(), ts, 0), 0);
    }
  }
  std::string Pattern(const std::string& rel) const { return (root_ / rel).string(); }

  fs::path root_;
};

TEST(MatchesPattern, WildcardsAndCase) {
  EXPECT_TRUE(MatchesPattern("X.wav", "*.wav"));
  EXPECT_TRUE(MatchesPattern("X.WAV", "*.wav"));
  EXPECT_FALSE(MatchesPattern("X.wav.tmp", "*.wav"));
  EXPECT_FALSE(MatchesPattern("wav", "*.wav"));
  EXPECT_TRUE(MatchesPattern(".wav", "*.wav"));
  EXPECT_TRUE(MatchesPattern("a.b.wav", "*.wav"));
  EXPECT_TRUE(MatchesPattern("msg1.wav", "msg?.wav"));
  EXPECT_FALSE(MatchesPattern("msg12.wav", "msg?.wav"));
  EXPECT_TRUE(MatchesPattern("m\xC3\xA9.wav", "m?.wav"));  // '?' takes a whole UTF-8 character
  EXPECT_TRUE(MatchesPattern("101", "*.*"));
  EXPECT_TRUE(MatchesPattern("abcabcx", "*abc*x"));
  EXPECT_FALSE(MatchesPattern("abcabc", "*abc*x"));
  EXPECT_TRUE(MatchesPattern("", "*"));
  EXPECT_FALSE(MatchesPattern("", "?"));
}

TEST_F(DirectoryTest, ListsMatchingFilesWithSizeDateAndTime) {
  // 2003-07-05 09:09:30 UTC; the expected local values come from localtime_r.
  const time_t when = 1057396170;
  Write("101/msg/X.wav", 1234, when);
  Write("101/msg/notes.txt", 5);
  Write("101/msg/sub.wav/inner.wav", 1);  // a directory that matches the pattern

  const auto files = ListDirectory(Pattern("101/msg/*.wav"), ListKind::kFilesOnly);
  ASSERT_EQ(files.size(), 1u);
  const FileEntry& f = files[0];
  EXPECT_EQ(f.name, "X.wav");
  EXPECT_EQ(f.short_name, "X.wav");
  EXPECT_EQ(f.size, 1234u);
  EXPECT_EQ(f.attrib & kAttrDirectory, 0);
  EXPECT_NE(f.attrib & kAttrArchive, 0);

  struct tm tm;
  localtime_r(&when, &tm);
  using namespace std::chrono;
  const sys_days local_day = sys_days(year{tm.tm_year + 1900} / month{unsigned(tm.tm_mon + 1)} /
                                      day{unsigned(tm.tm_mday)});
  EXPECT_EQ(f.date, (local_day - sys_days(year{1800} / December / 28)).count());
  EXPECT_EQ(f.time, ((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 100 + 25 + 1);

  const auto with_dirs = ListDirectory(Pattern("101/msg/*.wav"), ListKind::kFilesAndDirectories);
  ASSERT_EQ(with_dirs.size(), 2u);
  const auto dir = std::find_if(with_dirs.begin(), with_dirs.end(),
                                [](const FileEntry& e) { return e.name == "sub.wav"; });
  ASSERT_NE(dir, with_dirs.end());
  EXPECT_NE(dir->attrib & kAttrDirectory, 0);
}

TEST_F(DirectoryTest, KeepsTheFileSystemOrderAndListsDotEntriesForStarDotStar) {
  for (const char* n : {"zeta", "alpha", "m101", "0102", "beta"})
    Write(std::string(n) + "/transfer.ini", 1);
  Write("loose.txt", 3);
  Write(".hidden", 1);
  std::vector<std::string> reference;  // directory_iterator reads in readdir order too
  for (const auto& e : fs::directory_iterator(root_))
    reference.push_back(e.path().filename().string());

  const auto all = ListDirectory(Pattern("*.*"), ListKind::kFilesAndDirectories);
  std::vector<std::string> names;
  for (const FileEntry& e : all)
    if (e.name != "." && e.name != "..") names.push_back(e.name);
  EXPECT_EQ(names, reference);
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const FileEntry& e) { return e.name == "." || e.name == ".."; }),
            2);
  const auto hidden =
      std::find_if(all.begin(), all.end(), [](const FileEntry& e) { return e.name == ".hidden"; });
  ASSERT_NE(hidden, all.end());
  EXPECT_NE(hidden->attrib & kAttrHidden, 0);

  const auto files_only = ListDirectory(Pattern("*.*"), ListKind::kFilesOnly);
  std::vector<std::string> file_names;
  for (const FileEntry& e : files_only) file_names.push_back(e.name);
  std::sort(file_names.begin(), file_names.end());
  EXPECT_EQ(file_names, (std::vector<std::string>{".hidden", "loose.txt"}));
}

TEST_F(DirectoryTest, MissingDirectoryAndReadOnlyFiles) {
  EXPECT_TRUE(ListDirectory(Pattern("999/msg/*.wav"), ListKind::kFilesOnly).empty());
  EXPECT_TRUE(ListDirectory("/nonexistent-vm-dir/*.*", ListKind::kFilesAndDirectories).empty());
  Write("ro.wav", 2);
  ASSERT_EQ(chmod((root_ / "ro.wav").c_str(), 0444), 0);
  const auto files = ListDirectory(Pattern("*.wav"), ListKind::kFilesOnly);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].attrib & kAttrReadOnly, 0);
}

TEST_F(DirectoryTest, LinksAndOtherNonFilesAreNeverListedButNamed) {
  Write("msg/real.wav", 3);
  const fs::path outside = root_ / "secret.txt";
  std::ofstream(outside) << "secret";
  fs::create_symlink(outside, root_ / "msg/evil.wav");
  fs::create_symlink(root_ / "msg/real.wav", root_ / "msg/again.wav");
  fs::create_symlink(root_ / "nowhere", root_ / "msg/dangling.wav");
  ASSERT_EQ(mkfifo((root_ / "msg/pipe.wav").c_str(), 0600), 0);
  fs::create_directories(root_ / "msg/dir.wav");
  fs::create_directory_symlink(root_ / "msg/dir.wav", root_ / "msg/dirlink.wav");

  std::vector<PassedOver> passed;
  const auto files = ListDirectory(Pattern("msg/*.wav"), ListKind::kFilesOnly, &passed);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "real.wav");
  struct stat st;
  ASSERT_EQ(stat((root_ / "msg/real.wav").c_str(), &st), 0);
  EXPECT_EQ(files[0].inode, static_cast<uint64_t>(st.st_ino));
  EXPECT_EQ(files[0].device, static_cast<uint64_t>(st.st_dev));
  std::vector<std::string> said;
  for (const PassedOver& p : passed) said.push_back(p.name + ": " + p.why);
  std::sort(said.begin(), said.end());
  EXPECT_EQ(said,
            (std::vector<std::string>{"again.wav: a symbolic link", "dangling.wav: a symbolic link",
                                      "dirlink.wav: a symbolic link", "evil.wav: a symbolic link",
                                      "pipe.wav: not a regular file"}));
  // With directories asked for, a real one is listed and a link to one is not.
  std::vector<std::string> names;
  for (const FileEntry& e : ListDirectory(Pattern("msg/*"), ListKind::kFilesAndDirectories))
    names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "dir.wav", "real.wav"}));
}

}  // namespace
}  // namespace vm::runtime
