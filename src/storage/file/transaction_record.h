// The transaction record `FF` of a file: which transaction a pending journal
// belongs to and which control file decides it. Written by the driver when a
// file joins a commit over several files, read by the file's recovery. Pure
// functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm::storage {

inline constexpr uint8_t kKindTransaction = 0xFF;

// The key of the file's one transaction record.
std::string TransactionKey();

// Data of the transaction record.
std::string EncodeTransactionRecord(uint32_t transaction, std::string_view control_file);
bool DecodeTransactionRecord(std::string_view data, uint32_t* transaction,
                             std::string* control_file);

}  // namespace vm::storage
