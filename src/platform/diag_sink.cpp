#include "platform/diag_sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

bool StderrIsJournal() {
  return IsJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
}

// One write per line, so a line of the journal's stream is never split.
void WriteStderrLine(bool journal, DiagPriority priority, std::string_view line) {
  std::string text;
  if (journal) {
    text = "<" + std::to_string(static_cast<int>(priority)) + ">";
  }
  text.append(line);
  text += '\n';
  WriteAll(STDERR_FILENO, text);
}

bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool IsJournalStream(int fd, const char* journal_stream) {
  if (journal_stream == nullptr) return false;
  const std::string_view value(journal_stream);
  const size_t colon = value.find(':');
  uint64_t device = 0;
  uint64_t inode = 0;
  if (colon == std::string_view::npos || !ParseNumber(value.substr(0, colon), &device) ||
      !ParseNumber(value.substr(colon + 1), &inode))
    return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<uint64_t>(st.st_dev) == device && static_cast<uint64_t>(st.st_ino) == inode;
}

StderrSink::StderrSink() : journal_(StderrIsJournal()) {}

void StderrSink::WriteLine(DiagPriority priority, std::string_view line) {
  WriteStderrLine(journal_, priority, line);
}

void StderrWrite(DiagPriority priority, std::string_view line) {
  const bool journal = StderrIsJournal();
  std::lock_guard<std::mutex> lock(SinkMutex());
  WriteStderrLine(journal, priority, line);
}

std::shared_ptr<FileSink> FileSink::Open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::shared_ptr<FileSink>(new FileSink(fd));
}

FileSink::~FileSink() {
  ::close(fd_);
}

void FileSink::WriteLine(DiagPriority, std::string_view line) {
  std::string text(line);
  text += '\n';
  WriteAll(fd_, text);
}

std::vector<std::string> MemorySink::Lines() const {
  std::lock_guard<std::mutex> lock(SinkMutex());
  std::vector<std::string> lines;
  lines.reserve(entries_.size());
  for (const auto& [priority, line] : entries_) lines.push_back(line);
  return lines;
}

std::vector<std::pair<DiagPriority, std::string>> MemorySink::Entries() const {
  std::lock_guard<std::mutex> lock(SinkMutex());
  return entries_;
}

void MemorySink::Clear() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  entries_.clear();
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

void DiagWrite(DiagPriority priority, std::string_view line) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (InstalledSink()) InstalledSink()->WriteLine(priority, line);
}

void DiagWrite(std::string_view line) {
  DiagWrite(DiagPriority::kInfo, line);
}

}  // namespace vm::platform
