#include "provider/ChunkBitmap.h"

#include <new>

namespace vsimgpvd {

bool ChunkBitmap::contains(uint64_t chunk) const {
  const auto found = pages_.find(chunk / kChunksPerPage);
  if (found == pages_.end()) return false;
  const auto bit = static_cast<size_t>(chunk % kChunksPerPage);
  return (found->second[bit / 64] >> (bit % 64) & 1) != 0;
}

void ChunkBitmap::insert(uint64_t chunk) {
  const uint64_t page = chunk / kChunksPerPage;
  auto found = pages_.find(page);
  if (found == pages_.end()) {
    if (pages_.size() >= kMaxPages) throw std::bad_alloc();
    found = pages_.emplace(page, std::make_unique<uint64_t[]>(kWordsPerPage)).first;
  }
  const auto bit = static_cast<size_t>(chunk % kChunksPerPage);
  found->second[bit / 64] |= uint64_t{1} << (bit % 64);
  empty_ = false;
}

uint64_t ChunkBitmap::memoryBytes() const {
  // The pages, and about what the table spends on each.
  return static_cast<uint64_t>(pages_.size()) * (kWordsPerPage * sizeof(uint64_t) + 4 * sizeof(void*));
}

}  // namespace vsimgpvd
