#include "disk/VirtualImageManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "fakes/FakeDiskImage.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"

namespace {

constexpr uint64_t kPrimary = 34 * 512;

// A manager with a fake provider holding 1 MiB of numbered bytes.
class VirtualImageManagerTest : public ::testing::Test {
 protected:
  VirtualImageManagerTest() : factory_(&image_) {
    image_.data.resize(1048576);
    for (size_t i = 0; i < image_.data.size(); ++i) image_.data[i] = static_cast<uint8_t>(i * 13 + i / 512);
    VirtualImageManager::init();
    VirtualImageManager::setDebugLogPath(nullptr);
    VirtualImageManager::setTempFile(nullptr);
    VirtualImageManager::setProgressCallback(nullptr, nullptr);
  }

  int32_t open(const char16_t* password = nullptr) {
    diskSize_ = 0;
    blockSize_ = 512;
    return VirtualImageManager::openImage(u"C:\\images\\vol.img", u"", diskSize_, blockSize_, password);
  }

  FakeDiskImage image_;
  ScopedFakeImageFactory factory_;
  uint64_t diskSize_ = 0;
  uint32_t blockSize_ = 512;
};

// A read of the disk that stays inside the provider, holding the image lock,
// until released (or a generous bound passes).
class BlockedRead {
 public:
  explicit BlockedRead(FakeDiskImage& image)
      : image_(image), insideSeen_(inside_.get_future()), leaveSeen_(leave_.get_future()) {
    image_.duringRead = [this] {
      inside_.set_value();
      leaveSeen_.wait_for(std::chrono::seconds(60));
    };
    reader_ = std::thread([] {
      uint8_t sector[512];
      VirtualImageManager::read(sector, kPrimary, 512);
    });
  }
  ~BlockedRead() { release(); }
  BlockedRead(const BlockedRead&) = delete;
  BlockedRead& operator=(const BlockedRead&) = delete;

  bool waitUntilInside() { return insideSeen_.wait_for(std::chrono::seconds(60)) == std::future_status::ready; }

  void release() {
    if (!reader_.joinable()) return;
    leave_.set_value();
    reader_.join();
    image_.duringRead = nullptr;
  }

