#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace vsimgpvd {

// A set of chunk numbers kept as one bit per chunk, in pages made when a
// chunk in their range is first added and found through a table of the pages
// made. Its memory follows the ranges touched, never the count of chunks nor
// the highest one, and is bounded: past kMaxPages pages no new range can be
// added. Not thread-safe.
class ChunkBitmap {
 public:
  // The chunks one page holds: 4 KiB of bits.
  static constexpr uint64_t kChunksPerPage = 32768;
  // 64 MiB of bits at the most.
  static constexpr size_t kMaxPages = 16384;

  bool empty() const { return empty_; }
  bool contains(uint64_t chunk) const;
  // Throws std::bad_alloc when a new page cannot be made or would pass kMaxPages.
  void insert(uint64_t chunk);

  // The bytes of the pages made so far.
  uint64_t memoryBytes() const;

 private:
  static constexpr size_t kWordsPerPage = kChunksPerPage / 64;

  std::unordered_map<uint64_t, std::unique_ptr<uint64_t[]>> pages_;
  bool empty_ = true;
};

}  // namespace vsimgpvd
