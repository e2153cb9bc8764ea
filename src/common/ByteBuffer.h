#pragma once

#include <cstdint>
#include <memory>

// An owned heap byte block with its size. Resizing frees the old block and
// allocates a new one of the new size (at least one byte); the new contents are
// undefined, so owners that need zeros call zero(). Not thread-safe.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(uint32_t size) { resize(size); }

  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&&) noexcept = default;
  ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

  // Replaces the block by an uninitialised one of `size` bytes (one byte at least).
  void resize(uint32_t size);
  void zero();

  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  uint32_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint32_t size_ = 0;
};
