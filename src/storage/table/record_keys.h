// Keys of the record kinds by which a table lives in the file's tree: table
// name, data rows, key entries, memo chunks, definition blocks, statistics,
// collation and the transaction record (transaction_record.h); the numbers
// in them come from the header's counter (number_source.h). Pure functions;
// thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/file/number_source.h"
#include "storage/file/storage_status.h"
#include "storage/file/transaction_record.h"

namespace vm::storage {

inline constexpr uint8_t kKindRow = 0xF3;
inline constexpr uint8_t kKindStats = 0xF6;
inline constexpr uint8_t kKindDefinition = 0xFA;
inline constexpr uint8_t kKindCollation = 0xFB;
inline constexpr uint8_t kKindMemo = 0xFC;
inline constexpr uint8_t kKindTableName = 0xFE;
// kKindTransaction (0xFF): transaction_record.h, which the file's recovery reads.

// The table's own statistics record uses kKindRow in place of a key number.
inline constexpr uint8_t kStatsTable = kKindRow;

std::string TablePrefix(uint32_t table);
std::string TableNameKey(std::string_view upper_name);
std::string RowPrefix(uint32_t table);
std::string RowKey(uint32_t table, uint32_t record);
std::string KeyPrefix(uint32_t table, uint8_t key_number);
// The key of an entry: unique keys end with the value (the record number is
// the data); keys with duplicates carry the record number in the key.
std::string KeyEntryKey(uint32_t table, uint8_t key_number, std::string_view value, bool duplicates,
                        uint32_t record);
std::string MemoPrefix(uint32_t table, uint32_t record);
std::string MemoChunkKey(uint32_t table, uint32_t record, uint8_t memo, uint16_t chunk);
std::string DefinitionKey(uint32_t table, uint16_t block);
std::string StatsKey(uint32_t table, uint8_t which);
std::string CollationKey(uint32_t table);

// Four bytes big-endian, as numbers stand in keys and key entries.
std::string EncodeNumber(uint32_t n);
uint32_t DecodeNumber(std::string_view four_bytes);
// The record number of a key entry: the last four bytes of key and data.
uint32_t EntryRecordNumber(std::string_view key, std::string_view data);

}  // namespace vm::storage
