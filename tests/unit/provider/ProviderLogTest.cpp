#include <gtest/gtest.h>

#include <string>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

const std::string kEnd = VK_TEXT_LINE_END;

std::string ascii(const std::u16string& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST_F(ProviderTest, LogRecordsInitOverlayPaddingAndReleaseAfterWhatWasThere) {
  const std::u16string first = makeFile(u"vol.001", patternBytes(3000, 1));
  makeFile(u"vol.002", patternBytes(2000, 2));
  makeFile(u"provider.log", "earlier" + kEnd);
  const std::u16string log = dir_.file(u"provider.log");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, first, nullptr, log.c_str()), kOpenedWithPaddedTail);
  image.reset();

  const std::string expected = "earlier" + kEnd + "vsimgpvd init image=" + ascii(first) + " parts=2 data_size=5000" +
                               kEnd + "vsimgpvd overlay=memory" + kEnd +
                               "vsimgpvd data_size=5000 is not a whole number of sectors, the tail reads as zeros" +
                               kEnd + "vsimgpvd release" + kEnd;
  EXPECT_EQ(readFileBytes(dir_.path() / "provider.log"), expected);
}

TEST_F(ProviderTest, LogRecordsTheTempFileAndFailures) {
  const std::u16string log = dir_.file(u"provider.log");
  const std::u16string missing = dir_.file(u"missing.img");
  const std::u16string present = makeFile(u"disk.img", patternBytes(4096, 1));
  const std::u16string temp = dir_.file(u"overlay.tmp");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, missing, nullptr, log.c_str()), kImageNotFound);
  ASSERT_EQ(initImage(*image, present, temp.c_str(), log.c_str()), kOpened);
  ASSERT_EQ(initImage(*image, present, temp.c_str(), log.c_str()), kAlreadyInitialised);

  const std::string expected = "vsimgpvd init failed code=1 image=" + ascii(missing) + kEnd +
                               "vsimgpvd init image=" + ascii(present) + " parts=1 data_size=4096" + kEnd +
                               "vsimgpvd overlay=file path=" + ascii(temp) + kEnd +
                               "vsimgpvd init failed code=12 (already initialised)" + kEnd;
  EXPECT_EQ(readFileBytes(dir_.path() / "provider.log"), expected);
}

// A logged path is the real one: characters above U+00FF are written as their code points.
TEST_F(ProviderTest, LogWritesCharactersAbove0xFFAsTheirCodePoints) {
  const std::u16string name = u"vol-\u00e9\u4e2d.img";
  const std::u16string path = makeFile(name, patternBytes(512, 1));
  const std::u16string log = dir_.file(u"provider.log");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, path, nullptr, log.c_str()), kOpened);

  const std::string written = readFileBytes(dir_.path() / "provider.log");
  const std::string expectedLine = "vsimgpvd init image=" + ascii(dir_.file(u"")) + "vol-\xE9\\u{4E2D}.img parts=1";
  EXPECT_NE(written.find(expectedLine), std::string::npos) << written;
}

TEST_F(ProviderTest, UnopenableLogIsSilentAndInitStillSucceeds) {
  const std::u16string log = dir_.file(u"missing-dir/provider.log");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(512, 1)), nullptr, log.c_str()), kOpened);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "missing-dir"));
}

TEST_F(ProviderTest, EmptyLogPathWritesNoLog) {
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"disk.img", patternBytes(512, 1)), nullptr, u""), kOpened);
  image.reset();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator()), 1);
}
