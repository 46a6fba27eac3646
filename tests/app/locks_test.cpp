// What another local user can do to the program through its files: hold a
// byte-range lock on a table, on the lock file or on a recording (any
// opener of a file can), or read the files it makes. A lock held elsewhere
// ends in a reported error within the lock wait, never in a hang; a
// recording is never locked, so a lock on it changes nothing; the files the
// program makes are its user's only. The program as a user starts it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "app_test_support.h"
#include "spawn_program.h"

namespace vm::app::testing {
namespace {

// Another process that opens `path` for reading only and holds a shared
// lock on every byte of it, the share-mode bytes included, until destroyed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and _exit.
      const int fd = ::open(path.c_str(), O_RDONLY);
      struct flock fl = {};
      fl.l_type = F_RDLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = 0;
      fl.l_len = 0;  // to the end of every possible file
      const char ok = fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) == 0 ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char c = '0';
    locked_ = read(ready[0], &c, 1) == 1 && c == '1';
    close(ready[0]);
  }
  ~LockHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

class LocksTest : public GatewayTest {
 protected:
  // Runs --scan-once (and any `extra` arguments); its exit status, or -2
  // when it had not ended after `limit` (it is then killed).
  int ScanOnce(std::string* out, std::chrono::seconds limit = std::chrono::seconds(60),
               const std::string& extra = "") {
    const std::string log = (root() / "scan.log").string();
    std::vector<std::string> argv = {BinaryPath("voicemail-mailer"), "--scan-once", "--data-dir",
                                     data_dir()};
    if (!extra.empty()) argv.insert(argv.end(), {"--trace-file", extra});
    const int result = test_process::WaitExit(
        test_process::SpawnProgram(argv, test_process::SpawnOptions().Output(log).Errors(log)),
        limit);
    *out = ReadFileBytes(log);
    return result;
  }
};

TEST_F(LocksTest, ALockHeldOnATableEndsInTheReportedStorageErrorNotAHang) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "NO");
  MakeRecording(101, "a.wav", "audio");
  std::string out;
  {
    LockHolder holder(data_dir() + "/CONTROL.KFS");
    ASSERT_TRUE(holder.locked());
    EXPECT_EQ(ScanOnce(&out), 2) << out;
    EXPECT_NE(out.find("File Control could not be opened.  Error: "), std::string::npos) << out;
    EXPECT_TRUE(Log().empty());
  }
  // Once the holder is gone the same pass runs as usual.
  EXPECT_EQ(ScanOnce(&out), 0) << out;
  EXPECT_EQ(server.Messages(1).size(), 1u);
}

TEST_F(LocksTest, ALockHeldOnTheLockFileEndsInAMessageNotAHang) {
  WriteSettings(25);
  std::ofstream(data_dir() + "/voicemail-mailer.lock") << "";
  LockHolder holder(data_dir() + "/voicemail-mailer.lock");
  ASSERT_TRUE(holder.locked());
  std::string out;
  EXPECT_EQ(ScanOnce(&out), 2) << out;
  EXPECT_NE(out.find("voicemail-mailer.lock"), std::string::npos) << out;
}

TEST_F(LocksTest, ALockHeldOnARecordingChangesNothing) {
  SmtpSink server(root() / "received");
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  AddMailbox(101, "alice@example.com", "", "YES", "YES");
  const std::string rec = MakeRecording(101, "held.wav", "audio held by someone else");
  LockHolder holder(rec);
  ASSERT_TRUE(holder.locked());
  std::string out;
  EXPECT_EQ(ScanOnce(&out), 0) << out;
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].error, "Nil");
  const auto messages = server.Messages(1);
  ASSERT_EQ(messages.size(), 1u);
  bool attached = false;
  for (const std::string& l : DumpMail(messages[0]))
    attached = attached || l == "attachment held.wav 26 " + Sha256OfFile(rec);
  EXPECT_TRUE(attached);
}

TEST_F(LocksTest, FilesTheProgramMakesAreItsUsersOnly) {
  const mode_t before = umask(022);
  std::string out;
  const std::string trace = (root() / "trace.log").string();
  // The program makes every file itself: the settings record by its command,
  // the other tables, the lock and the status file by a pass.
  int status = -1;
  out = RunCommand("'" + BinaryPath("voicemail-mailer") + "' settings set --data-dir '" +
                       data_dir() + "' server=127.0.0.1 port=25 from=vm@example.com helo-name=vm",
                   &status);
  EXPECT_EQ(status, 0) << out;
  ScanOnce(&out, std::chrono::seconds(60), trace);
  umask(before);
  for (const std::string& name :
       {data_dir() + "/CONTROL.KFS", data_dir() + "/MAILBOXE.KFS", data_dir() + "/PROCESSE.KFS",
        data_dir() + "/voicemail-mailer.lock", data_dir() + "/voicemail-mailer.status",
        data_dir() + "/voicemail-mailer.conf", trace}) {
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0) << name << ": " << out;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

}  // namespace
}  // namespace vm::app::testing
