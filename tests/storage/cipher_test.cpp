// The owner-password cipher: key bytes of a one-character password, and
// enciphering that deciphering undoes for any block and password.
#include "storage/file/cipher.h"

#include <cstring>
#include <random>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

TEST(Cipher, OneCharacterPasswordKeyBytesAlternateZeroThenCharacter) {
  auto k = CipherKeyBytes("A");
  for (int i = 0; i < 64; ++i) {
    const uint8_t expected = static_cast<uint8_t>((i % 2 == 0 ? 0 : 'A') + i);
    EXPECT_EQ(k[(17 * i) % 64], expected) << i;
  }
}

TEST(Cipher, LongerPasswordCyclesSecondToLastThenZeroThenFirst) {
  auto k = CipherKeyBytes("abc");
  const char cycle[] = {'b', 'c', '\0', 'a'};
  for (int i = 0; i < 64; ++i) EXPECT_EQ(k[(17 * i) % 64], uint8_t(cycle[i % 4] + i)) << i;
}

TEST(Cipher, DecipherUndoesEncipherAndChangesTheBlock) {
  std::mt19937 rng(5);
  for (const char* pw : {"A", "secret", "a much longer owner password of many words"}) {
    CipherKey key = DeriveCipherKey(pw);
    for (int iter = 0; iter < 200; ++iter) {
      uint8_t block[128];
      for (auto& b : block) b = static_cast<uint8_t>(rng());
      uint8_t copy[128];
      std::memcpy(copy, block, sizeof block);
      EncipherBuffer(key, block, sizeof block);
      EXPECT_NE(std::memcmp(copy, block, 64), 0);
      DecipherBuffer(key, block, sizeof block);
      ASSERT_EQ(std::memcmp(copy, block, sizeof block), 0) << pw;
    }
  }
  EXPECT_NE(DeriveCipherKey("A"), DeriveCipherKey("B"));
}

}  // namespace
}  // namespace vm::storage
