// A growable byte buffer of the mail object: a pointer and its capacity,
// space-filled when allocated. The object or queue record that holds it owns
// it. Owner thread only.
#pragma once

#include <cstddef>
#include <memory>

namespace vm::mail {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&&) noexcept = default;
  ByteBuffer& operator=(ByteBuffer&&) noexcept = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  char* data() { return data_.get(); }
  const char* data() const { return data_.get(); }
  size_t capacity() const { return capacity_; }

  // Drops the contents and allocates exactly `size` bytes of spaces. false
  // (and capacity 0) when the memory cannot be had. With `fill` false the
  // bytes are left as they come: for buffers the caller writes in full
  // before reading, where filling tens of megabytes would only cost time.
  bool Allocate(size_t size, bool fill = true);
  // A new buffer of `size` bytes holding the first `keep` bytes of the old
  // one, the rest spaces (or as it comes without `fill`); the old one is
  // freed. false leaves the old buffer as it was.
  bool Grow(size_t size, size_t keep, bool fill = true);
  void Free();

  // Allocations larger than `bytes` fail from now on (0 = no limit); for
  // tests of the out-of-memory paths.
  static void SetAllocationLimitForTesting(size_t bytes);

 private:
  struct FreeDeleter {
    void operator()(char* p) const;
  };
  std::unique_ptr<char, FreeDeleter> data_;
  size_t capacity_ = 0;
};

}  // namespace vm::mail
