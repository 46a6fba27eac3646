// Appending bytes to a file in one write (O_APPEND), creating it when
// missing, so that lines of several processes never interleave. Safe from
// any thread.
#pragma once

#include <string>
#include <string_view>

namespace vm::platform {

// False when the file cannot be opened or written.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace vm::platform
