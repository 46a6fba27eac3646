// Memo storage of StoredTable: chunk records of up to 256 bytes, the first
// chunk of a binary memo led by its length.
#include <algorithm>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/oem_charset.h"

namespace vm::storage {
namespace {

constexpr size_t kChunkSize = 256;
constexpr size_t kLengthPrefix = 4;

}  // namespace

// The bytes a memo is stored as: text without trailing blanks, or a binary
// memo's length followed by its content; OEM-converted when the table says.
std::string StoredTable::EncodeMemo(uint8_t memo, std::string_view content) const {
  const MemoDef& m = def_.memos[memo];
  std::string body(content.substr(0, m.size));
  if (!m.binary()) {
    body.resize(platform::TrimRight(body).size());
  }
  if (oem() && !(m.flags & kMemoNoOemConvert))
    AnsiToOem(reinterpret_cast<uint8_t*>(body.data()), body.size());
  if (!m.binary() || body.empty()) return body;
  std::string out;
  platform::PutFixed32(&out, static_cast<uint32_t>(body.size()));
  return out + body;
}

Status StoredTable::WriteMemo(uint32_t record, uint8_t memo, std::string_view content) {
  return WriteChunks(record, memo, EncodeMemo(memo, content));
}

Status StoredTable::WriteChunks(uint32_t record, uint8_t memo, const std::string& stored) {
  const bool binary = def_.memos[memo].binary();
  size_t pos = 0;
  uint16_t chunk = 0;
  Status s;
  while (pos < stored.size()) {
    size_t n = kChunkSize + (chunk == 0 && binary ? kLengthPrefix : 0);
    std::string_view piece = std::string_view(stored).substr(pos, n);
    const std::string key = MemoChunkKey(number_, record, memo, chunk);
    std::string old;
    bool found = false;
    s = tree_->Get(key, &old, &found);
    if (s.ok() && !(found && old == piece)) s = tree_->Put(key, piece);
    if (!s.ok()) return s;
    pos += piece.size();
    ++chunk;
  }
  // Chunks past the new end go.
  std::string prefix = MemoPrefix(number_, record);
  prefix.push_back(static_cast<char>(memo));
  while (true) {
    Record r;
    bool found = false;
    s = tree_->Seek(MemoChunkKey(number_, record, memo, chunk), &r, &found);
    if (!s.ok()) return s;
    if (!found || r.key.compare(0, prefix.size(), prefix) != 0) return Status::Ok();
    s = tree_->Delete(r.key, &found);
    if (!s.ok()) return s;
  }
}

Status StoredTable::ReadMemo(uint32_t record, uint8_t memo, std::string* content) {
  const MemoDef& m = def_.memos[memo];
  std::string stored;
  for (uint32_t chunk = 0; chunk <= 0xFFFF; ++chunk) {
    std::string piece;
    bool found = false;
    Status s = tree_->Get(MemoChunkKey(number_, record, memo, static_cast<uint16_t>(chunk)), &piece,
                          &found);
    if (!s.ok()) return s;
    if (!found) break;
    stored += piece;
  }
  if (m.binary()) {
    if (stored.empty()) {
      content->clear();
      return Status::Ok();
    }
    if (stored.size() < kLengthPrefix ||
        platform::DecodeFixed32(stored.data()) != stored.size() - kLengthPrefix)
      return Status::Internal(kErrBadRecords);
    stored.erase(0, kLengthPrefix);
  }
  if (oem() && !(m.flags & kMemoNoOemConvert))
    OemToAnsi(reinterpret_cast<uint8_t*>(stored.data()), stored.size());
  if (!m.binary() && stored.size() < m.size) stored.resize(m.size, ' ');
  *content = std::move(stored);
  return Status::Ok();
}

}  // namespace vm::storage
