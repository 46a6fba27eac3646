// The 512-byte header at the start of a table file: where the journal begins
// and ends, the magic "kEeL", the big-endian last-issued number, the change
// counter, the root page, and the sixty size-class regions of the page space.
// Plain value type; owner thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/file/storage_status.h"

namespace vm::storage {

inline constexpr size_t kHeaderSize = 512;
inline constexpr int kRegionCount = 60;
inline constexpr int kErrPageInNoRegion = 1735;
// Offsets in the file are 32-bit: no byte of data or journal may lie at or
// past this.
inline constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull;

struct FileHeader {
  uint32_t committed_end = kHeaderSize;  // where the journal begins
  uint32_t journal_end = kHeaderSize;    // just past the last journal page
  uint8_t reserved[2] = {0, 0};
  uint8_t last_number[4] = {0, 0, 0, 0};  // big-endian
  // Moves on by one at every commit and wraps; 0 only in a file nothing has
  // been committed to, so the step past 0xFFFFFFFF lands on 1 (NextChange).
  uint32_t change_counter = 0;
  int32_t root = -1;
  std::array<uint32_t, kRegionCount> start{};
  std::array<uint32_t, kRegionCount> end{};

  // Byte image; home offset 0, size 512, magic included.
  std::string Encode() const;
  // False when the magic is wrong (the caller has checked the length).
  static bool Decode(std::string_view bytes, FileHeader* out);

  // Class of page p (1735 as an internal error when it lies in no region).
  Status ClassOf(int32_t page, int* cls) const;
  // File offset just past the data: 512 + 256 × end of the highest region
  // that holds pages. Computed in 64 bits: regions grown in memory may reach
  // past what the format's 32-bit offsets address (a commit refuses that).
  uint64_t DataEnd() const;
  // Whether the regions are dense, ordered, within 32-bit offsets and inside
  // a file of `file_size` bytes, and the journal bounds are in order. A
  // header that fails this is damaged: nothing may be allocated or moved on
  // its word.
  bool Consistent(uint64_t file_size) const;
  // Number of pages in region k.
  uint32_t PagesIn(int k) const { return (end[k] - start[k]) / static_cast<uint32_t>(k); }
};

// The change counter after `counter`: one more, passing over 0.
inline uint32_t NextChange(uint32_t counter) {
  return counter == 0xFFFFFFFFu ? 1u : counter + 1u;
}

inline uint64_t PageOffset(int32_t page) {
  return 512 + 256ull * static_cast<uint32_t>(page);
}

}  // namespace vm::storage
