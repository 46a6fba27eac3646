// The byte locks by which processes share a table file, all at or above
// 0x80000000 so they never cover data: reader slots, the update byte, the
// commit range (all reader slots), and one byte per table or held record.
// A lock is tried three times in a row, or waited for without limit.
// Owner thread of the file handle only.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "storage/status_shim.h"

namespace vm::storage {

// What a lock call asks for; table and record bytes cannot be combined with
// the slot kinds (internal error 2328 on taking, 2352 on releasing).
enum LockKinds : unsigned {
  kLockReaderSlot = 1u << 0,
  kLockUpdate = 1u << 1,
  kLockCommit = 1u << 2,
  kLockTable = 1u << 3,
  kLockRecord = 1u << 4,
};

inline constexpr int kErrLockKinds = 2328;
inline constexpr int kErrUnlockKinds = 2352;

// The byte range of one lock: `number` is the reader slot (0..1022) for a
// slot, the table or record number for those kinds, unused otherwise.
struct LockRange {
  uint64_t offset;
  uint64_t length;
};
Status LockRangeFor(unsigned kinds, uint32_t number, bool releasing, LockRange* range);

// Takes a lock: three attempts when `wait` is false (then 5, "Access
// Denied", when all fail), else until it is had. REQUIRES: one kind.
Status AcquireLock(platform::File* file, unsigned kinds, uint32_t number, bool wait);
Status ReleaseLock(platform::File* file, unsigned kinds, uint32_t number);

}  // namespace vm::storage
