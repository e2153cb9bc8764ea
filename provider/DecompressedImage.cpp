#include "provider/DecompressedImage.h"

#include <algorithm>
#include <cstring>

namespace vsimgpvd {

uint32_t DecompressedImage::read(uint8_t* destination, uint64_t offset, uint32_t count) const {
  const auto inData = static_cast<uint32_t>(offset < dataSize_ ? std::min<uint64_t>(count, dataSize_ - offset) : 0);
  const uint32_t got = inData > 0 ? file_->readAt(destination, payloadOffset_ + offset, inData) : 0;
  if (got < inData) return got;
  std::memset(destination + inData, 0, count - inData);
  return count;
}

}  // namespace vsimgpvd
