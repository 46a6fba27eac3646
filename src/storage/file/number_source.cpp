#include "storage/file/number_source.h"

#include "platform/byte_coding.h"
#include "storage/file/record.h"

namespace vm::storage {

Status TakeNumber(uint8_t counter[4], bool updating, uint32_t* number) {
  if (!updating) return Status::Internal(kErrNumberReadOnly);
  uint8_t next[4] = {counter[0], counter[1], counter[2], counter[3]};
  for (int i = 3; i >= 0; --i) {
    if (++next[i] != 0) break;
  }
  if (next[0] >= 0xFE) return Status::Internal(kErrNumbersExhausted);
  for (int i = 0; i < 4; ++i) counter[i] = next[i];
  *number = platform::DecodeBigEndian32(reinterpret_cast<const char*>(next));
  return Status::Ok();
}

}  // namespace vm::storage
