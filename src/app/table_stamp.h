// Whether a table file changed since it was last read whole: its header,
// read without the engine's locks, as a stamp. Every commit moves the
// header's change counter, so the same stamp means the same rows. A pass
// uses it to keep the mailbox list between passes. Any thread.
#pragma once

#include <string>

#include "platform/file.h"

namespace vm::app {

// The committed state of the table file at `path`, as an opaque value that
// changes with every commit; "" when it cannot be told (no file, no header
// of a table file, a commit in progress or left pending), when the caller
// reads the table anyway.
std::string TableFileStamp(platform::Env& env, const std::string& path);

}  // namespace vm::app
