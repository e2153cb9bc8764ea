#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "provider/ImageFile.h"

namespace vsimgpvd {

// The store of written data when no temp file was given: a sparse file in
// memory, allocated a block at a time as it is written. Unwritten bytes read
// as zeros. A write that runs out of memory stops short.
class MemoryFile final : public ImageFile {
 public:
  uint32_t readAt(void* destination, uint64_t offset, uint32_t count) override;
  uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) override;

 private:
  static constexpr uint32_t kBlockSize = 4096;

  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> blocks_;
};

}  // namespace vsimgpvd
