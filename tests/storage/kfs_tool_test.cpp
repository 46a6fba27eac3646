// The kfs tool run as a program on sound, inconsistent and damaged files.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "storage/gateway_tables.h"
#include "storage/page_file.h"
#include "storage/record_keys.h"

namespace vm::storage {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vm-kfs-tool-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(dir_); }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
};

struct ToolRun {
  int exit_code = -1;
  std::string out;  // stdout and stderr together
};

ToolRun Kfs(const std::string& args) {
  const char* bin = std::getenv("VM_BINARY_DIR");
  ToolRun r;
  if (bin == nullptr) {
    ADD_FAILURE() << "VM_BINARY_DIR is not set";
    return r;
  }
  const std::string command = std::string(bin) + "/tools/kfs/kfs " + args + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = ::pclose(p);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  return r;
}

// A ProcessedFiles table of `rows` rows in dir/PROCESSE.KFS.
void MakeTable(const std::string& dir, int rows) {
  auto t = DeclareProcessedFiles(dir);
  ASSERT_EQ(t->Create(), 0);
  ASSERT_EQ(t->Open(), 0);
  for (int i = 0; i < rows; ++i) {
    std::vector<char>& b = t->buffer();
    std::fill(b.begin(), b.end(), ' ');
    const std::string name = "rec" + std::to_string(i) + ".wav";
    std::memcpy(b.data() + processed::kFileName, name.data(), name.size());
    b[processed::kProcessed] = static_cast<char>(i % 2);
    const int16_t box = static_cast<int16_t>(100 + i);
    std::memcpy(b.data() + processed::kMailbox, &box, 2);
    ASSERT_EQ(t->Add(), 0);
  }
  ASSERT_EQ(t->Close(), 0);
}

TEST(KfsToolTest, SoundFileInfoDumpAndCheck) {
  TempDir dir;
  MakeTable(dir.path(), 300);
  const std::string file = ProcessedFilesFile(dir.path());
  ToolRun info = Kfs("info " + file);
  EXPECT_EQ(info.exit_code, 0) << info.out;
  EXPECT_NE(info.out.find("table UNNAMED: number"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("record length 906, 300 rows, 2 keys"), std::string::npos) << info.out;

  ToolRun schema = Kfs("dump " + file + " --schema");
  EXPECT_EQ(schema.exit_code, 0) << schema.out;
  EXPECT_NE(schema.out.find("PRO:FILENAMEKEY"), std::string::npos);
  EXPECT_NE(schema.out.find("attributes 7: +PRO:PROCESSED"), std::string::npos) << schema.out;

  ToolRun dump = Kfs("dump " + file);
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_NE(dump.out.find("PRO:FILENAME=\"rec0.wav\""), std::string::npos);
  EXPECT_NE(dump.out.find("PRO:MAILBOX=399"), std::string::npos);
  // Record order: rec0 before rec10; name order: rec10 before rec2.
  EXPECT_LT(dump.out.find("\"rec2.wav\""), dump.out.find("\"rec10.wav\""));
  ToolRun by_key = Kfs("dump '" + file + "\\!UNNAMED' --key pro:filenamekey");
  EXPECT_EQ(by_key.exit_code, 0) << by_key.out;
  EXPECT_GT(by_key.out.find("\"rec2.wav\""), by_key.out.find("\"rec10.wav\""));
  ToolRun processed = Kfs("dump " + file + " --key PRO:PROCESSEDKEYCONTROL");
  EXPECT_EQ(processed.exit_code, 0);
  EXPECT_EQ(processed.out.find("\"rec0.wav\""), std::string::npos);
  EXPECT_NE(processed.out.find("\"rec1.wav\""), std::string::npos);
  EXPECT_EQ(Kfs("dump " + file + " --key NOSUCHKEY").exit_code, 2);
  EXPECT_EQ(Kfs("dump '" + file + "\\!OTHER'").exit_code, 2);

  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("300 rows, 2 keys: sound"), std::string::npos) << check.out;
}

TEST(KfsToolTest, UsageAndMissingFiles) {
  ToolRun help = Kfs("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("usage: kfs info FILE"), std::string::npos);
  EXPECT_EQ(Kfs("").exit_code, 2);
  EXPECT_EQ(Kfs("frobnicate x").exit_code, 2);
  ToolRun missing = Kfs("check /nonexistent/NOFILE.KFS");
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.out.find("File Not Found"), std::string::npos) << missing.out;
  TempDir dir;
  const std::string junk = dir.path() + "/JUNK.KFS";
  std::ofstream(junk) << "not a table file";
  ToolRun bad = Kfs("info " + junk);
  EXPECT_NE(bad.exit_code, 0);
  EXPECT_NE(bad.out.find("Invalid Data File"), std::string::npos) << bad.out;
}

TEST(KfsToolTest, CheckFindsMissingEntriesAndWrongCounts) {
  TempDir dir;
  MakeTable(dir.path(), 50);
  const std::string file = ProcessedFilesFile(dir.path());
  // Take out one key entry and one row record behind the table's back: the
  // tree stays sound, the table does not.
  {
    std::unique_ptr<PageFile> f;
    PageFile::Options o;
    ASSERT_TRUE(PageFile::Open(platform::Env::Default(), file, o, &f).ok());
    ASSERT_TRUE(f->Begin(true).ok());
    Record r;
    bool found = false;
    std::string name;
    ASSERT_TRUE(f->tree().Get(TableNameKey("UNNAMED"), &name, &found).ok());
    ASSERT_TRUE(found);
    const uint32_t table = DecodeNumber(name);
    ASSERT_TRUE(f->tree().Seek(KeyPrefix(table, 0), &r, &found).ok());
    ASSERT_TRUE(found);
    ASSERT_TRUE(f->tree().Delete(r.key, &found).ok());
    ASSERT_TRUE(f->tree().Seek(RowPrefix(table), &r, &found).ok());
    ASSERT_TRUE(found);
    const std::string last_row = RowKey(table, DecodeNumber(r.key.substr(r.key.size() - 4)) + 10);
    ASSERT_TRUE(f->tree().Delete(last_row, &found).ok());
    ASSERT_TRUE(found);
    ASSERT_TRUE(f->Commit().ok());
  }
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 1) << check.out;
  EXPECT_NE(check.out.find("statistics say 50 rows, the table holds 49"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("PRO:FILENAMEKEY: 1 entries name missing rows"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("PRO:FILENAMEKEY: 1 rows have no entry"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("DAMAGED"), std::string::npos);
}

TEST(KfsToolTest, CheckRejectsDamagedPages) {
  TempDir dir;
  MakeTable(dir.path(), 300);
  const std::string file = ProcessedFilesFile(dir.path());
  std::string bytes;
  {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(bytes.size(), 8192u);
  // Scribble over the second half of the pages.
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
  ToolRun check = Kfs("check " + file);
  EXPECT_EQ(check.exit_code, 1) << check.out;
  EXPECT_NE(check.out.find("DAMAGED"), std::string::npos) << check.out;
  // A file cut short of its data.
  std::filesystem::resize_file(file, 512 + 256);
  ToolRun cut = Kfs("check " + file);
  EXPECT_NE(cut.exit_code, 0) << cut.out;
}

}  // namespace
}  // namespace vm::storage
