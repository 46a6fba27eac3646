// A directory under /tmp made for one test and removed with everything in it
// when the object goes out of scope. Owner thread only.
#pragma once

#include <filesystem>
#include <string>

namespace vm::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace vm::testing
