#include "storage/table/record_keys.h"

#include "platform/byte_coding.h"

namespace vm::storage {

std::string EncodeNumber(uint32_t n) {
  std::string s;
  platform::PutBigEndian32(&s, n);
  return s;
}

uint32_t DecodeNumber(std::string_view four_bytes) {
  return four_bytes.size() < 4 ? 0 : platform::DecodeBigEndian32(four_bytes.data());
}

std::string TablePrefix(uint32_t table) {
  return EncodeNumber(table);
}

std::string TableNameKey(std::string_view upper_name) {
  std::string k(1, static_cast<char>(kKindTableName));
  k.append(upper_name);
  return k;
}

std::string RowPrefix(uint32_t table) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(kKindRow));
  return k;
}

std::string RowKey(uint32_t table, uint32_t record) {
  std::string k = RowPrefix(table);
  platform::PutBigEndian32(&k, record);
  return k;
}

std::string KeyPrefix(uint32_t table, uint8_t key_number) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(key_number));
  return k;
}

std::string KeyEntryKey(uint32_t table, uint8_t key_number, std::string_view value, bool duplicates,
                        uint32_t record) {
  std::string k = KeyPrefix(table, key_number);
  k.append(value);
  if (duplicates) platform::PutBigEndian32(&k, record);
  return k;
}

std::string MemoPrefix(uint32_t table, uint32_t record) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(kKindMemo));
  platform::PutBigEndian32(&k, record);
  return k;
}

std::string MemoChunkKey(uint32_t table, uint32_t record, uint8_t memo, uint16_t chunk) {
  std::string k = MemoPrefix(table, record);
  k.push_back(static_cast<char>(memo));
  platform::PutBigEndian16(&k, chunk);
  return k;
}

std::string DefinitionKey(uint32_t table, uint16_t block) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(kKindDefinition));
  platform::PutFixed16(&k, block);  // little-endian, unlike every other number in a key
  return k;
}

std::string StatsKey(uint32_t table, uint8_t which) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(kKindStats));
  k.push_back(static_cast<char>(which));
  return k;
}

std::string CollationKey(uint32_t table) {
  std::string k = EncodeNumber(table);
  k.push_back(static_cast<char>(kKindCollation));
  k.push_back('\x01');
  return k;
}

uint32_t EntryRecordNumber(std::string_view key, std::string_view data) {
  std::string_view tail = data.size() >= 4 ? data.substr(data.size() - 4) : std::string_view();
  if (data.size() < 4) {
    if (data.size() + key.size() < 4) return 0;
    std::string joined(key.substr(key.size() - (4 - data.size())));
    joined.append(data);
    return DecodeNumber(joined);
  }
  return DecodeNumber(tail);
}

}  // namespace vm::storage
