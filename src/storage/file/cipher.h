// The owner-password cipher of table files: 64-byte blocks of sixteen
// little-endian words, enciphered with a key derived from the password.
// Pure functions on caller buffers; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vm::storage {

using CipherKey = std::array<uint32_t, 16>;

// The 64 key bytes before they are enciphered with themselves (exposed for
// tests: the bytes of a one-character password alternate between the
// terminating zero and that character, each plus its index).
std::array<uint8_t, 64> CipherKeyBytes(std::string_view password);
// The key used for a password (REQUIRES: password not empty).
CipherKey DeriveCipherKey(std::string_view password);

void EncipherBlock(const CipherKey& key, uint8_t block[64]);
void DecipherBlock(const CipherKey& key, uint8_t block[64]);

// Whole buffers; REQUIRES: length is a multiple of 64.
void EncipherBuffer(const CipherKey& key, uint8_t* data, size_t length);
void DecipherBuffer(const CipherKey& key, uint8_t* data, size_t length);

}  // namespace vm::storage
