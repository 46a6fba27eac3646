// Runs the built kfs tool from a test (its folder comes from VM_BINARY_DIR,
// which ctest sets), and checks that files a test leaves are sound. Test
// threads only.
#pragma once

#include <string>

namespace vm::storage::testing {

struct ToolRun {
  int exit_code = -1;
  std::string out;  // stdout and stderr together
};

// Runs "kfs ARGS" through the shell.
ToolRun Kfs(const std::string& args);

// Adds a test failure unless "kfs check PATH" finds the file sound.
void ExpectSoundFile(const std::string& path);

}  // namespace vm::storage::testing
