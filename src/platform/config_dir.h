// Where the program keeps its per-user configuration files (profile.ini,
// registry.ini): $XDG_CONFIG_HOME/voicemail-mailer, else
// ~/.config/voicemail-mailer. Read from the environment at each call, so tests
// point it elsewhere with setenv. Safe from any thread (no setenv racing).
#pragma once

#include <filesystem>

namespace vm::platform {

std::filesystem::path ConfigDir();

}  // namespace vm::platform
