#include "platform/diag_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vm::platform {
namespace {

// One lock for installing sinks and for writing lines, so lines of different
// threads never interleave and a sink is never swapped out under a writer.
std::mutex& SinkMutex() {
  static std::mutex mu;
  return mu;
}

std::shared_ptr<DiagSink>& InstalledSink() {
  static std::shared_ptr<DiagSink> sink = std::make_shared<StderrSink>();
  return sink;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a diagnostic line that cannot be written is dropped
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

void StderrSink::WriteLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  WriteAll(STDERR_FILENO, text);
}

std::shared_ptr<FileSink> FileSink::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::shared_ptr<FileSink>(new FileSink(fd));
}

FileSink::~FileSink() {
  ::close(fd_);
}

void FileSink::WriteLine(std::string_view line) {
  std::string text(line);
  text += '\n';
  WriteAll(fd_, text);
}

std::vector<std::string> MemorySink::Lines() const {
  std::lock_guard<std::mutex> lock(SinkMutex());
  return lines_;
}

void MemorySink::Clear() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  lines_.clear();
}

std::shared_ptr<DiagSink> SetDiagSink(std::shared_ptr<DiagSink> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  std::shared_ptr<DiagSink> previous = std::move(InstalledSink());
  InstalledSink() = std::move(sink);
  return previous;
}

std::shared_ptr<DiagSink> CurrentDiagSink() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  return InstalledSink();
}

void DiagWrite(std::string_view line) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (InstalledSink()) InstalledSink()->WriteLine(line);
}

}  // namespace vm::platform
