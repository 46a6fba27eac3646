// The collation block stored with every table: the case tables and the sort
// orders by which key strings are built, for both character sets. A table
// keeps the block that was in force when it was created, so its keys keep
// their order even if the built-in tables change. Value type; thread-safe.
//
// Layout of the 1152 bytes:
//   [   0,  256)  upper-case table, Windows character set
//   [ 256,  512)  sort rank of each byte, Windows character set
//   [ 512,  768)  upper-case table, OEM character set
//   [ 768, 1024)  sort rank of each byte, OEM character set
//   [1024, 1152)  reserved, zero
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vm::storage {

inline constexpr size_t kCollationBlockSize = 1152;

class Collation {
 public:
  // The runtime's built-in tables.
  static Collation BuiltIn();
  // A block as stored in a table's collation record; `block` must be exactly
  // kCollationBlockSize bytes (returns false otherwise, leaving *out alone).
  static bool FromBlock(std::string_view block, bool oem, Collation* out);

  Collation() : Collation(BuiltIn()) {}

  // Selects the OEM variant of the tables (the table's OEM flag).
  void set_oem(bool oem) { oem_ = oem; }
  bool oem() const { return oem_; }

  uint8_t Upper(uint8_t c) const { return block_[(oem_ ? 512 : 0) + c]; }
  uint8_t Rank(uint8_t c) const { return block_[(oem_ ? 768 : 256) + c]; }

  // The 1152 bytes as stored.
  std::string Block() const;

 private:
  struct Tag {};
  explicit Collation(Tag) {}

  std::array<uint8_t, kCollationBlockSize> block_{};
  bool oem_ = false;
};

}  // namespace vm::storage
