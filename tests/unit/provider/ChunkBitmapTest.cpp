#include "provider/ChunkBitmap.h"

#include <gtest/gtest.h>

#include <new>
#include <vector>

using namespace vsimgpvd;

namespace {

constexpr uint64_t kPage = ChunkBitmap::kChunksPerPage;

}  // namespace

TEST(ChunkBitmapTest, HoldsExactlyTheChunksAdded) {
  // Around word and page borders, and far out.
  const std::vector<uint64_t> chunks = {0, 63, 64, kPage - 1, kPage, 5 * kPage + 1, uint64_t{1} << 28};
  ChunkBitmap bitmap;
  EXPECT_TRUE(bitmap.empty());
  for (uint64_t chunk : chunks) bitmap.insert(chunk);
  EXPECT_FALSE(bitmap.empty());
  for (uint64_t chunk : chunks) EXPECT_TRUE(bitmap.contains(chunk)) << chunk;
  for (uint64_t absent : {uint64_t{1}, uint64_t{62}, uint64_t{65}, kPage - 2, kPage + 1, 2 * kPage, 5 * kPage,
                          (uint64_t{1} << 28) - 1, (uint64_t{1} << 28) + 1, uint64_t{1} << 40}) {
    EXPECT_FALSE(bitmap.contains(absent)) << absent;
  }
}

TEST(ChunkBitmapTest, MemoryFollowsTheSpanNotTheCount) {
  ChunkBitmap bitmap;
  for (uint64_t chunk = 0; chunk < 4 * kPage; ++chunk) bitmap.insert(chunk);
  const uint64_t fourPages = bitmap.memoryBytes();
  EXPECT_LE(fourPages, 4 * kPage / 8 + 256) << "one bit per chunk and a small page table";

  // Chunks again in the same span take nothing more; a far chunk takes one page and a page table.
  for (uint64_t chunk = 0; chunk < 4 * kPage; chunk += 3) bitmap.insert(chunk);
  EXPECT_EQ(bitmap.memoryBytes(), fourPages);
  // A chunk near the end of the largest image takes one page, not a table up to it.
  const uint64_t far = (uint64_t{1} << 62) / 4096;
  bitmap.insert(far);
  EXPECT_LE(bitmap.memoryBytes(), fourPages + kPage / 8 + 256);
  EXPECT_TRUE(bitmap.contains(far));
  EXPECT_FALSE(bitmap.contains(far - 1));
}

TEST(ChunkBitmapTest, NewRangesStopAtTheBound) {
  ChunkBitmap bitmap;
  for (uint64_t page = 0; page < ChunkBitmap::kMaxPages; ++page) bitmap.insert(page * 7 * kPage);
  EXPECT_THROW(bitmap.insert(ChunkBitmap::kMaxPages * 7 * kPage), std::bad_alloc);
  EXPECT_TRUE(bitmap.contains((ChunkBitmap::kMaxPages - 1) * 7 * kPage));
  bitmap.insert(1);  // a range already made still takes chunks
  EXPECT_TRUE(bitmap.contains(1));
}
