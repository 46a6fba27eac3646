// One program instance per working directory: the lock file
// "voicemail-mailer.lock" in that directory, held (byte-range lock) for as
// long as the object lives. A second instance, in this process or another,
// fails to take it. Owner thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/file.h"

namespace vm::app {

class InstanceLock {
 public:
  // The lock, or nullptr with *error saying why (another instance holds it,
  // or the file cannot be made).
  static std::unique_ptr<InstanceLock> Acquire(const std::string& dir, std::string* error,
                                               platform::Env* env = platform::Env::Default());
  // Whether an instance holds the lock of `dir` now, asked without taking it
  // (a command must never keep a service from starting). False when there is
  // no lock file.
  static platform::Result<bool> HeldByAnother(const std::string& dir,
                                              platform::Env* env = platform::Env::Default());
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}
  std::unique_ptr<platform::File> file_;
};

}  // namespace vm::app
