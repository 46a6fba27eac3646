// Composes a message with a 50 MB attachment (SendMail mode 2: MIME text,
// base64 of the file read record by record, and the queued copy) and runs
// coreutils base64 over the same file in the same run. Prints the throughput
// of both, their ratio and the peak memory of each. Every measurement runs
// in a child process of its own so its peak resident size is its own.
// Targets: at least half of coreutils' throughput; peak memory at most three
// times the attachment's size.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mail/net_email_send.h"

namespace {

constexpr size_t kAttachmentBytes = 50u * 1024 * 1024;
constexpr int kRuns = 3;

struct Run {
  double seconds = 0;
  double peak_mb = 0;  // peak resident size of the process
  bool ok = false;
};

void WriteAttachment(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  uint32_t x = 2463534242u;
  for (size_t done = 0; done < kAttachmentBytes; done += block.size()) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

Run CoreutilsBase64(const std::string& path) {
  Run r;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    execlp("base64", "base64", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  r.seconds = Seconds(start, std::chrono::steady_clock::now());
  r.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

Run Compose(const std::string& path) {
  Run r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    double seconds = -1;
    {
      vm::mail::NetEmailSend m;
      m.SUPPRESSERRORMSG = 1;
      m.Init();
      m.SERVER = "127.0.0.1";
      m.TOLIST = "bob@example.com";
      m.FROM = "Voice Mail <vm@example.com>";
      m.SUBJECT = "New voice message";
      const std::string body = "You have a new voice message.";
      m.SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
      m.SetMessageText(body);
      m.ATTACHMENTLIST = path;
      const auto start = std::chrono::steady_clock::now();
      // No networking runtime: the message is composed and queued, then the
      // open fails and the queue is dropped.
      m.SendMail(2);
      seconds = Seconds(start, std::chrono::steady_clock::now());
      if (m.WHOLEMESSAGELEN < static_cast<int32_t>(kAttachmentBytes)) seconds = -1;
      m.Kill();
    }
    if (write(fds[1], &seconds, sizeof seconds) != sizeof seconds) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  double seconds = -1;
  const bool got = read(fds[0], &seconds, sizeof seconds) == sizeof seconds;
  close(fds[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  r.seconds = seconds;
  r.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.ok = got && seconds > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

template <typename F>
Run Best(F f) {
  Run best;
  for (int i = 0; i < kRuns; ++i) {
    Run r = f();
    if (!r.ok) return r;
    if (!best.ok || r.seconds < best.seconds) best = r;
  }
  return best;
}

}  // namespace

int main() {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vm_bench_mail_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "attachment.wav").string();
  WriteAttachment(path);
  const double mb = static_cast<double>(kAttachmentBytes) / 1e6;

  const Run core = Best([&] { return CoreutilsBase64(path); });
  const Run ours = Best([&] { return Compose(path); });
  std::filesystem::remove_all(dir);
  if (!core.ok || !ours.ok) {
    std::printf("bench mail: a run failed (coreutils %s, compose %s)\n", core.ok ? "ok" : "failed",
                ours.ok ? "ok" : "failed");
    return 1;
  }
  const double core_rate = mb / core.seconds;
  const double our_rate = mb / ours.seconds;
  const double ratio = our_rate / core_rate;
  const double mem_ratio = ours.peak_mb * 1024 * 1024 / static_cast<double>(kAttachmentBytes);
  std::printf("attachment: %zu bytes (%.1f MB), best of %d runs each\n", kAttachmentBytes, mb,
              kRuns);
  std::printf("coreutils base64        : %7.3f s  %8.1f MB/s  peak %7.1f MiB\n", core.seconds,
              core_rate, core.peak_mb);
  std::printf("NetEmailSend SendMail(2): %7.3f s  %8.1f MB/s  peak %7.1f MiB\n", ours.seconds,
              our_rate, ours.peak_mb);
  std::printf("throughput ratio (compose / coreutils): %.2f  (target >= 0.50) %s\n", ratio,
              ratio >= 0.5 ? "met" : "NOT MET");
  std::printf("peak memory / attachment size: %.2fx  (target <= 3.00x) %s\n", mem_ratio,
              mem_ratio <= 3.0 ? "met" : "NOT MET");
  return 0;
}
