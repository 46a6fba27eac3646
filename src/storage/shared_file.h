// The physical file object: every table handle of the process that names the
// same file (compared without regard to case) shares one open PageFile, kept
// in a process-wide list while a handle, or the transaction, holds it. Owner
// thread only (the runtime's program thread).
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"
#include "storage/page_file.h"

namespace vm::storage {

struct SharedFile {
  std::unique_ptr<PageFile> file;
  bool writable = false;
};

// Finds the open file `path` or opens it (creating it when `create`), with
// the sharing of `access` (the OPEN access mode). A file first opened for
// reading cannot serve a handle that writes: 5. A pending journal of the
// file is checked against its transaction control file. A non-empty owner
// `password` enciphers the file (it applies from the file's first opener).
Status AcquireSharedFile(platform::Env* env, const std::string& path, int access, bool create,
                         std::shared_ptr<SharedFile>* out, const std::string& password = "");

}  // namespace vm::storage
