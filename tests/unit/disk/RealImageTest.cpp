// The disk view over the real image provider and a real image file.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "disk/VirtualImageManager.h"
#include "support/TempDir.h"

namespace {

constexpr uint64_t kPrimary = 34 * 512;

class RealImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.resize(256 * 1024);
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = static_cast<uint8_t>(i * 31 + 7);
    std::ofstream(dir_.path() / "volume.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    VirtualImageManager::init();
    VirtualImageManager::setDebugLogPath(nullptr);
    VirtualImageManager::setProgressCallback(nullptr, nullptr);
  }
  void TearDown() override {
    VirtualImageManager::closeImage();
    VirtualImageManager::setTempFile(nullptr);
  }

  int32_t open() {
    diskSize_ = 0;
    blockSize_ = 512;
    const std::u16string path = dir_.file(u"volume.img");
    return VirtualImageManager::openImage(path.c_str(), u"", diskSize_, blockSize_, nullptr);
  }

  TempDir dir_;
  std::vector<uint8_t> image_;
  uint64_t diskSize_ = 0;
  uint32_t blockSize_ = 0;
};

}  // namespace

TEST_F(RealImageTest, ServesTheImageInsideTheDisk) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(diskSize_, image_.size() + 34304);
  std::vector<uint8_t> disk(static_cast<size_t>(diskSize_));
  ASSERT_EQ(VirtualImageManager::read(disk.data(), 0, static_cast<uint32_t>(disk.size())), disk.size());
  EXPECT_EQ(std::memcmp(disk.data() + kPrimary, image_.data(), image_.size()), 0);
  EXPECT_EQ(std::memcmp(disk.data() + 512, "EFI PART", 8), 0);
  EXPECT_EQ(std::memcmp(disk.data() + disk.size() - 512, "EFI PART", 8), 0);
}

// Writes reach the overlay (memory, or the temp file) and are read back; the
// image file keeps every byte it had.
TEST_F(RealImageTest, WritesNeverChangeTheImageFile) {
  for (const char16_t* tempName : {static_cast<const char16_t*>(nullptr), u"overlay.tmp"}) {
    SCOPED_TRACE(tempName ? "temp file overlay" : "memory overlay");
    const std::u16string tempPath = tempName ? dir_.file(tempName) : u"";
    VirtualImageManager::setTempFile(tempName ? tempPath.c_str() : nullptr);
    ASSERT_EQ(open(), 0);
    std::vector<uint8_t> pattern(3000, 0xC4);
    // Across the border of the primary area and the image, and in the middle.
    ASSERT_EQ(VirtualImageManager::write(pattern.data(), kPrimary - 1000, 3000), 3000u);
    ASSERT_EQ(VirtualImageManager::write(pattern.data(), kPrimary + 100000, 3000), 3000u);
    std::vector<uint8_t> back(3000);
    ASSERT_EQ(VirtualImageManager::read(back.data(), kPrimary + 100000, 3000), 3000u);
    EXPECT_EQ(back, pattern);
    ASSERT_EQ(VirtualImageManager::read(back.data(), kPrimary - 1000, 3000), 3000u);
    EXPECT_EQ(back, pattern);
    VirtualImageManager::closeImage();

    const std::string onDisk = readFileBytes(dir_.path() / "volume.img");
    ASSERT_EQ(onDisk.size(), image_.size());
    EXPECT_EQ(std::memcmp(onDisk.data(), image_.data(), image_.size()), 0);
    if (tempName) {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(tempPath)));
    }
  }
}

TEST_F(RealImageTest, MissingImageFileIsReported) {
  uint64_t size = 0;
  uint32_t block = 512;
  const std::u16string missing = dir_.file(u"absent.img");
  EXPECT_EQ(VirtualImageManager::openImage(missing.c_str(), u"", size, block, nullptr), -2);
  VirtualImageManager::closeImage();
}
