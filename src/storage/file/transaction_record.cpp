#include "storage/file/transaction_record.h"

#include "platform/byte_coding.h"

namespace vm::storage {

std::string TransactionKey() {
  return std::string(1, static_cast<char>(kKindTransaction));
}

std::string EncodeTransactionRecord(uint32_t transaction, std::string_view control_file) {
  std::string d;
  platform::PutFixed32(&d, transaction);
  d.append(control_file);
  d.push_back('\0');
  return d;
}

bool DecodeTransactionRecord(std::string_view data, uint32_t* transaction,
                             std::string* control_file) {
  if (data.size() < 5 || data.back() != '\0') return false;
  *transaction = platform::DecodeFixed32(data.data());
  std::string_view path = data.substr(4, data.size() - 5);
  if (path.find('\0') != std::string_view::npos) return false;
  control_file->assign(path);
  return true;
}

}  // namespace vm::storage
