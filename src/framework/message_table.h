// The error manager's message table: one row per message id (title, text,
// severity, category), filled from packed blocks of rows. The framework's own
// rows come from StandardMessageBlock(). A plain value object; the error
// manager keeps it behind its lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vm::framework {

struct MessageRow {
  uint16_t id = 0;
  std::string message;  // "|" is a line break; place-holders such as %File
  std::string title;
  uint8_t fatality = 0;  // the severity, a Level value (other values are "other")
  std::string category;  // empty: the table's default category
};

// The packed block of the framework's messages: a 16-bit little-endian count,
// then per row the id (16-bit little-endian), the severity (1 byte), the
// title and the message, each a 1-byte length followed by the bytes.
const std::vector<uint8_t>& StandardMessageBlock();

// Reads a packed block. A block that ends inside a row, or holds bytes after
// its last row, is refused whole (kInvalidArgument): a half-read table would
// show wrong texts later.
platform::Result<std::vector<MessageRow>> ParseMessageBlock(const std::vector<uint8_t>& block);
// The reverse, for building blocks (tests, added message sets). Titles and
// messages longer than 255 bytes are cut (at a UTF-8 boundary).
std::vector<uint8_t> PackMessageBlock(const std::vector<MessageRow>& rows);

class MessageTable {
 public:
  // The category of rows stored without one.
  static constexpr std::string_view kDefaultCategory = "General";

  // Adds rows; a row with an id already present replaces it.
  void Add(const std::vector<MessageRow>& rows);
  // Adds the rows of a packed block; the table is unchanged on failure.
  platform::Status AddBlock(const std::vector<uint8_t>& block);

  // The row of `id` as stored; nullopt when missing.
  std::optional<MessageRow> Find(uint16_t id) const;
  size_t size() const { return rows_.size(); }

 private:
  std::map<uint16_t, MessageRow> rows_;
};

}  // namespace vm::framework
