#include "platform/large_memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace vm::platform {

void* AllocateLarge(size_t size) {
  const size_t rounded = (size + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
  void* p = std::aligned_alloc(kHugePageSize, rounded == 0 ? kHugePageSize : rounded);
  if (p != nullptr) (void)::madvise(p, rounded, MADV_HUGEPAGE);
  return p;
}

}  // namespace vm::platform
