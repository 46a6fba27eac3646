#include "storage/file/page_codec.h"

#include "platform/byte_coding.h"
#include "storage/file/page_pack.h"

namespace vm::storage {
namespace {

void PutVarint(std::string* out, size_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

// Reads a count; false when the input ends inside it or it is absurdly long.
bool GetVarint(std::string_view in, size_t* pos, size_t* v) {
  size_t result = 0;
  for (int shift = 0; shift < 35; shift += 7) {
    if (*pos >= in.size()) return false;
    uint8_t b = static_cast<uint8_t>(in[(*pos)++]);
    result |= static_cast<size_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) {
      *v = result;
      return true;
    }
  }
  return false;
}

size_t HeaderLength(const TreePage& page) {
  return 13 + (page.leaf() ? 0 : 4 * page.records.size());
}

}  // namespace

bool RleEncode(std::string_view body, std::string* out) {
  out->clear();
  const size_t n = body.size();
  size_t s = 0;
  size_t i = 0;
  bool fired = false;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && body[i + run] == body[i]) ++run;
    if (run < 4) {
      i += run;
      continue;
    }
    fired = true;
    PutVarint(out, i + 1 - s);
    out->append(body.substr(s, i + 1 - s));
    PutVarint(out, run - 1);
    i += run;
    s = i;
  }
  if (!fired) {
    out->clear();
    return false;
  }
  PutVarint(out, n - s);
  out->append(body.substr(s));
  return true;
}

int RleDecode(std::string_view in, size_t unpacked_length, std::string* out) {
  size_t pos = 0;
  size_t produced = 0;
  while (produced < unpacked_length) {
    size_t copy = 0;
    if (!GetVarint(in, &pos, &copy) || copy > unpacked_length - produced ||
        copy > in.size() - pos) {
      return kErrCopyOverrun;
    }
    out->append(in.substr(pos, copy));
    pos += copy;
    produced += copy;
    if (produced == unpacked_length) break;
    size_t repeat = 0;
    if (!GetVarint(in, &pos, &repeat) || repeat > unpacked_length - produced || out->empty()) {
      return kErrRepeatOverrun;
    }
    out->append(repeat, out->back());
    produced += repeat;
  }
  return 0;
}

Status EncodePage(int32_t home_page, const TreePage& page, std::string* image) {
  std::string body;
  PackRecords(page.records, &body);
  const size_t header_length = HeaderLength(page);
  const size_t unpacked = header_length + body.size();
  const size_t expanded = page.ExpandedSize();
  if (unpacked > expanded) return Status::Internal(kErrUnpackedAboveExpanded);

  std::string packed;
  bool compress =
      RleEncode(body, &packed) && UnitsFor(header_length + packed.size()) < UnitsFor(unpacked);
  const std::string& stored_body = compress ? packed : body;
  const size_t stored = header_length + stored_body.size();
  if (stored > kMaxPageBytes || unpacked > 0xFFFF) return Status::Internal(kErrPageTooLarge);

  image->clear();
  platform::PutFixed32(image,
                       static_cast<uint32_t>(512 + kUnit * static_cast<uint32_t>(home_page)));
  platform::PutFixed16(image, static_cast<uint16_t>(stored));
  platform::PutFixed16(image, static_cast<uint16_t>(unpacked));
  platform::PutFixed16(image, static_cast<uint16_t>(expanded > 0xFFFF ? 0xFFFF : expanded));
  platform::PutFixed16(image, static_cast<uint16_t>(page.records.size()));
  image->push_back(static_cast<char>(page.level));
  if (!page.leaf()) {
    for (int32_t child : page.children) platform::PutFixed32(image, static_cast<uint32_t>(child));
  }
  image->append(stored_body);
  image->append(UnitsFor(stored) * kUnit - stored, static_cast<char>(kSlackByte));
  return Status::Ok();
}

uint16_t StoredSizeOf(std::string_view image) {
  return image.size() >= 6 ? platform::DecodeFixed16(image.data() + 4) : 0;
}
uint32_t HomeOffsetOf(std::string_view image) {
  return image.size() >= 4 ? platform::DecodeFixed32(image.data()) : 0;
}

Status DecodePage(std::string_view image, int region_class, TreePage* page) {
  if (image.size() < 13) return Status::Internal(kErrPageClass);
  const size_t stored = platform::DecodeFixed16(image.data() + 4);
  const size_t unpacked = platform::DecodeFixed16(image.data() + 6);
  const size_t count = platform::DecodeFixed16(image.data() + 10);
  const uint8_t level = static_cast<uint8_t>(image[12]);
  if (stored < 13 || stored > image.size() ||
      (region_class != 0 && UnitsFor(stored) != region_class)) {
    return Status::Internal(kErrPageClass);
  }
  const size_t header_length = 13 + (level == 0 ? 0 : 4 * count);
  if (header_length > stored || header_length > unpacked) return Status::Internal(kErrBadRecords);
  page->level = level;
  page->children.clear();
  if (level != 0) {
    page->children.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      page->children.push_back(
          static_cast<int32_t>(platform::DecodeFixed32(image.data() + 13 + 4 * i)));
    }
  }
  std::string_view stored_body = image.substr(header_length, stored - header_length);
  std::string body;
  if (stored < unpacked) {
    int rc = RleDecode(stored_body, unpacked - header_length, &body);
    if (rc != 0) return Status::Internal(rc);
    stored_body = body;
  } else if (stored != unpacked) {
    return Status::Internal(kErrBadRecords);
  }
  page->records.clear();
  if (!UnpackRecords(stored_body, count, &page->records)) return Status::Internal(kErrBadRecords);
  return Status::Ok();
}

}  // namespace vm::storage
