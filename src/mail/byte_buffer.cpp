#include "mail/byte_buffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/large_memory.h"

namespace vm::mail {

namespace {

std::atomic<size_t> g_limit{0};

// Buffers of this size and more come from the platform's large-memory
// allocation (huge pages): a message with a large attachment otherwise costs
// one page fault per 4 KiB, which dominates composing it.
constexpr size_t kLargeBuffer = size_t{4} << 20;

char* TryAllocate(size_t size, bool fill) {
  const size_t limit = g_limit.load();
  if (limit != 0 && size > limit) return nullptr;
  char* p = nullptr;
  if (size >= kLargeBuffer) {
    p = static_cast<char*>(platform::AllocateLarge(size));
  } else {
    p = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  }
  if (p != nullptr && fill) std::memset(p, ' ', size);
  return p;
}

}  // namespace

void ByteBuffer::FreeDeleter::operator()(char* p) const {
  std::free(p);
}

bool ByteBuffer::Allocate(size_t size, bool fill) {
  Free();
  char* p = TryAllocate(size, fill);
  if (p == nullptr) return false;
  data_.reset(p);
  capacity_ = size;
  return true;
}

bool ByteBuffer::Grow(size_t size, size_t keep, bool fill) {
  char* p = TryAllocate(size, false);
  if (p == nullptr) return false;
  if (keep > size) keep = size;
  if (keep > capacity_) keep = capacity_;
  if (keep > 0) std::memcpy(p, data_.get(), keep);
  if (fill) std::memset(p + keep, ' ', size - keep);
  data_.reset(p);
  capacity_ = size;
  return true;
}

void ByteBuffer::Free() {
  data_.reset();
  capacity_ = 0;
}

void ByteBuffer::SetAllocationLimitForTesting(size_t bytes) {
  g_limit.store(bytes);
}

}  // namespace vm::mail
