#include "storage/page_pack.h"

#include <algorithm>
#include <utility>

#include "storage/coding_shim.h"

namespace vm::storage {

size_t TreePage::ExpandedSize() const {
  size_t n = 13;
  for (const Record& r : records) n += r.size() + 5;
  if (!leaf()) n += 4 * records.size();
  return n;
}

bool TreePage::NeedsSplit() const {
  // A lone record cannot be divided; it may stay on its page although a
  // record close to the size limit takes the page over the split size.
  if (records.size() < 2) return false;
  size_t expanded = ExpandedSize();
  return expanded > kPageSplitSize ||
         (expanded > kPageSplitSizeMany && records.size() > kPageSplitRecords);
}

namespace {

constexpr uint8_t kHasRecordLength = 0x80;
constexpr uint8_t kHasKeyLength = 0x40;
constexpr size_t kMaxShared = 63;

// Byte `i` of the record seen as key followed by data.
char At(const Record& r, size_t i) {
  return i < r.key.size() ? r.key[i] : r.data[i - r.key.size()];
}

}  // namespace

void PackRecords(const std::vector<Record>& records, std::string* body) {
  const Record* prev = nullptr;
  for (const Record& r : records) {
    size_t shared = 0;
    uint8_t flags = kHasRecordLength | kHasKeyLength;
    if (prev != nullptr) {
      size_t limit = std::min({kMaxShared, prev->size(), r.size()});
      while (shared < limit && At(*prev, shared) == At(r, shared)) ++shared;
      flags = 0;
      if (r.size() != prev->size()) flags |= kHasRecordLength;
      if (r.key.size() != prev->key.size()) flags |= kHasKeyLength;
    }
    body->push_back(static_cast<char>(flags | shared));
    if (flags & kHasRecordLength) PutFixed16(body, static_cast<uint16_t>(r.size()));
    if (flags & kHasKeyLength) PutFixed16(body, static_cast<uint16_t>(r.key.size()));
    for (size_t i = shared; i < r.size(); ++i) body->push_back(At(r, i));
    prev = &r;
  }
}

bool UnpackRecords(std::string_view body, size_t count, std::vector<Record>* records) {
  records->clear();
  records->reserve(count);
  std::string prev;  // previous record's bytes, key then data
  size_t record_length = 0, key_length = 0;
  size_t pos = 0;
  for (size_t n = 0; n < count; ++n) {
    if (pos >= body.size()) return false;
    uint8_t flags = static_cast<uint8_t>(body[pos++]);
    size_t shared = flags & 0x3F;
    if (flags & kHasRecordLength) {
      if (body.size() - pos < 2) return false;
      record_length = DecodeFixed16(body.data() + pos);
      pos += 2;
    }
    if (flags & kHasKeyLength) {
      if (body.size() - pos < 2) return false;
      key_length = DecodeFixed16(body.data() + pos);
      pos += 2;
    }
    if (key_length > record_length || shared > record_length || shared > prev.size() ||
        record_length >= kRecordSizeLimit)
      return false;
    size_t rest = record_length - shared;
    if (body.size() - pos < rest) return false;
    std::string bytes = prev.substr(0, shared);
    bytes.append(body.substr(pos, rest));
    pos += rest;
    Record r{bytes.substr(0, key_length), bytes.substr(key_length)};
    // Keys within a page rise strictly; anything else is damage.
    if (!records->empty() && !(records->back().key < r.key)) return false;
    records->push_back(std::move(r));
    prev = std::move(bytes);
  }
  return pos == body.size();
}

}  // namespace vm::storage
