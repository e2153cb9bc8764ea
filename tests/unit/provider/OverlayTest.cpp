#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "ProviderTestSupport.h"
#include "provider/SpillFile.h"

using namespace vsimgpvd;

namespace {

enum class Store { Memory, TempFile };

// A two-part image (the border at 6000, inside a 4 KiB chunk) with a model of
// what reads must return: the data, its zero tail, and every accepted write.
class OverlayTest : public ProviderTest, public ::testing::WithParamInterface<Store> {
 protected:
  void SetUp() override {
    parts_ = {patternBytes(6000, 21), patternBytes(10000, 22)};
    first_ = makeFile(u"vol.001", parts_[0]);
    makeFile(u"vol.002", parts_[1]);
    model_ = parts_[0] + parts_[1];
    model_.resize(16384, '\0');
    tempPath_ = dir_.file(u"overlay.tmp");
    ASSERT_EQ(initImage(*image_, first_, GetParam() == Store::TempFile ? tempPath_.c_str() : nullptr),
              kOpenedWithPaddedTail);
  }

  // Writes `count` new bytes at `offset` and applies what was accepted to the model.
  uint32_t write(uint64_t offset, uint32_t count, uint32_t seed) {
    const std::string bytes = patternBytes(count, seed);
    const uint32_t written = image_->write(bytes.data(), offset, count);
    if (written > 0) model_.replace(static_cast<size_t>(offset), written, bytes.substr(0, written));
    return written;
  }

  void expectImageFilesUnchanged() {
    EXPECT_EQ(readFileBytes(dir_.path() / "vol.001"), parts_[0]);
    EXPECT_EQ(readFileBytes(dir_.path() / "vol.002"), parts_[1]);
  }

  ImagePtr image_ = createImage();
  std::vector<std::string> parts_;
  std::u16string first_;
  std::u16string tempPath_;
  std::string model_;
};

std::string storeName(Store store) { return store == Store::Memory ? "Memory" : "TempFile"; }

std::ostream& operator<<(std::ostream& out, Store store) { return out << storeName(store); }

}  // namespace

TEST_P(OverlayTest, WritesAreReadBackAroundPartAndChunkBorders) {
  struct Write {
    uint64_t offset;
    uint32_t count;
  };
  const std::vector<Write> writes = {
      {100, 10},      // inside one chunk: the rest of the chunk must still read from the image
      {4090, 20},     // across a chunk border
      {5990, 30},     // across the part border
      {8192, 4096},   // exactly one chunk
      {8200, 8},      // again into a chunk written before
      {12000, 4000},  // over the data's end into the zero tail
      {1, 16382},     // nearly everything, over earlier writes
      {3000, 5},
  };
  uint32_t seed = 100;
  for (const Write& w : writes) {
    ASSERT_EQ(write(w.offset, w.count, seed++), w.count) << "offset " << w.offset;
    ASSERT_EQ(readBytes(*image_, 0, 16384), model_) << "after the write at " << w.offset;
  }
  for (uint64_t offset = 0; offset < model_.size(); offset += 1531) {
    EXPECT_EQ(readBytes(*image_, offset, 2500), model_.substr(static_cast<size_t>(offset), 2500))
        << "offset " << offset;
  }
  expectImageFilesUnchanged();
}

TEST_P(OverlayTest, ASmallWriteLeavesTheRestOfItsChunkAsTheImageHadIt) {
  ASSERT_EQ(write(6100, 1, 5), 1u);
  EXPECT_EQ(readBytes(*image_, 4096, 4096), model_.substr(4096, 4096));
  EXPECT_EQ(readBytes(*image_, 6099, 3), model_.substr(6099, 3));
  expectImageFilesUnchanged();
}

