// Fixed-width integers in and out of bytes, the one place of the program that
// encodes them: little-endian for the fields of files, records, registry
// values and message blocks; big-endian where byte order must be value order
// (keys, the file header's last number). Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vm::platform {

// The `width` low bytes of `v` at `dst`, least significant first.
// REQUIRES: width <= 8.
inline void EncodeLittleEndian(void* dst, uint64_t v, size_t width) {
  unsigned char* p = static_cast<unsigned char*>(dst);
  for (size_t i = 0; i < width; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
// The unsigned value of `width` bytes at `src`, least significant first.
// REQUIRES: width <= 8.
inline uint64_t DecodeLittleEndian(const void* src, size_t width) {
  const unsigned char* p = static_cast<const unsigned char*>(src);
  uint64_t v = 0;
  for (size_t i = width; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

inline void EncodeFixed16(void* dst, uint16_t v) {
  EncodeLittleEndian(dst, v, 2);
}
inline void EncodeFixed32(void* dst, uint32_t v) {
  EncodeLittleEndian(dst, v, 4);
}
inline uint16_t DecodeFixed16(const void* src) {
  return static_cast<uint16_t>(DecodeLittleEndian(src, 2));
}
inline uint32_t DecodeFixed32(const void* src) {
  return static_cast<uint32_t>(DecodeLittleEndian(src, 4));
}

// Appends to a byte string or vector (std::string, std::vector<uint8_t>).
template <typename Bytes>
void PutFixed16(Bytes* d, uint16_t v) {
  unsigned char b[2];
  EncodeFixed16(b, v);
  d->insert(d->end(), b, b + 2);
}
template <typename Bytes>
void PutFixed32(Bytes* d, uint32_t v) {
  unsigned char b[4];
  EncodeFixed32(b, v);
  d->insert(d->end(), b, b + 4);
}

inline void EncodeBigEndian32(void* dst, uint32_t v) {
  unsigned char* p = static_cast<unsigned char*>(dst);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}
inline uint16_t DecodeBigEndian16(const void* src) {
  const unsigned char* p = static_cast<const unsigned char*>(src);
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t DecodeBigEndian32(const void* src) {
  const unsigned char* p = static_cast<const unsigned char*>(src);
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
template <typename Bytes>
void PutBigEndian16(Bytes* d, uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  d->insert(d->end(), b, b + 2);
}
template <typename Bytes>
void PutBigEndian32(Bytes* d, uint32_t v) {
  unsigned char b[4];
  EncodeBigEndian32(b, v);
  d->insert(d->end(), b, b + 4);
}

}  // namespace vm::platform
