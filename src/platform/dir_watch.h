// Watching directories for changes to their entries (Linux inotify): a file
// closed after writing, a name moved in or out, made or removed. The tree
// watcher of the gateway owns one and reads it on its own thread; Wake may be
// called from any thread. An interface, so that tests put lost events and
// refused watches in place of the kernel's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace vm::platform {

struct DirEvent {
  enum class Kind {
    kClosedAfterWriting,  // a file opened for writing was closed
    kMovedIn,             // a name was renamed into the directory
    kMade,                // a name was made
    kChanged,             // written, removed, moved out, attributes changed
    kGone,                // the directory itself is no longer watched (removed)
    kOverflow,            // events were lost: the watch's queue overflowed
  };
  Kind kind = Kind::kChanged;
  int watch = -1;  // the watch of the directory (-1 for kOverflow)
  std::string name;
  bool is_directory = false;
};

class DirWatch {
 public:
  virtual ~DirWatch() = default;
  // Watches the entries of `dir` (a link to a directory is not followed).
  // Fails when the directory is gone or the system's limit of watches is
  // reached (the message says which).
  virtual Result<int> Add(const std::string& dir) = 0;
  virtual void Remove(int watch) = 0;
  // The events that came within `timeout_ms` (-1: no limit); an empty list
  // when the time ran out or Wake was called.
  virtual Result<std::vector<DirEvent>> Wait(int timeout_ms) = 0;
  // Ends a Wait of another thread early.
  virtual void Wake() = 0;
};

// The kernel's watch (inotify); fails when the system refuses one.
Result<std::unique_ptr<DirWatch>> OpenDirWatch();

// Whether a watch of `dir` may miss changes to its entries: true on a
// network or user-space file system (changes made by another machine or
// behind the kernel's back send no event), and when the file system cannot
// be told; false on a local one.
bool MayMissChanges(const std::string& dir);

}  // namespace vm::platform
