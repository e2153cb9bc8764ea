#include <gtest/gtest.h>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

struct RangeCase {
  uint32_t blockSize;  // 0: getDataSize not called (512 stands)
  uint64_t sector;
  uint32_t result;
  SectorRange range;
};

class RangeTest : public ProviderTest, public ::testing::WithParamInterface<RangeCase> {};

}  // namespace

// 5000 bytes of data: 10 sectors of 512 bytes, 2 blocks of 4096.
TEST_P(RangeTest, MainImageHasDataEverywhereUpToItsEnd) {
  const RangeCase& c = GetParam();
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(5000, 1))), kOpenedWithPaddedTail);
  if (c.blockSize != 0) {
    uint64_t size = 0;
    uint32_t blockSize = c.blockSize;
    ASSERT_TRUE(image->getDataSize(&size, &blockSize));
  }
  SectorRange range{123, 456, !c.range.has_data};
  EXPECT_EQ(image->getRangeForSectorMain(c.sector, &range), c.result);
  EXPECT_EQ(range.min, c.range.min);
  EXPECT_EQ(range.max, c.range.max);
  EXPECT_EQ(range.has_data, c.range.has_data);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RangeTest,
    ::testing::Values(RangeCase{0, 0, kRangeFound, {0, 9, true}}, RangeCase{0, 9, kRangeFound, {0, 9, true}},
                      RangeCase{0, 10, kSectorPastEnd, {0, 0, false}}, RangeCase{512, 5, kRangeFound, {0, 9, true}},
                      RangeCase{4096, 1, kRangeFound, {0, 1, true}}, RangeCase{4096, 2, kSectorPastEnd, {0, 0, false}},
                      RangeCase{4096, ~0ull, kSectorPastEnd, {0, 0, false}}));

TEST_F(ProviderTest, BaseImageRangeIsAlwaysAbsent) {
  ImagePtr image = createImage();
  SectorRange range{1, 2, true};
  EXPECT_EQ(image->getRangeForSectorBase(0, &range), kNoBaseImage);
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(4096, 1))), kOpened);
  range = {1, 2, true};
  EXPECT_EQ(image->getRangeForSectorBase(3, &range), kNoBaseImage);
  EXPECT_EQ(range.min, 0u);
  EXPECT_EQ(range.max, 0u);
  EXPECT_FALSE(range.has_data);
}
