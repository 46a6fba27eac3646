#include "app/instance_lock.h"

namespace vm::app {

std::unique_ptr<InstanceLock> InstanceLock::Acquire(const std::string& dir, std::string* error,
                                                    platform::Env* env) {
  const std::string shown = dir.empty() ? std::string(".") : dir;
  const std::string path = shown + "/voicemail-mailer.lock";
  auto file = env->OpenFile(path, platform::Access::kReadWrite, platform::Share::kDenyNone,
                            platform::Disposition::kOpenAlways);
  if (!file.ok()) {
    *error = "cannot make the lock file " + path + ": " + file.status().message();
    return nullptr;
  }
  if (!(*file)->TryLock(0, 1).ok()) {
    *error = "another voicemail-mailer is already running on the working directory " + shown;
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(std::move(file.value())));
}

platform::Result<bool> InstanceLock::HeldByAnother(const std::string& dir, platform::Env* env) {
  const std::string path = (dir.empty() ? std::string(".") : dir) + "/voicemail-mailer.lock";
  auto file = env->OpenFile(path, platform::Access::kRead, platform::Share::kDenyNone,
                            platform::Disposition::kOpenExisting);
  if (!file.ok()) {
    if (file.status().code() == platform::Code::kNotFound) return false;
    return file.status();
  }
  return (*file)->LockedElsewhere(0, 1);
}

InstanceLock::~InstanceLock() {
  if (file_) file_->Unlock(0, 1);
}

}  // namespace vm::app
