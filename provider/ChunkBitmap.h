#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vsimgpvd {

// A set of chunk numbers kept as one bit per chunk, in pages made when a
// chunk in their range is first added. Its memory follows the span of the
// chunks added, never their count: at most one bit per chunk up to the
// highest one. Not thread-safe.
class ChunkBitmap {
 public:
  // The chunks one page holds: 4 KiB of bits.
  static constexpr uint64_t kChunksPerPage = 32768;

  bool empty() const { return empty_; }
  bool contains(uint64_t chunk) const;
  // Throws std::bad_alloc when a new page cannot be made.
  void insert(uint64_t chunk);

  // The bytes of the pages made so far.
  uint64_t memoryBytes() const;

 private:
  static constexpr size_t kWordsPerPage = kChunksPerPage / 64;

  std::vector<std::unique_ptr<uint64_t[]>> pages_;
  bool empty_ = true;
};

}  // namespace vsimgpvd