 private:
  FakeDiskImage& image_;
  std::promise<void> inside_;
  std::promise<void> leave_;
  std::future<void> insideSeen_;
  std::future<void> leaveSeen_;
  std::thread reader_;
};

// Sets how long calls wait for the image lock, for the guard's scope.
class ScopedImageLockWait {
 public:
  explicit ScopedImageLockWait(std::chrono::milliseconds wait)
      : previous_(VirtualImageManager::swapImageLockWait(wait)) {}
  ~ScopedImageLockWait() { VirtualImageManager::swapImageLockWait(previous_); }
  ScopedImageLockWait(const ScopedImageLockWait&) = delete;
  ScopedImageLockWait& operator=(const ScopedImageLockWait&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

}  // namespace

TEST_F(VirtualImageManagerTest, TranslatesTheProvidersInitCodes) {
  struct Case {
    int32_t code;
    int32_t result;
  };
  const Case cases[] = {{0, 0},   {10, -14}, {1, -2},   {2, -3},   {3, -5},  {4, -4},  {5, -6},  {6, -10}, {7, -11},
                        {8, -12}, {9, -13},  {11, -16}, {12, -17}, {13, -19}, {14, -7}, {99, -7}, {-1, -7}, {-14, -7}};
  for (const auto& c : cases) {
    FakeDiskImage image;
    image.data.resize(4096);
    image.initCode = c.code;
    ScopedFakeImageFactory factory(&image);
    uint64_t size = 0;
    uint32_t block = 512;
    EXPECT_EQ(VirtualImageManager::openImage(u"a.img", u"", size, block, nullptr), c.result) << c.code;
    EXPECT_TRUE(VirtualImageManager::isImageOpen()) << "the instance stays current until closed";
    const bool goesOn = c.result == 0 || c.result == -14;
    EXPECT_EQ(image.count("getDataSize"), goesOn ? 1u : 0u) << c.code;
    EXPECT_EQ(size, goesOn ? 4096u + 34304u : 0u);
    VirtualImageManager::closeImage();
    EXPECT_TRUE(image.released);
    EXPECT_FALSE(VirtualImageManager::isImageOpen());
  }
}

TEST_F(VirtualImageManagerTest, PassesItsStoredPathsToInit) {
  struct Case {
    const char16_t* logPath;
    const char16_t* tempFile;
    const char16_t* password;
    std::u16string expectedLog, expectedTemp;
    bool encryption;
  };
  const Case cases[] = {
      {u"abc", u"t.tmp", nullptr, u"", u"t.tmp", false},  // a 3-character log path is dropped
      {u"a.lg", nullptr, u"secret", u"a.lg", u"", true},  // 4 characters pass unchanged
      {nullptr, u"", u"", u"", u"", true},                // an empty password still asks for encryption
  };
  for (const auto& c : cases) {
    VirtualImageManager::setDebugLogPath(c.logPath);
    VirtualImageManager::setTempFile(c.tempFile);
    ASSERT_EQ(open(c.password), 0);
    EXPECT_EQ(image_.initDebugLogPath, c.expectedLog);
    EXPECT_EQ(image_.initTempFile, c.expectedTemp);
    EXPECT_EQ(image_.initUsingEncryption, c.encryption);
    EXPECT_EQ(image_.passwordWasNull, c.password == nullptr);
    EXPECT_EQ(image_.initImagePath, u"C:\\images\\vol.img");
    VirtualImageManager::closeImage();
  }
}

TEST_F(VirtualImageManagerTest, HandsTheProgressCallbackToTheFactory) {
  auto callback = [](uint32_t, uint64_t, uint64_t, void*) -> uint8_t { return 1; };
  int context = 0;
  VirtualImageManager::setProgressCallback(callback, &context);
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(ScopedFakeImageFactory::lastCallback(), +callback);
  EXPECT_EQ(ScopedFakeImageFactory::lastUser(), &context);
}

TEST_F(VirtualImageManagerTest, OpenFailures) {
  {
    ScopedFakeImageFactory none(nullptr);
    EXPECT_EQ(open(), -1);
    EXPECT_FALSE(VirtualImageManager::isImageOpen());
  }
  image_.dataSizeFails = true;
  EXPECT_EQ(open(), -8);
  image_.dataSizeFails = false;

  // Sector sizes and image sizes that no partition table can describe.
  struct Case {
    uint32_t blockSize;
    uint64_t dataSize;
  };
  const Case cases[] = {{0, 1048576}, {520, 520 * 100}, {32768, 32768 * 4}, {512, 1000}, {512, 0}};
  for (const auto& c : cases) {
    image_.reportedBlockSize = c.blockSize;
    image_.reportedDataSize = c.dataSize;
    EXPECT_EQ(open(), -8) << c.blockSize << " " << c.dataSize;
    uint8_t sector[512];
    EXPECT_EQ(VirtualImageManager::read(sector, 0, 512), 0u) << "a failed open serves nothing";
  }
}

TEST_F(VirtualImageManagerTest, ReadWithNoImageCallsNoProvider) {
  uint8_t buffer[512];
  EXPECT_EQ(VirtualImageManager::read(buffer, 0, 512), 0u);
  EXPECT_EQ(VirtualImageManager::write(buffer, kPrimary, 512), 0u);
  EXPECT_TRUE(image_.calls.empty());

  ASSERT_EQ(open(), 0);
  VirtualImageManager::closeImage();
  image_.calls.clear();
  EXPECT_EQ(VirtualImageManager::read(buffer, kPrimary, 512), 0u);
  EXPECT_TRUE(image_.calls.empty());
}

TEST_F(VirtualImageManagerTest, ReportsTheWholeDiskSizeAndBlockSize) {
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(diskSize_, 1082880u);
  EXPECT_EQ(blockSize_, 512u);

  image_.reportedBlockSize = 4096;
  ASSERT_EQ(open(), 0);
  EXPECT_EQ(blockSize_, 4096u);
  EXPECT_EQ(diskSize_, 1048576u + 45056u);
}

TEST_F(VirtualImageManagerTest, FirstImageSectorComesFromImageOffsetZero) {
  ASSERT_EQ(open(), 0);
  image_.calls.clear();
  std::vector<uint8_t> sector(512);
  ASSERT_EQ(VirtualImageManager::read(sector.data(), kPrimary, 512), 512u);
  ASSERT_EQ(image_.calls.size(), 1u);
  EXPECT_EQ(image_.calls[0].offset, 0u);
  EXPECT_EQ(image_.calls[0].count, 512u);
  EXPECT_EQ(std::memcmp(sector.data(), image_.data.data(), 512), 0);
}

TEST_F(VirtualImageManagerTest, OneRequestSpansAllThreeRegions) {
  image_.data.resize(8192);
  ASSERT_EQ(open(), 0);
  const uint64_t disk = diskSize_;
  std::vector<uint8_t> whole(static_cast<size_t>(disk));
  ASSERT_EQ(VirtualImageManager::read(whole.data(), 0, static_cast<uint32_t>(disk)), disk);
  EXPECT_EQ(whole[510], 0x55);
  EXPECT_EQ(std::memcmp(whole.data() + kPrimary, image_.data.data(), 8192), 0);
  EXPECT_EQ(std::memcmp(whole.data() + disk - 512, "EFI PART", 8), 0);

  // From the last image sector into the secondary area.
  std::vector<uint8_t> tail(1024);
  ASSERT_EQ(VirtualImageManager::read(tail.data(), kPrimary + 8192 - 512, 1024), 1024u);
  EXPECT_EQ(std::memcmp(tail.data(), image_.data.data() + 8192 - 512, 512), 0);
  EXPECT_EQ(std::memcmp(tail.data() + 512, whole.data() + kPrimary + 8192, 512), 0);
}

TEST_F(VirtualImageManagerTest, ShortAndOverlongProviderAnswers) {
  image_.data.resize(8192);
  ASSERT_EQ(open(), 0);
  std::vector<uint8_t> buffer(1024, 0xEE);

  // 10 bytes short: the secondary part is tried from where the image stopped,
  // which lies before the secondary area, so the total is just smaller.
  image_.shortBy = 10;
  EXPECT_EQ(VirtualImageManager::read(buffer.data(), kPrimary + 8192 - 512, 1024), 502u);

  // A provider that claims more than it was asked never moves the request past
  // the caller's buffer.
  image_.shortBy = 0;
  image_.extraMoved = 4096;
  EXPECT_EQ(VirtualImageManager::read(buffer.data(), kPrimary + 8192 - 512, 1024), 1024u);
  const uint8_t basicDataType[4] = {0xA2, 0xA0, 0xD0, 0xEB};
  EXPECT_EQ(std::memcmp(buffer.data() + 512, basicDataType, 4), 0) << "the entry array copy follows the image";
}

TEST_F(VirtualImageManagerTest, FarOffsetsReadNothing) {
  ASSERT_EQ(open(), 0);
  uint8_t buffer[512];
  for (uint64_t offset : {diskSize_, diskSize_ + (uint64_t{1} << 32), ~uint64_t{0} - 100}) {
    EXPECT_EQ(VirtualImageManager::read(buffer, offset, 512), 0u) << offset;
  }
}

TEST_F(VirtualImageManagerTest, WritesGoWhereTheyBelong) {
  ASSERT_EQ(open(), 0);
  std::vector<uint8_t> pattern(1024, 0xA5);
  image_.calls.clear();
  ASSERT_EQ(VirtualImageManager::write(pattern.data(), kPrimary - 512, 1024), 1024u);
  ASSERT_EQ(image_.calls.size(), 1u);
  EXPECT_EQ(image_.calls[0].op, "write");
  EXPECT_EQ(image_.calls[0].offset, 0u);
  EXPECT_EQ(image_.calls[0].count, 512u);
  EXPECT_EQ(image_.data[0], 0xA5);

  // Sector 0 is rewritten in memory and read back so, until the next open.
  ASSERT_EQ(VirtualImageManager::write(pattern.data(), 0, 512), 512u);
  uint8_t sector[512];
  ASSERT_EQ(VirtualImageManager::read(sector, 0, 512), 512u);
  EXPECT_EQ(sector[510], 0xA5);
  ASSERT_EQ(open(), 0);
  ASSERT_EQ(VirtualImageManager::read(sector, 0, 512), 512u);
  EXPECT_EQ(sector[510], 0x55);
}

TEST_F(VirtualImageManagerTest, OpenReleasesAnInstanceLeftCurrent) {
  FakeDiskImage first;
  first.data.resize(4096);
  {
    ScopedFakeImageFactory factory(&first);
    ASSERT_EQ(open(), 0);
    FakeDiskImage second;
    second.data.resize(4096);
    ScopedFakeImageFactory next(&second);
    ASSERT_EQ(open(), 0);
    EXPECT_TRUE(first.released);
    EXPECT_FALSE(second.released);
  }
}

TEST_F(VirtualImageManagerTest, LogsTheOpenAndTheClose) {
  TempDir dir;
  const std::u16string path = dir.file(u"manager.log");
  openDebugLog(path.c_str());
  ASSERT_EQ(open(), 0);
  VirtualImageManager::closeImage();
  VirtualImageManager::closeImage();  // nothing to close: no line
  closeDebugLog();
  const std::string end = VK_TEXT_LINE_END;
  const std::string log = readFileBytes(std::filesystem::path(path));
  const std::string expected =
      "VirtualDiskLayout::init OK" + end + "VirtualImageManager::openImage init image_size=1048576 block_size=512" +
      end + "VirtualImageManager::openImage getDataSize image_size=1082880" + end +
      "VirtualImageManager::openImage getRangeForSectorMain res=0x0 min=0 max=2047 has_data=true" + end +
      "VirtualImageManager::openImage getRangeForSectorBase res=0x2 min=0 max=0 has_data=false" + end +
      "VirtualImageManager::closeImage " + end;
  ASSERT_GE(log.size(), expected.size());
  EXPECT_EQ(log.substr(log.size() - expected.size()), expected);

  openDebugLog(path.c_str());
  {
    ScopedFakeImageFactory none(nullptr);
    EXPECT_EQ(open(), -1);
  }
  closeDebugLog();
  EXPECT_EQ(readFileBytes(std::filesystem::path(path)),
            end + "VirtualImageManager::openImage err CreateInstanceVirtualDiskImage " + end);
}

TEST_F(VirtualImageManagerTest, CloseGivesUpOnABusyImageAndSaysSo) {
  TempDir dir;
  const std::u16string path = dir.file(u"manager.log");
  ASSERT_EQ(open(), 0);
  openDebugLog(path.c_str());
  {
    ScopedImageLockWait shortWait(std::chrono::milliseconds(20));
    BlockedRead busy(image_);
    ASSERT_TRUE(busy.waitUntilInside());
    EXPECT_FALSE(VirtualImageManager::closeImage());
    EXPECT_FALSE(VirtualImageManager::shutdown());
    EXPECT_TRUE(VirtualImageManager::isImageOpen());
    EXPECT_FALSE(image_.released);
  }
  EXPECT_TRUE(VirtualImageManager::closeImage());
  EXPECT_TRUE(image_.released);
  EXPECT_TRUE(VirtualImageManager::closeImage()) << "nothing left to close";
  closeDebugLog();
  const std::string end = VK_TEXT_LINE_END;
  const std::string busy = "VirtualImageManager::closeImage image lock busy" + end;
  EXPECT_EQ(readFileBytes(std::filesystem::path(path)), end + busy + busy + "VirtualImageManager::closeImage " + end);
}
