#include "storage/shared_file.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "storage/kfs_transaction.h"

namespace vm::storage {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::map<std::string, std::weak_ptr<SharedFile>>& OpenFiles() {
  static auto* files = new std::map<std::string, std::weak_ptr<SharedFile>>;
  return *files;
}

platform::Share ShareOf(int access) {
  switch (access & 0x30) {
    case 0x20: return platform::Share::kDenyWrite;
    case 0x10:
    case 0x30: return platform::Share::kExclusive;
    default: return platform::Share::kDenyNone;
  }
}

}  // namespace

Status AcquireSharedFile(platform::Env* env, const std::string& path, int access, bool create,
                         std::shared_ptr<SharedFile>* out, const std::string& password) {
  const bool writable = (access & 0x03) != 0 || create;
  auto& files = OpenFiles();
  const std::string key = Lower(path);
  auto it = files.find(key);
  if (it != files.end()) {
    if (auto f = it->second.lock()) {
      if (writable && !f->writable) return Status::Error(kErrorAccessDenied);
      *out = f;
      return Status::Ok();
    }
  }
  PageFile::Options o;
  o.access = writable ? platform::Access::kReadWrite : platform::Access::kRead;
  o.share = ShareOf(access);
  o.create = create;
  o.password = password;
  o.transaction_check = [env](uint32_t transaction, const std::string& control_file, bool* pending) {
    return TransactionPending(env, control_file, transaction, pending);
  };
  auto f = std::make_shared<SharedFile>();
  Status s = PageFile::Open(env, path, o, &f->file);
  if (!s.ok()) return s;
  f->writable = writable;
  files[key] = f;
  *out = f;
  return Status::Ok();
}

}  // namespace vm::storage
