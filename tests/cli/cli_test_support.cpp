#include "cli_test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open((dir / "in").c_str(), O_RDONLY);
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<std::string> all = {BinaryPath("voicemail-mailer")};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
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
