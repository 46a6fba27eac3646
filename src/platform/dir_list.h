// Reading a directory: one entry per name in the order the file system hands
// them out (readdir order, "." and ".." included), each with its stat data.
// The runtime's directory listing builds on this. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace vm::platform {

struct DirEntry {
  std::string name;  // bare name, no directory part
  bool is_directory = false;
  bool is_regular = false;  // an ordinary file (after following symlinks)
  uint64_t size = 0;
  int64_t mtime_seconds = 0;  // last write, Unix time
  long mtime_nanoseconds = 0;
  uint32_t mode = 0;            // st_mode
  bool owner_writable = false;  // the owner may write it (no read-only attribute)
};

// Lists `dir`. Names whose stat fails (removed meanwhile, dangling links) are
// left out. A missing directory gives kNotFound; other failures kIoError or
// kAccessDenied.
Result<std::vector<DirEntry>> ListDirectory(const std::string& dir);

}  // namespace vm::platform
