#include "storage/file/file_header.h"

#include <cstring>

#include "platform/byte_coding.h"

namespace vm::storage {

std::string FileHeader::Encode() const {
  std::string out;
  out.reserve(kHeaderSize);
  platform::PutFixed32(&out, 0);
  platform::PutFixed16(&out, kHeaderSize);
  platform::PutFixed32(&out, committed_end);
  platform::PutFixed32(&out, journal_end);
  out.append("kEeL");
  out.append(reinterpret_cast<const char*>(reserved), 2);
  out.append(reinterpret_cast<const char*>(last_number), 4);
  platform::PutFixed32(&out, change_counter);
  platform::PutFixed32(&out, static_cast<uint32_t>(root));
  for (uint32_t s : start) platform::PutFixed32(&out, s);
  for (uint32_t e : end) platform::PutFixed32(&out, e);
  return out;
}

bool FileHeader::Decode(std::string_view bytes, FileHeader* out) {
  if (bytes.size() < kHeaderSize || bytes.substr(14, 4) != "kEeL") return false;
  const char* p = bytes.data();
  out->committed_end = platform::DecodeFixed32(p + 6);
  out->journal_end = platform::DecodeFixed32(p + 10);
  std::memcpy(out->reserved, p + 18, 2);
  std::memcpy(out->last_number, p + 20, 4);
  out->change_counter = platform::DecodeFixed32(p + 24);
  out->root = static_cast<int32_t>(platform::DecodeFixed32(p + 28));
  for (int k = 0; k < kRegionCount; ++k) {
    out->start[k] = platform::DecodeFixed32(p + 32 + 4 * k);
    out->end[k] = platform::DecodeFixed32(p + 272 + 4 * k);
  }
  return true;
}

Status FileHeader::ClassOf(int32_t page, int* cls) const {
  if (page >= 0) {
    const uint32_t p = static_cast<uint32_t>(page);
    for (int k = 1; k < kRegionCount; ++k) {
      if (start[k] <= p && p < end[k]) {
        *cls = k;
        return Status::Ok();
      }
    }
  }
  return Status::Internal(kErrPageInNoRegion);
}

uint64_t FileHeader::DataEnd() const {
  for (int k = kRegionCount - 1; k >= 1; --k) {
    if (end[k] > start[k]) return PageOffset(static_cast<int32_t>(end[k]));
  }
  return kHeaderSize;
}

bool FileHeader::Consistent(uint64_t file_size) const {
  uint64_t floor = end[0];
  for (int k = 1; k < kRegionCount; ++k) {
    if (start[k] < floor || end[k] < start[k] ||
        (end[k] - start[k]) % static_cast<uint32_t>(k) != 0)
      return false;
    floor = end[k];
  }
  if (PageOffset(0) + 256ull * floor > kMaxFileBytes) return false;  // offsets are 32-bit
  const uint64_t data_end = DataEnd();
  if (data_end > file_size || committed_end > journal_end) return false;
  // A journal always lies behind the data it is for.
  return committed_end == journal_end || committed_end >= data_end;
}

}  // namespace vm::storage
