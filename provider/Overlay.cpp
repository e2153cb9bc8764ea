#include "provider/Overlay.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vsimgpvd {

Overlay::Overlay(const ImageData& image, std::unique_ptr<ImageFile> store)
    : image_(image), store_(std::move(store)), chunk_(kChunkSize) {}

uint32_t Overlay::read(uint8_t* destination, uint64_t offset, uint32_t count) const {
  uint32_t done = 0;
  while (done < count) {
    const uint64_t at = offset + done;
    const bool written = isWritten(at / kChunkSize);
    const uint32_t span = runLength(at, count - done, written);
    const uint32_t got =
        written ? store_->readAt(destination + done, at, span) : image_.read(destination + done, at, span);
    done += got;
    if (got < span) break;
  }
  return done;
}

uint32_t Overlay::write(const uint8_t* source, uint64_t offset, uint32_t count) {
  uint32_t done = 0;
  try {
    while (done < count) {
      const uint64_t at = offset + done;
      const uint32_t within = static_cast<uint32_t>(at % kChunkSize);
      const uint32_t span = std::min(kChunkSize - within, count - done);
      if (!writeChunk(at / kChunkSize, within, source + done, span)) break;
      done += span;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the count tells how far the write got.
  }
  return done;
}

// The bytes from `offset` on, at most `limit`, whose chunks are all written or all not.
uint32_t Overlay::runLength(uint64_t offset, uint32_t limit, bool written) const {
  uint64_t chunk = offset / kChunkSize;
  uint64_t length = (chunk + 1) * kChunkSize - offset;
  while (length < limit && isWritten(chunk + 1) == written) {
    ++chunk;
    length += kChunkSize;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(length, limit));
}

// The first write to a chunk copies the chunk's other bytes from the image.
bool Overlay::writeChunk(uint64_t chunk, uint32_t within, const uint8_t* source, uint32_t span) {
  const uint64_t start = chunk * kChunkSize;
  if (span == kChunkSize || isWritten(chunk)) {
    if (store_->writeAt(source, start + within, span) != span) return false;
  } else {
    if (image_.read(chunk_.data(), start, kChunkSize) != kChunkSize) return false;
    std::memcpy(chunk_.data() + within, source, span);
    if (store_->writeAt(chunk_.data(), start, kChunkSize) != kChunkSize) return false;
  }
  written_.insert(chunk);
  return true;
}

}  // namespace vsimgpvd
