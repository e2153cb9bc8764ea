#pragma once

#include <cstdint>

namespace vsimgpvd {

// The bytes of an opened image, as the overlay reads them: the raw parts, or
// the data a compressed image decompresses to.
class ImageData {
 public:
  virtual ~ImageData() = default;

  virtual uint64_t dataSize() const = 0;
  // Copies image bytes at `offset`, with zeros for any bytes past the data.
  // Returns fewer than `count` only when the data cannot be read.
  virtual uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const = 0;
};

}  // namespace vsimgpvd
