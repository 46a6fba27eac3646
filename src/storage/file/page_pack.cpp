#include "storage/file/page_pack.h"

#include <algorithm>
#include <utility>

#include "platform/byte_coding.h"

namespace vm::storage {

size_t TreePage::ExpandedSize() const {
  size_t n = 13;
  for (const Record& r : records) n += r.size() + 5;
  if (!leaf()) n += 4 * records.size();
  return n;
}

bool TreePage::NeedsSplit() const {
  // A lone record cannot be divided; it may stay on its page although a
  // record close to the size limit takes the page over the split size. An
  // internal page splits only into halves of two separators or more: a page
  // with one child adds a level without dividing anything, and long keys
  // would otherwise stack such pages up without end.
  if (records.size() < (leaf() ? 2u : 4u)) return false;
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
char& At(Record& r, size_t i) {
  return i < r.key.size() ? r.key[i] : r.data[i - r.key.size()];
}

}  // namespace

void PackRecords(const std::vector<Record>& records, std::string* body) {
  size_t bytes = 0;
  for (const Record& r : records) bytes += r.size() + 5;
  body->reserve(body->size() + bytes);
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
    if (flags & kHasRecordLength) platform::PutFixed16(body, static_cast<uint16_t>(r.size()));
    if (flags & kHasKeyLength) platform::PutFixed16(body, static_cast<uint16_t>(r.key.size()));
    // The bytes after the shared ones: the rest of the key, then the data.
    if (shared < r.key.size()) {
      body->append(r.key, shared);
      body->append(r.data);
    } else {
      body->append(r.data, shared - r.key.size());
    }
    prev = &r;
  }
}

bool UnpackRecords(std::string_view body, size_t count, std::vector<Record>* records) {
  records->clear();
  records->reserve(count);
  size_t record_length = 0, key_length = 0;
  size_t pos = 0;
  for (size_t n = 0; n < count; ++n) {
    if (pos >= body.size()) return false;
    uint8_t flags = static_cast<uint8_t>(body[pos++]);
    size_t shared = flags & 0x3F;
    if (flags & kHasRecordLength) {
      if (body.size() - pos < 2) return false;
      record_length = platform::DecodeFixed16(body.data() + pos);
      pos += 2;
    }
    if (flags & kHasKeyLength) {
      if (body.size() - pos < 2) return false;
      key_length = platform::DecodeFixed16(body.data() + pos);
      pos += 2;
    }
    const size_t prev_size = records->empty() ? 0 : records->back().size();
    if (key_length > record_length || shared > record_length || shared > prev_size ||
        record_length >= kRecordSizeLimit)
      return false;
    size_t rest = record_length - shared;
    if (body.size() - pos < rest) return false;
    // The record is built in place: its first `shared` bytes (key then data)
    // are the previous record's, the rest come from the body.
    Record r;
    r.key.resize(key_length);
    r.data.resize(record_length - key_length);
    for (size_t i = 0; i < shared; ++i) At(r, i) = At(records->back(), i);
    const char* from = body.data() + pos;
    if (shared < key_length) {
      r.key.replace(shared, key_length - shared, from, key_length - shared);
      from += key_length - shared;
      r.data.replace(0, r.data.size(), from, r.data.size());
    } else {
      const size_t skip = shared - key_length;
      r.data.replace(skip, r.data.size() - skip, from, r.data.size() - skip);
    }
    pos += rest;
    // Keys within a page rise strictly; anything else is damage.
    if (!records->empty() && !(records->back().key < r.key)) return false;
    records->push_back(std::move(r));
  }
  return pos == body.size();
}

}  // namespace vm::storage
