// Starting another program from a test, with posix_spawn. A test process
// may run threads (the networking runtime's); a child forked from it could
// inherit a lock one of them held at that instant (the allocator's, say) and
// wait on it for ever at its first allocation. So no test runs its own code
// between fork and exec: the file actions here set the child's standard
// streams and its environment is built before it starts. Any thread may
// call SpawnProgram.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vm::test_process {

// Set by chained calls: SpawnOptions().Output(log).Errors(log).
struct SpawnOptions {
  std::string stdin_path;   // standard input from this file; "" keeps the test's
  std::string stdout_path;  // standard output to this file, created or emptied; "" keeps the test's
  std::string stderr_path;  // likewise; the path of stdout_path shares that file
  int stdin_fd = -1;        // standard input from this descriptor instead (a pipe's end)
  int stdout_fd = -1;       // standard output to this descriptor instead
  std::vector<std::pair<std::string, std::string>> set_env;  // added, or replacing the test's
  std::vector<std::string> unset_env;                        // left out

  SpawnOptions& Input(const std::string& path) { return stdin_path = path, *this; }
  SpawnOptions& InputFrom(int fd) { return stdin_fd = fd, *this; }
  SpawnOptions& Output(const std::string& path) { return stdout_path = path, *this; }
  SpawnOptions& OutputTo(int fd) { return stdout_fd = fd, *this; }
  SpawnOptions& Errors(const std::string& path) { return stderr_path = path, *this; }
  SpawnOptions& Set(const std::string& name, const std::string& value) {
    set_env.emplace_back(name, value);
    return *this;
  }
  SpawnOptions& Unset(const std::string& name) {
    unset_env.push_back(name);
    return *this;
  }
};

// The test's environment with `o`'s changes, as NAME=VALUE strings.
inline std::vector<std::string> ChildEnvironment(const SpawnOptions& o) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = std::find(o.unset_env.begin(), o.unset_env.end(), name) != o.unset_env.end();
    for (const auto& set : o.set_env) drop = drop || set.first == name;
    if (!drop) env.push_back(entry);
  }
  for (const auto& [name, value] : o.set_env) env.push_back(name + "=" + value);
  return env;
}

// Starts the program argv[0] with `argv`; its process id, or -1 (and a test
// failure) when it could not start.
inline pid_t SpawnProgram(std::vector<std::string> argv, const SpawnOptions& o = {}) {
  std::vector<std::string> env = ChildEnvironment(o);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!o.stdin_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, o.stdin_path.c_str(), O_RDONLY, 0);
  } else if (o.stdin_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, o.stdin_fd, 0);
  }
  if (!o.stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, o.stdout_path.c_str(), kCreate, 0600);
  } else if (o.stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, o.stdout_fd, 1);
  }
  if (!o.stderr_path.empty() && o.stderr_path == o.stdout_path) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else if (!o.stderr_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, o.stderr_path.c_str(), kCreate, 0600);
  }
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "could not start " << argv[0] << ": " << std::strerror(rc);
    return -1;
  }
  return pid;
}

// The exit status of child `pid`; -1 when it did not exit normally (or no
// child was started); -2 when it had not ended after `limit`, and was killed.
inline int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  if (pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vm::test_process
