// The physical file object: every table handle of the process whose name
// leads to the same file (same device and inode) shares one open PageFile,
// kept in a process-wide list while a handle, or the transaction, holds it.
// AcquireSharedFile may be called from any thread; everything else in a
// SharedFile is reached only with its `mu` held (see below).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/file.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {

// Threads: `mu` guards `file` (its header, page cache, uncommitted pages and
// byte locks) and `byte_holds`. A statement of a table handle holds it from
// its first to its last touch of the file, so the operations of threads using
// one file run one after the other. Only the transaction's COMMIT and
// ROLLBACK hold several file mutexes at once, taken in address order; a
// statement holds one. A thread never waits for another process's byte lock
// with `mu` held where a sibling thread may need `mu` to let that process on
// (holds and table locks release it between their attempts).
struct SharedFile {
  std::unique_ptr<TreeFile> file;
  bool writable = false;
  std::mutex mu;
  // Row and table lock bytes (0x80000401 + number) the handles of this
  // process hold, counted: handles of one process share the file's locks,
  // so they do not keep each other out; the byte is unlocked with its last
  // holder.
  std::map<uint64_t, int> byte_holds;

  // Takes `byte` once for this process (at once when a handle of the process
  // holds it already); false when another process holds it. REQUIRES: mu.
  bool TryLockByte(uint64_t byte);
  // Lets go of one hold of `byte`. REQUIRES: mu.
  void UnlockByte(uint64_t byte);
};

// Finds the open file `path` or opens it (creating it when `create`), with
// the sharing of `access` (the OPEN access mode). A file first opened for
// reading cannot serve a handle that writes: 5. A pending journal of the
// file is checked against its transaction control file. A non-empty owner
// `password` enciphers the file (it applies from the file's first opener).
// Errors that come from the system carry the path and the cause as text.
Status AcquireSharedFile(platform::Env* env, const std::string& path, int access, bool create,
                         std::shared_ptr<SharedFile>* out, const std::string& password = "");

}  // namespace vm::storage
