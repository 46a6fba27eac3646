#include "kfs_common.h"

#include <cctype>
#include <cstdio>

#include "storage/driver/kfs_ops.h"
#include "storage/table/record_keys.h"

namespace vm::storage::kfs {

std::string Describe(const Status& s) {
  if (s.internal() != 0) {
    return std::string(KfsErrorText(kErrFileSystem)) + " (" + std::string(kCorruptionText) + ", " +
           std::to_string(s.internal()) + ")";
  }
  std::string text(KfsErrorText(s.code()));
  return (text.empty() ? "error" : text) + " (" + std::to_string(s.code()) + ")";
}

int Fail(const std::string& what, const Status& s) {
  std::fprintf(stderr, "kfs: %s: %s\n", what.c_str(), Describe(s).c_str());
  return s.internal() != 0 || s.code() == kErrInvalidDataFile ? kExitDamaged : kExitUsage;
}

int Complain(const std::string& message, int exit_code) {
  std::fprintf(stderr, "kfs: %s\n", message.c_str());
  return exit_code;
}

namespace {

Status Open(const std::string& path, platform::Access access, bool create,
            std::unique_ptr<TreeFile>* out) {
  TreeFile::Options o;
  o.access = access;
  o.share = platform::Share::kDenyNone;
  o.create = create;
  return TreeFile::Open(platform::Env::Default(), path, o, out);
}

}  // namespace

Status OpenForReading(const std::string& path, std::unique_ptr<TreeFile>* out) {
  return Open(path, platform::Access::kRead, false, out);
}

Status OpenForWriting(const std::string& path, bool create, std::unique_ptr<TreeFile>* out) {
  return Open(path, platform::Access::kReadWrite, create, out);
}

Status ListTables(TreeFile& file, std::map<std::string, uint32_t>* tables) {
  if (file.header().root < 0) return Status::Ok();
  RecordTree& tree = file.tree();
  const std::string prefix = TableNameKey("");
  Record r;
  bool found = false;
  Status s = tree.Seek(prefix, &r, &found);
  while (s.ok() && found && r.key.compare(0, prefix.size(), prefix) == 0) {
    (*tables)[r.key.substr(prefix.size())] = r.data.size() == 4 ? DecodeNumber(r.data) : 0;
    const std::string key = r.key;
    s = tree.Next(key, &r, &found);
  }
  return s;
}

Status CutToData(TreeFile& file) {
  Status s = file.Begin(true);
  if (s.ok()) s = file.TruncateToData();
  file.EndRead();
  return s;
}

uint64_t FileSize(TreeFile& file) {
  auto size = file.file()->Size();
  return size.ok() ? *size : 0;
}

bool IsEmptyFile(TreeFile& file) {
  auto size = file.file()->Size();
  return size.ok() && *size == 0;
}

int EmptyFile(const std::string& path, int exit_code) {
  return Complain(path + ": an empty file (0 bytes), not a table file", exit_code);
}

namespace {

std::string WithDefaultExtension(std::string file) {
  const size_t slash = file.find_last_of('/');
  const size_t dot = file.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) file += ".KFS";
  return file;
}

}  // namespace

std::string TableArgument(const std::string& arg) {
  const size_t bang = arg.rfind('!');
  if (bang == std::string::npos || arg.find("\\!") != std::string::npos) return arg;
  platform::Env* env = platform::Env::Default();
  const std::string file = arg.substr(0, bang);
  if (env->FileExists(arg) || env->FileExists(WithDefaultExtension(arg)) ||
      !env->FileExists(WithDefaultExtension(file)))
    return arg;
  return file + "\\!" + arg.substr(bang + 1);
}

}  // namespace vm::storage::kfs
