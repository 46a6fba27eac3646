// The diagnostic sink: where trace and diagnostic lines of every layer go, one
// line per call (the stand-in for the debugger output), each with the syslog
// priority its writer gives it. Process-wide; every function here is safe
// from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vm::platform {

// How serious a line is, as syslog numbers it: the journal shows a line at
// this level when standard error is the journal, and `journalctl -p warning`
// then lists the errors and the warnings only.
enum class DiagPriority {
  kError = 3,    // a failure: a send, a table, a stop message, a program that cannot go on
  kWarning = 4,  // something the operator should look at; the work goes on
  kInfo = 6,     // what happened: queued, sent, traces, a stop asked for
};

class DiagSink {
 public:
  virtual ~DiagSink() = default;
  // Receives one line without its line end. Called under the sink lock, so an
  // implementation needs no locking of its own and must not call DiagWrite.
  virtual void WriteLine(DiagPriority priority, std::string_view line) = 0;
};

// Writes each line to standard error; when standard error is the journal,
// with its priority prefix ("<3>", "<4>", "<6>"), which the journal takes off
// and keeps as the entry's priority. Elsewhere the line is written as given.
// Whether it is the journal is decided when the sink is made (the program
// never moves its standard error).
class StderrSink final : public DiagSink {
 public:
  StderrSink();
  void WriteLine(DiagPriority priority, std::string_view line) override;

 private:
  const bool journal_;
};

// Appends each line to a file, flushing after every line so that a crash
// loses nothing already written. The priority is not written.
class FileSink final : public DiagSink {
 public:
  // Returns nullptr when the file cannot be opened for appending.
  static std::shared_ptr<FileSink> Open(const std::string& path);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  void WriteLine(DiagPriority priority, std::string_view line) override;

 private:
  explicit FileSink(int fd) : fd_(fd) {}
  int fd_;
};

// Keeps the lines in memory; for tests.
class MemorySink final : public DiagSink {
 public:
  void WriteLine(DiagPriority priority, std::string_view line) override {
    entries_.emplace_back(priority, line);
  }
  // Snapshots of the lines so far (with their priorities); safe from any thread.
  std::vector<std::string> Lines() const;
  std::vector<std::pair<DiagPriority, std::string>> Entries() const;
  void Clear();

 private:
  std::vector<std::pair<DiagPriority, std::string>> entries_;
};

// Installs `sink` for the whole process and returns the previous one.
// A null sink discards every line.
std::shared_ptr<DiagSink> SetDiagSink(std::shared_ptr<DiagSink> sink);
std::shared_ptr<DiagSink> CurrentDiagSink();

// Writes one line to the installed sink (standard error until one is set).
void DiagWrite(DiagPriority priority, std::string_view line);
// The same at kInfo.
void DiagWrite(std::string_view line);

// Writes one line to standard error whatever sink is installed (a program
// that cannot start says so there), with the priority prefix when standard
// error is the journal.
void StderrWrite(DiagPriority priority, std::string_view line);

// True when `journal_stream` (the value of JOURNAL_STREAM, "DEVICE:INODE" in
// decimal, which systemd sets for a service whose output it connects to the
// journal) names the file open on `fd`. False for a null, malformed or
// different value, or when fd cannot be examined.
bool IsJournalStream(int fd, const char* journal_stream);

// Installs a sink for the life of a scope, then puts the previous one back.
class ScopedDiagSink {
 public:
  explicit ScopedDiagSink(std::shared_ptr<DiagSink> sink)
      : previous_(SetDiagSink(std::move(sink))) {}
  ~ScopedDiagSink() { SetDiagSink(std::move(previous_)); }
  ScopedDiagSink(const ScopedDiagSink&) = delete;
  ScopedDiagSink& operator=(const ScopedDiagSink&) = delete;

 private:
  std::shared_ptr<DiagSink> previous_;
};

}  // namespace vm::platform
