// Large buffers placed on 2 MiB boundaries and advised to be backed by huge
// pages: a buffer of many megabytes otherwise costs one page fault per
// 4 KiB. Safe from any thread.
#pragma once

#include <cstddef>

namespace vm::platform {

inline constexpr size_t kHugePageSize = size_t{2} << 20;

// At least `size` bytes, aligned to kHugePageSize; nullptr when memory is
// short. Release with std::free. The advice is a hint: when the system
// declines it, the memory is ordinary.
void* AllocateLarge(size_t size);

}  // namespace vm::platform
