// Page images of a table file: the 13-byte page header, the child array of
// internal pages, the packed records, the run-length compression of the body
// and the 0xB0 slack up to the page's class size. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/file/record.h"
#include "storage/file/storage_status.h"

namespace vm::storage {

inline constexpr size_t kUnit = 256;
inline constexpr int kMaxClass = 59;
inline constexpr size_t kMaxPageBytes = kMaxClass * kUnit;  // 15104
inline constexpr uint8_t kSlackByte = 0xB0;

// Internal consistency numbers of page images.
inline constexpr int kErrCopyOverrun = 522;
inline constexpr int kErrRepeatOverrun = 530;
inline constexpr int kErrPageClass = 1477;
inline constexpr int kErrUnpackedAboveExpanded = 1659;
inline constexpr int kErrPageTooLarge = 1678;

// Units (256-byte) needed for n bytes.
inline int UnitsFor(size_t n) {
  return static_cast<int>((n + kUnit - 1) / kUnit);
}

// Run-length encodes `body`. Returns false, leaving *out empty, when the body
// has no run of four equal bytes and so is stored as it is.
bool RleEncode(std::string_view body, std::string* out);

// Decodes until `unpacked_length` bytes are produced, appending them to *out;
// reads nothing past that point. 0, or 522 / 530 on an overrun (a count
// larger than what remains, or input that ends too early).
int RleDecode(std::string_view in, size_t unpacked_length, std::string* out);

// Builds the on-disk image of `page` whose home is page number `home_page`:
// compressed when that saves a whole unit, padded with slack to its class.
Status EncodePage(int32_t home_page, const TreePage& page, std::string* image);

// The stored size field of an image (its first 256 bytes suffice).
uint16_t StoredSizeOf(std::string_view image);
uint32_t HomeOffsetOf(std::string_view image);

// Decodes an image read from a region of class `region_class` (0 to skip the
// check): 1477 when its stored size disagrees, 522/530 when the body does not
// decode, 1602 when the records do not end where the page says.
Status DecodePage(std::string_view image, int region_class, TreePage* page);

}  // namespace vm::storage
