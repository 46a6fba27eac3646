// Replaces a small file's whole contents so that a reader, or a kill at any
// moment, sees either the old file or the new one, never half of either.
// Used for settings, the credentials file, INI documents and status files.
// Safe from any thread (no shared state); two writers of one path: last wins.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

#include "platform/status.h"

namespace vm::platform {

// Writes `data` to a new file made with mkstemp beside `path` (O_EXCL, so a
// planted name or link is never followed), gives it `mode`, flushes it, renames
// it over `path` and flushes the directory. On failure `path` is unchanged and
// the temporary file is gone.
Status ReplaceFile(const std::filesystem::path& path, std::string_view data, mode_t mode = 0600);

}  // namespace vm::platform
