// A directory's stamp: which directory a path names (device and inode) and
// when its entries last changed, with the time the stamp was taken, so that a
// caller remembering the stamp can tell a change made within the file
// system's clock granularity of the stamp from an older one. Any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace vm::platform {

struct DirStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t mtime_ns = 0;  // last change of the entries, Unix time in nanoseconds
  int64_t taken_ns = 0;  // the system's real-time clock when the stamp was taken

  // The same directory, unchanged since `other` was taken.
  bool SameAs(const DirStamp& other) const {
    return device == other.device && inode == other.inode && mtime_ns == other.mtime_ns;
  }
};

// The stamp of the directory `path` names (a link to one is followed, as
// listing it would). kNotFound when nothing is there; a file that is no
// directory is kNotFound too.
Result<DirStamp> StampDirectory(const std::string& path);

}  // namespace vm::platform
