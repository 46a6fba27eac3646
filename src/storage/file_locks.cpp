#include "storage/file_locks.h"

namespace vm::storage {
namespace {

constexpr unsigned kSlotKinds = kLockReaderSlot | kLockUpdate | kLockCommit;
constexpr unsigned kByteKinds = kLockTable | kLockRecord;

}  // namespace

Status LockRangeFor(unsigned kinds, uint32_t number, bool releasing, LockRange* range) {
  if ((kinds & kSlotKinds) != 0 && (kinds & kByteKinds) != 0) {
    return Status::Internal(releasing ? kErrUnlockKinds : kErrLockKinds);
  }
  switch (kinds) {
    case kLockReaderSlot:
      *range = {0x80000000ull + number % 1023, 1};
      break;
    case kLockUpdate:
      *range = {0x800003FFull, 1};
      break;
    case kLockCommit:
      *range = {0x80000000ull, 1023};
      break;
    case kLockTable:
    case kLockRecord:
      *range = {0x80000401ull + number, 1};
      break;
    default:
      return Status::Internal(releasing ? kErrUnlockKinds : kErrLockKinds);
  }
  return Status::Ok();
}

Status AcquireLock(platform::File* file, unsigned kinds, uint32_t number, bool wait) {
  LockRange r{};
  Status s = LockRangeFor(kinds, number, false, &r);
  if (!s.ok()) return s;
  if (wait) return file->Lock(r.offset, r.length).ok() ? Status::Ok() : Status::Error(5);
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (file->TryLock(r.offset, r.length).ok()) return Status::Ok();
  }
  return Status::Error(5);
}

Status ReleaseLock(platform::File* file, unsigned kinds, uint32_t number) {
  LockRange r{};
  Status s = LockRangeFor(kinds, number, true, &r);
  if (!s.ok()) return s;
  return file->Unlock(r.offset, r.length).ok() ? Status::Ok() : Status::Error(5);
}

}  // namespace vm::storage
