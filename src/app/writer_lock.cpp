#include "app/writer_lock.h"

#include <filesystem>
#include <thread>

namespace vm::app {

std::unique_ptr<WriterLock> WriterLock::Acquire(const std::string& dir, uint64_t byte,
                                                const std::string& what,
                                                std::chrono::milliseconds limit, std::string* error,
                                                platform::Env* env) {
  const std::string shown = dir.empty() ? "." : dir;
  const std::string path = (std::filesystem::path(shown) / "voicemail-mailer.lock").string();
  auto file = env->OpenFile(path, platform::Access::kReadWrite, platform::Share::kDenyNone,
                            platform::Disposition::kOpenAlways);
  if (!file.ok()) {
    *error = "cannot open " + path + ": " + file.status().message();
    return nullptr;
  }
  // Another writer holds it for the length of one small write; the wait is
  // bounded all the same.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!(*file)->TryLock(byte, 1).ok()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      *error = "another command is writing " + what + " of " + shown;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::unique_ptr<WriterLock>(new WriterLock(std::move(file.value()), byte));
}

WriterLock::~WriterLock() {
  file_->Unlock(byte_, 1);
}

}  // namespace vm::app
