#include "provider/ChunkBitmap.h"

#include <algorithm>
#include <new>

namespace vsimgpvd {

bool ChunkBitmap::contains(uint64_t chunk) const {
  const uint64_t page = chunk / kChunksPerPage;
  if (page >= pages_.size()) return false;
  const uint64_t* words = pages_[static_cast<size_t>(page)].get();
  const auto bit = static_cast<size_t>(chunk % kChunksPerPage);
  return words && (words[bit / 64] >> (bit % 64) & 1) != 0;
}

void ChunkBitmap::insert(uint64_t chunk) {
  const uint64_t page = chunk / kChunksPerPage;
  if (page >= pages_.max_size()) throw std::bad_alloc();
  const auto index = static_cast<size_t>(page);
  if (index >= pages_.size()) pages_.resize(index + 1);
  std::unique_ptr<uint64_t[]>& words = pages_[index];
  if (!words) words = std::make_unique<uint64_t[]>(kWordsPerPage);
  const auto bit = static_cast<size_t>(chunk % kChunksPerPage);
  words[bit / 64] |= uint64_t{1} << (bit % 64);
  empty_ = false;
}

uint64_t ChunkBitmap::memoryBytes() const {
  const auto made = std::count_if(pages_.begin(), pages_.end(), [](const auto& page) { return page != nullptr; });
  return static_cast<uint64_t>(made) * kWordsPerPage * sizeof(uint64_t) +
         pages_.capacity() * sizeof(std::unique_ptr<uint64_t[]>);
}

}  // namespace vsimgpvd
