// Table and record numbers: the interface through which a table takes them
// (the file's header counter, an in-memory counter in tests) and the counting
// rule of the header's last-issued number. Owner thread of the file.
#pragma once

#include <cstdint>

#include "storage/file/storage_status.h"

namespace vm::storage {

// The source of table and record numbers: the file header's counter.
class NumberSource {
 public:
  virtual ~NumberSource() = default;
  virtual Status TakeNumber(uint32_t* number) = 0;
};

// Takes the next number from the header's last issued number (4 bytes,
// big-endian): adds one with carry from the last byte towards the first.
// 1163 when `updating` is false; 1173 (counter left alone) when the first
// byte would reach 0xFE, so no number begins with 0xFE or 0xFF.
Status TakeNumber(uint8_t counter[4], bool updating, uint32_t* number);

}  // namespace vm::storage
