#include "cli_test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "spawn_program.h"

namespace vm::cli::testing {

using app::testing::BinaryPath;
using app::testing::ReadFileBytes;
using app::testing::RunCommand;

Outcome RunProgram(const std::vector<std::string>& args, const std::string& input) {
  char dir_pattern[] = "/tmp/vm_cli_run_XXXXXX";
  Outcome outcome;
  if (::mkdtemp(dir_pattern) == nullptr) return outcome;
  const std::filesystem::path dir = dir_pattern;
  std::ofstream(dir / "in", std::ios::binary) << input;
  std::vector<std::string> argv = {BinaryPath("voicemail-mailer")};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = test_process::SpawnProgram(
      argv, test_process::SpawnOptions().Input(dir / "in").Output(dir / "out").Errors(dir / "err"));
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.out = ReadFileBytes(dir / "out");
  outcome.err = ReadFileBytes(dir / "err");
  std::filesystem::remove_all(dir);
  return outcome;
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.is_regular_file()) files[e.path().filename().string()] = ReadFileBytes(e.path());
  }
  return files;
}

std::string CheckTables(const std::string& dir) {
  std::string problems;
  for (const char* file : {"CONTROL.KFS", "MAILBOXE.KFS", "PROCESSE.KFS"}) {
    const std::string path = dir + "/" + file;
    if (!std::filesystem::exists(path)) continue;
    int status = -1;
    const std::string out =
        RunCommand("'" + BinaryPath("tools/kfs/kfs") + "' check '" + path + "'", &status);
    if (status != 0) problems += std::string(file) + ": " + out;
  }
  return problems;
}

}  // namespace vm::cli::testing
