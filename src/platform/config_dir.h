// Where the program keeps its per-user configuration files (profile.ini,
// registry.ini): $XDG_CONFIG_HOME/voicemail-mailer, else
// ~/.config/voicemail-mailer with the home directory from $HOME or the
// password database, never a shared fallback such as /tmp. The folder must be
// the user's own, or another user could plant links or files there. Read from
// the environment at each call, so tests point it elsewhere with setenv. Safe
// from any thread (no setenv racing).
#pragma once

#include <filesystem>

#include "platform/status.h"

namespace vm::platform {

// The folder, or kAccessDenied saying why there is none: no home directory
// at all, a folder that is a link or not a directory, or a folder or parent
// (the directory it lives in) that belongs to another user or that others
// may write in. A folder that does not exist yet is fine.
Result<std::filesystem::path> ConfigDir();

// ConfigDir, made (with its parent when that is missing) with mode 0700 when
// it does not exist, and checked again once it does.
Result<std::filesystem::path> MakeConfigDir();

// Makes every missing directory of `dir` with mode 0700 (existing ones are
// left as they are).
Status MakePrivateDirectories(const std::filesystem::path& dir);

}  // namespace vm::platform
