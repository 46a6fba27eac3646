// Runs one benchmark case in a child process, so that the peak memory it
// reports is the case's own and not what earlier cases left in the parent.
// Header-only, for the benchmark programs; call from their main thread.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace vm::bench {

struct ChildResult {
  double value = -1;  // what the work returned
  long max_rss_kib = -1;
};

// Runs `work` in a child process: its result and its own peak resident set.
// On a failed fork or pipe the result keeps its -1 values.
inline ChildResult InChild(double (*work)(const std::filesystem::path&),
                           const std::filesystem::path& root) {
  ChildResult out;
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) return out;
  const pid_t pid = fork();
  if (pid < 0) return out;
  if (pid == 0) {
    close(fds[0]);
    ChildResult r;
    r.value = work(root);
    std::fflush(stdout);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    r.max_rss_kib = u.ru_maxrss;
    if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  if (read(fds[0], &out, sizeof out) != static_cast<ssize_t>(sizeof out)) out = ChildResult{};
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

}  // namespace vm::bench
