#pragma once

#include <cstdint>
#include <memory>

#include "common/ByteBuffer.h"
#include "provider/ChunkBitmap.h"
#include "provider/ImageFile.h"
#include "provider/ImageData.h"

namespace vsimgpvd {

// The written data over the read-only image, copied on write a chunk at a
// time into a store (the temp file, or the provider's own) at the same
// offsets as the image data. Reads take written chunks from the store and the
// rest from the image. Its own memory is one bit per chunk of the span written.
class Overlay {
 public:
  static constexpr uint32_t kChunkSize = 4096;

  Overlay(const ImageData& image, std::unique_ptr<ImageFile> store);

  // True while nothing was written, so reads can go straight to the image.
  bool empty() const { return written_.empty(); }

  // Return the bytes moved; fewer when the image or the store fails.
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const;
  uint32_t write(const uint8_t* source, uint64_t offset, uint32_t count);

 private:
  bool isWritten(uint64_t chunk) const { return written_.contains(chunk); }
  uint32_t runLength(uint64_t offset, uint32_t limit, bool written) const;
  bool writeChunk(uint64_t chunk, uint32_t within, const uint8_t* source, uint32_t span);

  const ImageData& image_;
  std::unique_ptr<ImageFile> store_;
  // The chunks (offset / kChunkSize) that the store holds.
  ChunkBitmap written_;
  // Where a chunk is put together from the image and the new bytes.
  ByteBuffer chunk_;
};

}  // namespace vsimgpvd
