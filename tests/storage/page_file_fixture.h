// Helpers for tests of table files on disk: a temporary file, a file that
// fails or "crashes" after a number of writes, and whole-file row operations
// through the tree. Test threads only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/tree/tree_file.h"

namespace vm::storage::testing {

using Rows = std::map<std::string, std::string>;

// A fresh directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A fresh directory holding the path TEST.KFS; removed with its contents.
class TempFile {
 public:
  TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
};

// Opens files whose writes stop after `budget_` writes (shared by every file
// it opens): with `crash_` the later writes vanish silently, as when the
// machine dies, otherwise they fail.
class FaultyEnv : public platform::EnvWrapper {
 public:
  FaultyEnv(int budget, bool crash);
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override;
  int budget_;
  bool crash_;
};

std::unique_ptr<TreeFile> OpenFile(const std::string& path,
                                   platform::Env* env = platform::Env::Default(),
                                   platform::Share share = platform::Share::kDenyNone);
// Puts and deletes records in one committed operation.
Status Apply(TreeFile* f, const Rows& puts, const std::vector<std::string>& deletes);
// Every record of the file but the tree's empty first one.
Status ReadAll(TreeFile* f, Rows* rows, bool changing = false);
// Rows k<from>..k<to-1> of varied lengths, their data starting with `tag`.
Rows MakeRows(int from, int to, const std::string& tag);

}  // namespace vm::storage::testing
