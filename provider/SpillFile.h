#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "provider/ImageFile.h"
#include "provider/ProviderLog.h"

namespace vsimgpvd {

// The store of written data when the caller gave no temp file: blocks in
// memory up to a bound, and every block first written after that in an
// unnamed temp file of the provider's own, made when the first one comes.
// So writes never grow memory past the bound. Reads give back what was
// written; blocks never written read as zeros, up to the temp file's end. A
// write stops short when memory runs out, or when the temp file cannot be
// made (tried again at each write) or written. Not thread-safe.
class SpillFile final : public ImageFile {
 public:
  using TempFileFactory = std::unique_ptr<ImageFile> (*)();

  static constexpr uint32_t kBlockSize = 4096;
  static constexpr uint64_t kMemoryBound = uint64_t{64} << 20;

  // `log` must outlive the store.
  explicit SpillFile(ProviderLog& log, uint64_t memoryBound = kMemoryBound,
                     TempFileFactory createTempFile = &createUnnamedTempFile);

  uint32_t readAt(void* destination, uint64_t offset, uint32_t count) override;
  uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) override;

  // The bytes of written data held in memory.
  uint64_t memoryBytes() const { return blocks_.size() * uint64_t{kBlockSize}; }

 private:
  const uint8_t* findBlock(uint64_t block) const;
  // The bytes from `offset` on, at most `limit`, whose blocks are all outside memory.
  uint32_t spilledRun(uint64_t offset, uint32_t limit) const;
  uint32_t readSpilled(uint8_t* destination, uint64_t offset, uint32_t count);
  bool writeBlock(uint64_t block, uint32_t within, const uint8_t* source, uint32_t span);
  // The block in memory, made when the bound leaves room; null otherwise.
  uint8_t* holdBlock(uint64_t block);
  // The temp file, made at the first call that needs it; null when it cannot be.
  ImageFile* spill();

  ProviderLog& log_;
  const uint64_t maxBlocks_;
  const TempFileFactory createTempFile_;
  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> blocks_;
  std::unique_ptr<ImageFile> spill_;
  bool spillFailureLogged_ = false;
};

}  // namespace vsimgpvd