TEST_P(OverlayTest, WritesPastTheEndAreCutOff) {
  EXPECT_EQ(write(16384 - 10, 100, 6), 10u);
  EXPECT_EQ(write(16384, 512, 7), 0u);
  EXPECT_EQ(write(1ull << 40, 512, 8), 0u);
  EXPECT_EQ(readBytes(*image_, 0, 20000), model_);
  EXPECT_EQ(image_->write(nullptr, 0, 512), 0u);
  expectImageFilesUnchanged();
}

TEST_P(OverlayTest, WritesAfterALargerBlockSizeReachTheNewEnd) {
  uint64_t size = 0;
  uint32_t blockSize = 4096;
  ASSERT_TRUE(image_->getDataSize(&size, &blockSize));
  ASSERT_EQ(size, 16384u);
  ASSERT_EQ(write(16000, 384, 9), 384u);
  EXPECT_EQ(readBytes(*image_, 0, 16384), model_);
}

INSTANTIATE_TEST_SUITE_P(Stores, OverlayTest, ::testing::Values(Store::Memory, Store::TempFile),
                         [](const ::testing::TestParamInfo<Store>& param) { return storeName(param.param); });

TEST_F(ProviderTest, TempFileHoldsWritesAndGoesWithTheInstance) {
  const std::u16string imagePath = makeFile(u"disk.img", patternBytes(1 << 20, 1));
  const std::filesystem::path temp = dir_.path() / "overlay.tmp";
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, imagePath, temp.u16string().c_str()), kOpened);

  const std::string bytes = patternBytes(100, 2);
  ASSERT_EQ(image->write(bytes.data(), 800000, 100), 100u);
  EXPECT_EQ(readBytes(*image, 800000, 100), bytes);

  image.reset();
  EXPECT_FALSE(std::filesystem::exists(temp));
  EXPECT_EQ(readFileBytes(dir_.path() / "disk.img"), patternBytes(1 << 20, 1));
}

TEST_F(ProviderTest, AnExistingFileIsNeverTakenAsTheTempFile) {
  const std::u16string imagePath = makeFile(u"disk.img", patternBytes(1 << 16, 1));
  const std::u16string existing = makeFile(u"precious.txt", "someone else's data");
  ImagePtr image = createImage();
  EXPECT_EQ(initImage(*image, imagePath, existing.c_str()), kTempFileUnusable);
  image.reset();
  EXPECT_EQ(readFileBytes(std::filesystem::path(existing)), "someone else's data");
}

TEST_F(ProviderTest, WithoutATempFileWritesPastTheMemoryBoundGoToAFileOfItsOwn) {
  constexpr uint32_t kRequest = 1 << 20;
  constexpr uint64_t kWritten = SpillFile::kMemoryBound + 2 * kRequest;
  const std::u16string imagePath = makeFile(u"disk.img", "");
  std::filesystem::resize_file(dir_.path() / "disk.img", kWritten);
  const std::u16string log = dir_.file(u"provider.log");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, imagePath, nullptr, log.c_str()), kOpened);

  // One pattern, each request stamped with its own offset.
  const std::string pattern = patternBytes(kRequest, 1);
  auto requestAt = [&](uint64_t offset) {
    const std::string stamp = std::to_string(offset);
    return pattern.substr(0, pattern.size() - stamp.size()) + stamp;
  };
  for (uint64_t offset = 0; offset < kWritten; offset += kRequest) {
    const std::string bytes = requestAt(offset);
    ASSERT_EQ(image->write(bytes.data(), offset, static_cast<uint32_t>(bytes.size())), bytes.size()) << offset;
  }
  for (uint64_t offset = 0; offset < kWritten; offset += kRequest) {
    const std::string bytes = requestAt(offset);
    ASSERT_TRUE(readBytes(*image, offset, static_cast<uint32_t>(bytes.size())) == bytes) << "offset " << offset;
  }
  image.reset();
  EXPECT_NE(readFileBytes(std::filesystem::path(log))
                .find("vsimgpvd overlay memory full at 67108864 bytes, later "
                      "writes go to a temporary file"),
            std::string::npos);
}
