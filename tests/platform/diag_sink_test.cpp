// Diagnostic sinks: whole lines from many threads, swapping sinks, file
// output, and the priority prefixes standard error carries when it is the
// journal (and only then).
#include "platform/diag_sink.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vm::platform {
namespace {

TEST(DiagSink, LinesFromManyThreadsArriveWholeAndComplete) {
  auto sink = std::make_shared<MemorySink>();
  ScopedDiagSink scope(sink);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i)
        DiagWrite("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  auto lines = sink->Lines();
  ASSERT_EQ(lines.size(), 4000u);
  std::vector<int> next(8, 0);
  for (const std::string& l : lines) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d", &t, &i), 2) << l;
    EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
  }
}

TEST(DiagSink, ScopedSinkRestoresThePreviousOne) {
  auto outer = std::make_shared<MemorySink>();
  ScopedDiagSink a(outer);
  {
    auto inner = std::make_shared<MemorySink>();
    ScopedDiagSink b(inner);
    DiagWrite("inner");
    EXPECT_EQ(inner->Lines().size(), 1u);
  }
  DiagWrite("outer");
  ASSERT_EQ(outer->Lines().size(), 1u);
  EXPECT_EQ(outer->Lines()[0], "outer");
  SetDiagSink(nullptr);
  DiagWrite("dropped");  // a null sink discards, never crashes
  SetDiagSink(outer);
  EXPECT_EQ(outer->Lines().size(), 1u);
}

TEST(DiagSink, FileSinkAppends) {
  vm::testing::TempDir dir;
  std::string path = dir.File("trace.log");
  {
    auto f = FileSink::Open(path);
    ASSERT_NE(f, nullptr);
    ScopedDiagSink scope(f);
    DiagWrite("[NetDLL]  first");
  }
  {
    ScopedDiagSink scope(FileSink::Open(path));
    DiagWrite("second");
  }
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "[NetDLL]  first\nsecond\n");
  EXPECT_EQ(FileSink::Open(dir.File("no/such/dir/x.log")), nullptr);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// "DEVICE:INODE" of a file, as systemd writes JOURNAL_STREAM.
std::string StreamId(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

TEST(DiagSink, JournalStreamMustNameTheVeryFile) {
  vm::testing::TempDir dir;
  const std::string path = dir.File("stream");
  const std::string other = dir.File("other");
  std::ofstream(path) << "";
  std::ofstream(other) << "";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(::fstat(fd, &st), 0);
  const std::string dev = std::to_string(st.st_dev);
  const std::string ino = std::to_string(st.st_ino);

  EXPECT_TRUE(IsJournalStream(fd, (dev + ":" + ino).c_str()));
  EXPECT_FALSE(IsJournalStream(fd, StreamId(other).c_str())) << "another file of the same device";
  EXPECT_FALSE(IsJournalStream(fd, (std::to_string(st.st_dev + 1) + ":" + ino).c_str()));
  for (const std::string& bad :
       {std::string(), dev, dev + ":", ":" + ino, dev + ":" + ino + " ", " " + dev + ":" + ino,
        dev + ":" + ino + ":0", "-" + dev + ":" + ino, dev + ":+" + ino, dev + ":0x" + ino,
        dev + ":" + ino + "0000000000000000000000"})
    EXPECT_FALSE(IsJournalStream(fd, bad.c_str())) << "'" << bad << "'";
  EXPECT_FALSE(IsJournalStream(fd, nullptr));
  ::close(fd);
  EXPECT_FALSE(IsJournalStream(fd, (dev + ":" + ino).c_str())) << "a closed descriptor";
}

// Runs `write` in a child whose standard error is the file `path` and whose
// JOURNAL_STREAM names that file (`journal`) or another stream; a child, so
// the test's own standard error and environment stay as they are.
void WriteFromChild(const std::string& path, bool journal, void (*write)()) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) _exit(3);
    if (journal) {
      ::setenv("JOURNAL_STREAM", StreamId(path).c_str(), 1);
    } else {
      ::setenv("JOURNAL_STREAM", "1:1", 1);  // some other stream
    }
    write();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void WriteEveryPriority() {
  SetDiagSink(std::make_shared<StderrSink>());
  DiagWrite(DiagPriority::kError, "send_mail: failed mailbox 1 file a.wav: 550 no");
  DiagWrite(DiagPriority::kWarning, "a warning <4> in the text");
  DiagWrite("send_mail: sent mailbox 1 file b.wav: Nil");
  StderrWrite(DiagPriority::kError, "voicemail-mailer: cannot start");
}

TEST(DiagSink, StandardErrorCarriesPrioritiesOnlyWhenItIsTheJournal) {
  vm::testing::TempDir dir;
  const std::string journal = dir.File("journal");
  WriteFromChild(journal, true, WriteEveryPriority);
  EXPECT_EQ(ReadAll(journal),
            "<3>send_mail: failed mailbox 1 file a.wav: 550 no\n"
            "<4>a warning <4> in the text\n"
            "<6>send_mail: sent mailbox 1 file b.wav: Nil\n"
            "<3>voicemail-mailer: cannot start\n");

  const std::string plain = dir.File("plain");
  WriteFromChild(plain, false, WriteEveryPriority);
  EXPECT_EQ(ReadAll(plain),
            "send_mail: failed mailbox 1 file a.wav: 550 no\n"
            "a warning <4> in the text\n"
            "send_mail: sent mailbox 1 file b.wav: Nil\n"
            "voicemail-mailer: cannot start\n");
}

TEST(DiagSink, MemoryAndFileSinksKeepWhatTheyAreGiven) {
  auto sink = std::make_shared<MemorySink>();
  vm::testing::TempDir dir;
  const std::string path = dir.File("trace.log");
  {
    ScopedDiagSink scope(sink);
    DiagWrite(DiagPriority::kWarning, "w");
    DiagWrite("i");
  }
  using Entry = std::pair<DiagPriority, std::string>;
  EXPECT_EQ(sink->Entries(),
            (std::vector<Entry>{{DiagPriority::kWarning, "w"}, {DiagPriority::kInfo, "i"}}));
  {
    ScopedDiagSink scope(FileSink::Open(path));
    DiagWrite(DiagPriority::kError, "no prefix in a trace file");
  }
  EXPECT_EQ(ReadAll(path), "no prefix in a trace file\n");
}

}  // namespace
}  // namespace vm::platform
