// Fixed-width integers in and out of byte strings: little-endian for the
// file's own fields, big-endian where byte order must be value order (keys).
// Pure functions; any thread.
#pragma once
#include <cstdint>
#include <string>
namespace vm::storage {
inline void PutFixed16(std::string* d, uint16_t v) {
  d->push_back(char(v));
  d->push_back(char(v >> 8));
}
inline uint16_t DecodeFixed16(const char* p) {
  return uint16_t(uint8_t(p[0]) | (uint8_t(p[1]) << 8));
}
inline void PutFixed32(std::string* d, uint32_t v) {
  for (int i = 0; i < 4; ++i) d->push_back(char(v >> (8 * i)));
}
inline uint32_t DecodeFixed32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(p[i]);
  return v;
}
inline void PutBigEndian16(std::string* d, uint16_t v) {
  d->push_back(char(v >> 8));
  d->push_back(char(v));
}
inline void PutBigEndian32(std::string* d, uint32_t v) {
  for (int i = 3; i >= 0; --i) d->push_back(char(v >> (8 * i)));
}
inline uint32_t DecodeBigEndian32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | uint8_t(p[i]);
  return v;
}
}  // namespace vm::storage
