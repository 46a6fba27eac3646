// Takes a fuzzer's input apart: single bytes, little-endian numbers and
// length-prefixed strings from the front, the rest as it is. Reading past the
// end gives zeros and empty strings. One input per object; fuzz targets only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

namespace vm::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return pos_ >= data_.size(); }
  size_t left() const { return data_.size() - pos_; }

  uint8_t Byte() { return pos_ < data_.size() ? static_cast<uint8_t>(data_[pos_++]) : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  // Up to `n` bytes.
  std::string_view Bytes(size_t n) {
    n = n < left() ? n : left();
    std::string_view s = data_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  // A string whose length (at most `max`) is the next byte.
  std::string_view Short(size_t max = 255) { return Bytes(Byte() % (max + 1)); }
  std::string_view Rest() { return Bytes(left()); }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

// Stops the run with a message: a property of the code under test failed.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what);
  std::abort();
}

inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

}  // namespace vm::fuzz
