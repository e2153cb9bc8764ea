#include "provider/MemoryFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vsimgpvd {

uint32_t MemoryFile::readAt(void* destination, uint64_t offset, uint32_t count) {
  auto* bytes = static_cast<uint8_t*>(destination);
  for (uint32_t done = 0; done < count;) {
    const uint64_t at = offset + done;
    const uint32_t within = static_cast<uint32_t>(at % kBlockSize);
    const uint32_t span = std::min(kBlockSize - within, count - done);
    const auto block = blocks_.find(at / kBlockSize);
    if (block == blocks_.end()) {
      std::memset(bytes + done, 0, span);
    } else {
      std::memcpy(bytes + done, block->second.get() + within, span);
    }
    done += span;
  }
  return count;
}

uint32_t MemoryFile::writeAt(const void* source, uint64_t offset, uint32_t count) {
  const auto* bytes = static_cast<const uint8_t*>(source);
  uint32_t done = 0;
  try {
    while (done < count) {
      const uint64_t at = offset + done;
      const uint32_t within = static_cast<uint32_t>(at % kBlockSize);
      const uint32_t span = std::min(kBlockSize - within, count - done);
      auto& block = blocks_[at / kBlockSize];
      if (!block) block = std::make_unique<uint8_t[]>(kBlockSize);
      std::memcpy(block.get() + within, bytes + done, span);
      done += span;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the count tells how far the write got.
  }
  return done;
}

}  // namespace vsimgpvd
