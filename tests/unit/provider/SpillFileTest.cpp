#include "provider/SpillFile.h"

#include <gtest/gtest.h>

#include <string>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

constexpr uint32_t kBlock = SpillFile::kBlockSize;
// Small enough that a few writes fill it.
constexpr uint64_t kBound = 4 * kBlock;

int tempFilesAsked = 0;

std::unique_ptr<ImageFile> countedTempFile() {
  ++tempFilesAsked;
  return createUnnamedTempFile();
}

std::unique_ptr<ImageFile> noTempFile() {
  ++tempFilesAsked;
  return nullptr;
}

// A store with a small memory bound and a model of what it must read back.
class SpillFileTest : public ::testing::Test {
 protected:
  explicit SpillFileTest(SpillFile::TempFileFactory factory = &countedTempFile)
      : store_(log_, kBound, factory), model_(64 * kBlock, '\0') {
    tempFilesAsked = 0;
  }

  // Writes `count` new bytes at `offset` and applies what was accepted to the model.
  uint32_t write(uint64_t offset, uint32_t count, uint32_t seed) {
    const std::string bytes = patternBytes(count, seed);
    const uint32_t written = store_.writeAt(bytes.data(), offset, count);
    model_.replace(static_cast<size_t>(offset), written, bytes.substr(0, written));
    return written;
  }

  std::string read(uint64_t offset, uint32_t count) {
    std::string bytes(count, '\x5A');
    bytes.resize(store_.readAt(bytes.data(), offset, count));
    return bytes;
  }

  ProviderLog log_;
  SpillFile store_;
  std::string model_;
};

class SpillFileWithoutTempFileTest : public SpillFileTest {
 protected:
  SpillFileWithoutTempFileTest() : SpillFileTest(&noTempFile) {}
};

}  // namespace

TEST_F(SpillFileTest, WritesPastTheMemoryBoundGoToATempFileAndReadBack) {
  struct Write {
    uint64_t offset;
    uint32_t count;
  };
  const Write writes[] = {
      {100, 10},                  // the first block in memory
      {kBlock - 5, 10},           // a second, across a block border
      {10 * kBlock, 2 * kBlock},  // two more: memory is full
      {40 * kBlock + 7, 9000},    // spilled, unaligned, over three blocks
      {3 * kBlock, kBlock},       // spilled, between blocks in memory
      {150, 20},                  // a block in memory, rewritten after the spill
      {12 * kBlock - 1, 2},       // one byte in memory, one spilled
      {63 * kBlock, kBlock},      // the last block, so the whole range reads back
  };
  uint32_t seed = 1;
  for (const Write& w : writes) {
    ASSERT_EQ(write(w.offset, w.count, seed++), w.count) << "offset " << w.offset;
    EXPECT_LE(store_.memoryBytes(), kBound) << "after the write at " << w.offset;
    ASSERT_TRUE(read(w.offset, w.count) == model_.substr(static_cast<size_t>(w.offset), w.count))
        << "offset " << w.offset;
  }
  EXPECT_EQ(tempFilesAsked, 1);
  EXPECT_TRUE(read(0, static_cast<uint32_t>(model_.size())) == model_) << "earlier writes stay, the rest is zeros";
  for (size_t offset = 0; offset + 5000 <= model_.size(); offset += 3001) {
    EXPECT_TRUE(read(offset, 5000) == model_.substr(offset, 5000)) << "offset " << offset;
  }
}

TEST_F(SpillFileTest, NoTempFileWhileMemoryHoldsTheWrites) {
  for (uint32_t block = 0; block < kBound / kBlock; ++block) {
    ASSERT_EQ(write(block * 7 * kBlock, kBlock, block), kBlock);
    ASSERT_EQ(write(block * 7 * kBlock + 10, 100, block + 50), 100u) << "a rewrite takes no new block";
  }
  EXPECT_EQ(store_.memoryBytes(), kBound);
  EXPECT_EQ(tempFilesAsked, 0);
  EXPECT_TRUE(read(0, static_cast<uint32_t>(model_.size())) == model_) << "unwritten blocks read as zeros";
}

TEST_F(SpillFileWithoutTempFileTest, WritesThatDoNotFitStopShortAndTheRestStays) {
  TempDir dir;
  log_.open(dir.file(u"provider.log").c_str());
  ASSERT_EQ(write(0, 3 * kBlock, 1), 3 * kBlock);
  EXPECT_EQ(write(3 * kBlock - 10, 2 * kBlock, 2), 10u + kBlock) << "the part that fits memory is written";
  EXPECT_EQ(write(20 * kBlock, 100, 3), 0u);
  EXPECT_EQ(write(30 * kBlock, 100, 4), 0u);
  EXPECT_EQ(tempFilesAsked, 3) << "each write that needs the temp file tries again";
  EXPECT_EQ(write(kBlock, 50, 5), 50u) << "blocks in memory still take writes";
  EXPECT_TRUE(read(0, 4 * kBlock) == model_.substr(0, 4 * kBlock));
  EXPECT_LE(store_.memoryBytes(), kBound);
  log_.close();
  EXPECT_EQ(readFileBytes(dir.path() / "provider.log"),
            "vsimgpvd overlay memory full at 16384 bytes and no temporary file can be created, writes fail" +
                std::string(VK_TEXT_LINE_END))
      << "the failure is logged once";
}
