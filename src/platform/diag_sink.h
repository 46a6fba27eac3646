// The diagnostic sink: where trace and diagnostic lines of every layer go, one
// line per call (the stand-in for the debugger output). Process-wide; every
// function here is safe from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vm::platform {

class DiagSink {
 public:
  virtual ~DiagSink() = default;
  // Receives one line without its line end. Called under the sink lock, so an
  // implementation needs no locking of its own and must not call DiagWrite.
  virtual void WriteLine(std::string_view line) = 0;
};

// Writes each line to standard error.
class StderrSink final : public DiagSink {
 public:
  void WriteLine(std::string_view line) override;
};

// Appends each line to a file, flushing after every line so that a crash
// loses nothing already written.
class FileSink final : public DiagSink {
 public:
  // Returns nullptr when the file cannot be opened for appending.
  static std::shared_ptr<FileSink> Open(const std::string& path);
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  void WriteLine(std::string_view line) override;

 private:
  explicit FileSink(int fd) : fd_(fd) {}
  int fd_;
};

// Keeps the lines in memory; for tests.
class MemorySink final : public DiagSink {
 public:
  void WriteLine(std::string_view line) override { lines_.emplace_back(line); }
  // Snapshot of the lines so far; safe from any thread.
  std::vector<std::string> Lines() const;
  void Clear();

 private:
  std::vector<std::string> lines_;
};

// Installs `sink` for the whole process and returns the previous one.
// A null sink discards every line.
std::shared_ptr<DiagSink> SetDiagSink(std::shared_ptr<DiagSink> sink);
std::shared_ptr<DiagSink> CurrentDiagSink();

// Writes one line to the installed sink (standard error until one is set).
void DiagWrite(std::string_view line);

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
