// Reading a directory: one entry per name in the order the file system hands
// them out (readdir order, "." and ".." included), each with its stat data as
// the name itself has it: a symbolic link is reported as a link, never as
// what it points to.
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
  bool is_regular = false;  // an ordinary file (a link to one is not)
  bool is_link = false;     // a symbolic link, whatever it points to
  uint64_t device = 0;      // with inode, the file's identity
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_seconds = 0;  // last write, Unix time
  long mtime_nanoseconds = 0;
  uint32_t mode = 0;            // st_mode
  bool owner_writable = false;  // the owner may write it (no read-only attribute)
};

// Lists `dir`. Names whose stat fails (removed meanwhile) are left out. A missing directory gives
// kNotFound; other failures kIoError or kAccessDenied.
Result<std::vector<DirEntry>> ListDirectory(const std::string& dir);

}  // namespace vm::platform
