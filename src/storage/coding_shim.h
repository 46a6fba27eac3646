// TEMPORARY until coding.h lands.
#pragma once
#include <cstdint>
#include <string>
namespace vm::storage {
inline void PutFixed16(std::string* d, uint16_t v) { d->push_back(char(v)); d->push_back(char(v >> 8)); }
inline uint16_t DecodeFixed16(const char* p) { return uint16_t(uint8_t(p[0]) | (uint8_t(p[1]) << 8)); }
}  // namespace vm::storage
