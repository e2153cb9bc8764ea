#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

// Parts of uneven sizes, some not whole sectors, one of a single byte.
const std::vector<size_t> kPartSizes = {5000, 512, 1, 8191, 4097};

class MultiPartTest : public ProviderTest {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < kPartSizes.size(); ++i) {
      const std::string bytes = patternBytes(kPartSizes[i], static_cast<uint32_t>(i + 10));
      const std::u16string name = u"vol.00" + std::u16string(1, static_cast<char16_t>(u'1' + i));
      const std::u16string path = makeFile(name, bytes);
      if (i == 0) first_ = path;
      data_ += bytes;
    }
    padded_ = data_ + std::string((512 - data_.size() % 512) % 512, '\0');
    ASSERT_EQ(initImage(*image_, first_), kOpenedWithPaddedTail);
  }

  ImagePtr image_ = createImage();
  std::u16string first_;
  std::string data_;
  std::string padded_;  // the data with its zero tail up to a whole sector
};

}  // namespace

TEST_F(MultiPartTest, ReadsTheWholeSetInOneCall) {
  EXPECT_EQ(readBytes(*image_, 0, static_cast<uint32_t>(padded_.size())), padded_);
}

TEST_F(MultiPartTest, ReadsMatchTheConcatenationAtEveryPartBorder) {
  std::vector<uint64_t> borders;
  uint64_t end = 0;
  for (size_t size : kPartSizes) borders.push_back(end += size);
  for (uint64_t border : borders) {
    for (int64_t delta : {-4097, -600, -2, -1, 0, 1, 511}) {
      const uint64_t offset = border + static_cast<uint64_t>(delta);
      if (offset >= padded_.size()) continue;  // before the start (wrapped) or past the end
      for (uint32_t count : {1u, 2u, 513u, 4096u, 9000u}) {
        const uint32_t expected = static_cast<uint32_t>(std::min<uint64_t>(count, padded_.size() - offset));
        EXPECT_EQ(readBytes(*image_, offset, count), padded_.substr(static_cast<size_t>(offset), expected))
            << "offset " << offset << " count " << count;
      }
    }
  }
}

TEST_F(MultiPartTest, ReadsAtAndPastTheEndAreShort) {
  const uint64_t end = padded_.size();
  struct Case {
    uint64_t offset;
    uint32_t count;
    uint32_t expected;
  };
  for (const Case& c : {Case{end - 100, 100, 100}, Case{end - 100, 4096, 100},
                        Case{data_.size() - 1, 4096, 1 + static_cast<uint32_t>(end - data_.size())},
                        Case{end - 1, 2, 1}, Case{end, 512, 0}, Case{end + 512, 512, 0}, Case{~0ull - 10, 100, 0}}) {
    const std::string got = readBytes(*image_, c.offset, c.count);
    ASSERT_EQ(got.size(), c.expected) << "offset " << c.offset;
    EXPECT_EQ(got, padded_.substr(static_cast<size_t>(std::min<uint64_t>(c.offset, end)), c.expected))
        << "offset " << c.offset;
  }
}

TEST_F(MultiPartTest, PaddedTailReadsAsZeros) {
  const size_t tail = padded_.size() - data_.size();
  ASSERT_GT(tail, 0u);
  EXPECT_EQ(readBytes(*image_, data_.size(), 512), std::string(tail, '\0'));
}

TEST_F(MultiPartTest, NothingIsReadIntoANullBufferOrForZeroBytes) {
  EXPECT_EQ(image_->read(nullptr, 0, 512), 0u);
  char byte = 'x';
  EXPECT_EQ(image_->read(&byte, 0, 0), 0u);
  EXPECT_EQ(byte, 'x');
}

namespace {

struct SizeCase {
  size_t dataSize;
  uint32_t blockSize;
  uint64_t reported;
};

class DataSizeTest : public ProviderTest, public ::testing::WithParamInterface<SizeCase> {};

}  // namespace

TEST_P(DataSizeTest, RoundsUpToTheCallersBlockAndReadsToThatEnd) {
  const SizeCase& c = GetParam();
  const std::string data = patternBytes(c.dataSize, 7);
  ImagePtr image = createImage();
  initImage(*image, makeFile(u"disk.img", data));
  uint64_t size = 0;
  uint32_t blockSize = c.blockSize;
  ASSERT_TRUE(image->getDataSize(&size, &blockSize));
  EXPECT_EQ(blockSize, c.blockSize);
  EXPECT_EQ(size, c.reported);
  EXPECT_EQ(readBytes(*image, 0, static_cast<uint32_t>(c.reported) + 4096),
            data + std::string(static_cast<size_t>(c.reported) - c.dataSize, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Table, DataSizeTest,
                         ::testing::Values(SizeCase{4096, 512, 4096}, SizeCase{1000, 512, 1024}, SizeCase{1, 512, 512},
                                           SizeCase{1000, 4096, 4096}, SizeCase{5000, 4096, 8192},
                                           SizeCase{8192, 4096, 8192}, SizeCase{4097, 4096, 8192},
                                           SizeCase{700, 1000, 1000}),
                         [](const ::testing::TestParamInfo<SizeCase>& param) {
                           return "Data" + std::to_string(param.param.dataSize) + "Block" +
                                  std::to_string(param.param.blockSize);
                         });

TEST_F(ProviderTest, DataSizeIsRefusedForABlockSizeOfZero) {
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(1000, 1))), kOpenedWithPaddedTail);
  uint64_t size = 77;
  uint32_t blockSize = 0;
  EXPECT_FALSE(image->getDataSize(&size, &blockSize));
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(blockSize, 0u);
  // The 512-byte default still stands for reads.
  EXPECT_EQ(readBytes(*image, 0, 4096).size(), 1024u);
}

TEST_F(ProviderTest, ReadsBeforeGetDataSizeEndAtAWholeSector) {
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(5000, 1))), kOpenedWithPaddedTail);
  EXPECT_EQ(readBytes(*image, 5100, 100), std::string(20, '\0'));
  EXPECT_EQ(readBytes(*image, 5120, 10), "");
}

TEST_F(ProviderTest, UninitialisedInstanceAnswersNothing) {
  ImagePtr image = createImage();
  uint64_t size = 0;
  uint32_t blockSize = 512;
  EXPECT_FALSE(image->getDataSize(&size, &blockSize));
  char buffer[512] = {};
  EXPECT_EQ(image->read(buffer, 0, sizeof buffer), 0u);
  EXPECT_EQ(image->write(buffer, 0, sizeof buffer), 0u);
  SectorRange range{1, 2, true};
  EXPECT_EQ(image->getRangeForSectorMain(0, &range), kRangeNotInitialised);
  EXPECT_FALSE(range.has_data);
  image->reserved0();
  image->reserved3();
}

// Two letters after the dot name a set only from its first part, ".aa": a
// file's own extension is not taken for a part, whatever lies beside it.
TEST_F(ProviderTest, AFileWithATwoLetterExtensionIsReadAloneBesideItsSiblings) {
  const std::string bytes = patternBytes(4096, 3);
  const std::u16string path = makeFile(u"disk.gz", bytes);
  makeFile(u"disk.xz", patternBytes(512, 4));
  makeFile(u"disk.ha", patternBytes(512, 5));
  const ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, path), kOpened);
  uint64_t size = 0;
  uint32_t blockSize = 512;
  ASSERT_TRUE(image->getDataSize(&size, &blockSize));
  EXPECT_EQ(size, bytes.size());
  EXPECT_EQ(readBytes(*image, 0, 4096), bytes);
}
