#include <sys/stat.h>

#include <gtest/gtest.h>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

// A FIFO would block an open for reading until a writer came; the provider
// must refuse it at once rather than wait.
TEST_F(ProviderTest, FifoIsRefusedWithoutWaiting) {
  const std::filesystem::path fifo = dir_.path() / "disk.img";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ImagePtr image = createImage();
  EXPECT_EQ(initImage(*image, fifo.u16string()), kUnknownFormat);
}

TEST_F(ProviderTest, CharacterDeviceIsRefused) {
  ImagePtr image = createImage();
  EXPECT_EQ(initImage(*image, u"/dev/zero"), kUnknownFormat);
}
