#include "mail/byte_buffer.h"

#include <atomic>
#include <cstring>
#include <new>

namespace vm::mail {

namespace {

std::atomic<size_t> g_limit{0};

std::unique_ptr<char[]> TryAllocate(size_t size) {
  const size_t limit = g_limit.load();
  if (limit != 0 && size > limit) return nullptr;
  std::unique_ptr<char[]> p(new (std::nothrow) char[size == 0 ? 1 : size]);
  if (p) std::memset(p.get(), ' ', size);
  return p;
}

}  // namespace

bool ByteBuffer::Allocate(size_t size) {
  Free();
  data_ = TryAllocate(size);
  if (!data_) return false;
  capacity_ = size;
  return true;
}

bool ByteBuffer::Grow(size_t size, size_t keep) {
  std::unique_ptr<char[]> p = TryAllocate(size);
  if (!p) return false;
  if (keep > size) keep = size;
  if (keep > capacity_) keep = capacity_;
  if (keep > 0) std::memcpy(p.get(), data_.get(), keep);
  data_ = std::move(p);
  capacity_ = size;
  return true;
}

void ByteBuffer::Free() {
  data_.reset();
  capacity_ = 0;
}

void ByteBuffer::SetAllocationLimitForTesting(size_t bytes) { g_limit.store(bytes); }

}  // namespace vm::mail
