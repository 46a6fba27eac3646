#include "storage/driver/shared_file.h"

#include <map>
#include <utility>

#include "storage/driver/kfs_transaction.h"

namespace vm::storage {
namespace {

// A file is known by its device and inode; an Env that cannot tell those
// (none in use today) falls back to the path as given.
using FileKey = std::pair<platform::FileId, std::string>;

struct OpenFileList {
  std::mutex mu;
  std::map<FileKey, std::weak_ptr<SharedFile>> files;
};

OpenFileList& OpenFiles() {
  static auto* list = new OpenFileList;
  return *list;
}

platform::Share ShareOf(int access) {
  switch (access & 0x30) {
    case 0x20:
      return platform::Share::kDenyWrite;
    case 0x10:
    case 0x30:
      return platform::Share::kExclusive;
    default:
      return platform::Share::kDenyNone;
  }
}

bool KeyOf(platform::Env* env, const std::string& path, FileKey* key) {
  auto id = env->Identify(path);
  if (id.ok()) {
    *key = FileKey{*id, std::string()};
    return true;
  }
  if (id.status().code() == platform::Code::kNotSupported) {
    *key = FileKey{platform::FileId{}, path};
    return true;
  }
  return false;  // no such file (yet)
}

}  // namespace

bool SharedFile::TryLockByte(uint64_t byte) {
  int& holds = byte_holds[byte];
  if (holds == 0 && !file->file()->TryLock(byte, 1).ok()) {
    byte_holds.erase(byte);
    return false;
  }
  ++holds;
  return true;
}

void SharedFile::UnlockByte(uint64_t byte) {
  auto it = byte_holds.find(byte);
  if (it == byte_holds.end()) return;
  if (--it->second == 0) {
    file->file()->Unlock(byte, 1);
    byte_holds.erase(it);
  }
}

Status AcquireSharedFile(platform::Env* env, const std::string& path, int access, bool create,
                         std::shared_ptr<SharedFile>* out, const std::string& password) {
  const bool writable = (access & 0x03) != 0 || create;
  OpenFileList& list = OpenFiles();
  // Held across the open, so two threads opening one file make one object.
  std::lock_guard<std::mutex> lock(list.mu);
  FileKey key;
  if (KeyOf(env, path, &key)) {
    auto it = list.files.find(key);
    if (it != list.files.end()) {
      if (auto f = it->second.lock()) {
        if (writable && !f->writable) return Status::Error(kErrAccessDenied);
        *out = f;
        return Status::Ok();
      }
    }
  }
  TreeFile::Options o;
  o.access = writable ? platform::Access::kReadWrite : platform::Access::kRead;
  o.share = ShareOf(access);
  o.create = create;
  o.password = password;
  o.transaction_check = [env](uint32_t transaction, const std::string& control_file,
                              bool* pending) {
    return TransactionPending(env, control_file, transaction, pending);
  };
  auto f = std::make_shared<SharedFile>();
  Status s = TreeFile::Open(env, path, o, &f->file);
  if (!s.ok()) return s;
  f->writable = writable;
  // A file this call created has its identity only now.
  if (!KeyOf(env, path, &key)) key = FileKey{platform::FileId{}, path};
  for (auto it = list.files.begin(); it != list.files.end();) {
    it = it->second.expired() ? list.files.erase(it) : std::next(it);
  }
  list.files[key] = f;
  *out = f;
  return Status::Ok();
}

}  // namespace vm::storage
