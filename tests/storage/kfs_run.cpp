#include "storage/kfs_run.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

namespace vm::storage::testing {

ToolRun Kfs(const std::string& args) {
  const char* bin = std::getenv("VM_BINARY_DIR");
  ToolRun r;
  if (bin == nullptr) {
    ADD_FAILURE() << "VM_BINARY_DIR is not set";
    return r;
  }
  const std::string command = std::string(bin) + "/tools/kfs/kfs " + args + " 2>&1";
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = ::pclose(p);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  return r;
}

void ExpectSoundFile(const std::string& path) {
  const ToolRun check = Kfs("check '" + path + "'");
  EXPECT_EQ(check.exit_code, 0) << "kfs check " << path << ":\n" << check.out;
}

}  // namespace vm::storage::testing
