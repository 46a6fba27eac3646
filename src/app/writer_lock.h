// One writer at a time of a small file beside the tables (the settings files,
// the retry state): each kind of file has its own byte of
// "voicemail-mailer.lock", held from reading the file to writing it back, so
// two writers never lose each other's changes. Byte 0 is the instance lock's.
// Readers take no lock (the files are replaced whole). Safe from any thread;
// a lock belongs to whoever holds the object.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"

namespace vm::app {

inline constexpr uint64_t kSettingsWriterByte = 1;
inline constexpr uint64_t kRetryWriterByte = 2;

class WriterLock {
 public:
  // Waits at most `limit` for byte `byte`; nullptr with *error ("another
  // command is writing WHAT of DIR") when the lock cannot be had.
  static std::unique_ptr<WriterLock> Acquire(const std::string& dir, uint64_t byte,
                                             const std::string& what,
                                             std::chrono::milliseconds limit, std::string* error,
                                             platform::Env* env = platform::Env::Default());
  ~WriterLock();
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  WriterLock(std::unique_ptr<platform::File> file, uint64_t byte)
      : file_(std::move(file)), byte_(byte) {}
  std::unique_ptr<platform::File> file_;
  uint64_t byte_;
};

}  // namespace vm::app
