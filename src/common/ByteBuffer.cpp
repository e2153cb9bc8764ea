#include "common/ByteBuffer.h"

#include <cstring>

void ByteBuffer::resize(uint32_t size) {
  data_.reset();
  size_ = 0;
  data_ = std::make_unique_for_overwrite<uint8_t[]>(size == 0 ? 1 : size);
  size_ = size;
}

void ByteBuffer::zero() {
  if (data_) std::memset(data_.get(), 0, size_ == 0 ? 1 : size_);
}
