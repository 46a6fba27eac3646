#include "storage/file/cipher.h"

#include <string>

#include "platform/byte_coding.h"

namespace vm::storage {
namespace {

void LoadWords(const uint8_t* p, uint32_t w[16]) {
  for (int i = 0; i < 16; ++i) w[i] = platform::DecodeFixed32(p + 4 * i);
}

void StoreWords(const uint32_t w[16], uint8_t* p) {
  for (int i = 0; i < 16; ++i) platform::EncodeFixed32(p + 4 * i, w[i]);
}

// One enciphering pass; `key` may be `b` itself (the key derivation), so
// each step reads its key word as the previous steps left it.
void Encipher(const uint32_t* key, uint32_t* b) {
  for (int i = 0; i < 16; ++i) {
    const uint32_t k = key[i];
    const int j = static_cast<int>(k & 15);
    const uint32_t a = b[i];
    const uint32_t c = b[j];
    b[j] = ((c & k) | (a & ~k)) + k;
    b[i] = ((a & k) | (c & ~k)) + k;
  }
}

}  // namespace

std::array<uint8_t, 64> CipherKeyBytes(std::string_view password) {
  std::string text(password);  // with its terminating zero at text.size()
  std::array<uint8_t, 64> k{};
  size_t ptr = 0;
  for (int i = 0; i < 64; ++i) {
    const char* c = text.c_str();
    if (c[ptr] == '\0') {
      ptr = 0;
    } else {
      ++ptr;
    }
    k[(17 * i) % 64] = static_cast<uint8_t>(static_cast<uint8_t>(c[ptr]) + i);
  }
  return k;
}

CipherKey DeriveCipherKey(std::string_view password) {
  std::array<uint8_t, 64> bytes = CipherKeyBytes(password);
  uint32_t w[16];
  LoadWords(bytes.data(), w);
  Encipher(w, w);
  Encipher(w, w);
  CipherKey key;
  for (int i = 0; i < 16; ++i) key[i] = w[i];
  return key;
}

void EncipherBlock(const CipherKey& key, uint8_t block[64]) {
  uint32_t b[16];
  LoadWords(block, b);
  Encipher(key.data(), b);
  StoreWords(b, block);
}

void DecipherBlock(const CipherKey& key, uint8_t block[64]) {
  uint32_t b[16];
  LoadWords(block, b);
  for (int i = 15; i >= 0; --i) {
    const uint32_t k = key[i];
    const int j = static_cast<int>(k & 15);
    const uint32_t x = b[i] - k;
    const uint32_t y = b[j] - k;
    b[i] = (x & k) | (y & ~k);
    b[j] = (y & k) | (x & ~k);
  }
  StoreWords(b, block);
}

void EncipherBuffer(const CipherKey& key, uint8_t* data, size_t length) {
  for (size_t off = 0; off + 64 <= length; off += 64) EncipherBlock(key, data + off);
}

void DecipherBuffer(const CipherKey& key, uint8_t* data, size_t length) {
  for (size_t off = 0; off + 64 <= length; off += 64) DecipherBlock(key, data + off);
}

}  // namespace vm::storage
