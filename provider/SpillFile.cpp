#include "provider/SpillFile.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vsimgpvd {

SpillFile::SpillFile(ProviderLog& log, uint64_t memoryBound, TempFileFactory createTempFile)
    : log_(log), maxBlocks_(memoryBound / kBlockSize), createTempFile_(createTempFile) {}

uint32_t SpillFile::readAt(void* destination, uint64_t offset, uint32_t count) {
  auto* bytes = static_cast<uint8_t*>(destination);
  uint32_t done = 0;
  while (done < count) {
    const uint64_t at = offset + done;
    if (const uint8_t* block = findBlock(at / kBlockSize)) {
      const uint32_t within = static_cast<uint32_t>(at % kBlockSize);
      const uint32_t span = std::min(kBlockSize - within, count - done);
      std::memcpy(bytes + done, block + within, span);
      done += span;
      continue;
    }
    const uint32_t span = spilledRun(at, count - done);
    const uint32_t got = readSpilled(bytes + done, at, span);
    done += got;
    if (got < span) break;
  }
  return done;
}

uint32_t SpillFile::writeAt(const void* source, uint64_t offset, uint32_t count) {
  const auto* bytes = static_cast<const uint8_t*>(source);
  uint32_t done = 0;
  try {
    while (done < count) {
      const uint64_t at = offset + done;
      const uint32_t within = static_cast<uint32_t>(at % kBlockSize);
      const uint32_t span = std::min(kBlockSize - within, count - done);
      if (!writeBlock(at / kBlockSize, within, bytes + done, span)) break;
      done += span;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the count tells how far the write got.
  }
  return done;
}

const uint8_t* SpillFile::findBlock(uint64_t block) const {
  const auto found = blocks_.find(block);
  return found == blocks_.end() ? nullptr : found->second.get();
}

uint32_t SpillFile::spilledRun(uint64_t offset, uint32_t limit) const {
  uint64_t block = offset / kBlockSize;
  uint64_t length = (block + 1) * kBlockSize - offset;
  while (length < limit && !findBlock(block + 1)) {
    ++block;
    length += kBlockSize;
  }
  return static_cast<uint32_t>(std::min<uint64_t>(length, limit));
}

// Before anything was spilled, the bytes outside memory were never written.
uint32_t SpillFile::readSpilled(uint8_t* destination, uint64_t offset, uint32_t count) {
  if (spill_) return spill_->readAt(destination, offset, count);
  std::memset(destination, 0, count);
  return count;
}

bool SpillFile::writeBlock(uint64_t block, uint32_t within, const uint8_t* source, uint32_t span) {
  if (uint8_t* held = holdBlock(block)) {
    std::memcpy(held + within, source, span);
    return true;
  }
  ImageFile* file = spill();
  return file && file->writeAt(source, block * kBlockSize + within, span) == span;
}

// A block outside memory is never taken in later: once the bound is reached
// it stays reached, so each block lives in one place only.
uint8_t* SpillFile::holdBlock(uint64_t block) {
  const auto found = blocks_.find(block);
  if (found != blocks_.end()) return found->second.get();
  if (blocks_.size() >= maxBlocks_) return nullptr;
  auto made = std::make_unique<uint8_t[]>(kBlockSize);
  return blocks_.emplace(block, std::move(made)).first->second.get();
}

ImageFile* SpillFile::spill() {
  if (spill_) return spill_.get();
  spill_ = createTempFile_();
  if (spill_) {
    log_.line(u"vsimgpvd overlay memory full at %llu bytes, later writes go to a temporary file\n", memoryBytes());
  } else if (!spillFailureLogged_) {
    log_.line(u"vsimgpvd overlay memory full at %llu bytes and no temporary file can be created, writes fail\n",
              memoryBytes());
    spillFailureLogged_ = true;
  }
  return spill_.get();
}

}  // namespace vsimgpvd
