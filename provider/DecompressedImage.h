#pragma once

#include <cstdint>
#include <memory>

#include "provider/ImageData.h"
#include "provider/ImageFile.h"

namespace vsimgpvd {

// The data of a compressed image read from its decompressed copy in the
// index file (see CopyBuilder).
class DecompressedImage final : public ImageData {
 public:
  DecompressedImage(std::unique_ptr<ImageFile> file, uint64_t payloadOffset, uint64_t dataSize)
      : file_(std::move(file)), payloadOffset_(payloadOffset), dataSize_(dataSize) {}

  uint64_t dataSize() const override { return dataSize_; }
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const override;

 private:
  const std::unique_ptr<ImageFile> file_;
  const uint64_t payloadOffset_;
  const uint64_t dataSize_;
};

}  // namespace vsimgpvd
