#include "com/MountParams.h"

#include <gtest/gtest.h>

#include "support/CapturedLog.h"

namespace {

constexpr int16_t kVariantTrue = -1;
constexpr int16_t kVariantFalse = 0;

std::u16string orEmpty(const char16_t* text) { return text ? text : u"(null)"; }

TEST(MountParamsTest, CopiesWhatIsGivenAndLogsEveryValueWithThePasswordMasked) {
  CapturedLog log;
  const MountParams params(u"C:\\img.vkb", u"C:\\base.vkb", kVariantTrue, u"s3cret", u"C:\\dbg.log", u"C:\\tmp",
                           u"/pid 1234 /network");
  EXPECT_EQ(orEmpty(params.getFileName()), u"C:\\img.vkb");
  EXPECT_EQ(orEmpty(params.getBaseFileName()), u"C:\\base.vkb");
  EXPECT_EQ(orEmpty(params.getPassword()), u"s3cret");
  EXPECT_EQ(orEmpty(params.getDebugFile()), u"C:\\dbg.log");
  EXPECT_EQ(orEmpty(params.getTempFile()), u"C:\\tmp");
  EXPECT_EQ(params.getPid(), 1234u);
  EXPECT_TRUE(params.isNetworkImage());
  EXPECT_EQ(log.lines(),
            "MountParams::MountParams getFileName=C:\\img.vkb\n"
            "MountParams::MountParams getBaseFileName=C:\\base.vkb\n"
            "MountParams::MountParams getDebugFile=C:\\dbg.log\n"
            "MountParams::MountParams getTempFile=C:\\tmp\n"
            "MountParams::MountParams getPassword=********\n"
            "MountParams::MountParams getPid=1234\n"
            "MountParams::MountParams isNetworkImage=true\n");
}

TEST(MountParamsTest, NullAndEmptyArgumentsFollowTheirOwnRules) {
  CapturedLog log;
  const MountParams params(u"", nullptr, kVariantTrue, u"", u"", u"", nullptr);
  EXPECT_EQ(params.getFileName(), nullptr);
  EXPECT_EQ(params.getBaseFileName(), nullptr);
  EXPECT_EQ(params.getDebugFile(), nullptr);
  ASSERT_NE(params.getPassword(), nullptr);
  EXPECT_EQ(std::u16string(params.getPassword()), u"");
  ASSERT_NE(params.getTempFile(), nullptr);
  EXPECT_EQ(std::u16string(params.getTempFile()), u"");
  EXPECT_EQ(params.getPid(), 0u);
  EXPECT_FALSE(params.isNetworkImage());
  EXPECT_EQ(log.lines(),
            "MountParams::MountParams getFileName=NULL\n"
            "MountParams::MountParams getBaseFileName=NULL\n"
            "MountParams::MountParams getDebugFile=NULL\n"
            "MountParams::MountParams getTempFile=\n"
            "MountParams::MountParams getPassword=\n"
            "MountParams::MountParams getPid=0\n"
            "MountParams::MountParams isNetworkImage=false\n");
}

TEST(MountParamsTest, APasswordWithoutEncryptionIsDropped) {
  CapturedLog log;
  const MountParams params(u"a.vkb", nullptr, kVariantFalse, u"s3cret", nullptr, nullptr, u"");
  EXPECT_EQ(params.getPassword(), nullptr);
  EXPECT_EQ(params.getTempFile(), nullptr);
  EXPECT_NE(log.lines().find("MountParams::MountParams getPassword=NULL\n"), std::string::npos);
}

TEST(MountParamsTest, AnyNonZeroEncryptionFlagCounts) {
  EXPECT_NE(MountParams(u"a", nullptr, 1, u"p", nullptr, nullptr, nullptr).getPassword(), nullptr);
}

TEST(MountParamsTest, OptionsComeFromTheSplitLine) {
  const MountParams joined(u"a", nullptr, 0, nullptr, nullptr, nullptr, u"/pid=77");
  EXPECT_EQ(joined.getPid(), 77u);
  const MountParams valueAfterJoined(u"a", nullptr, 0, nullptr, nullptr, nullptr, u"/pid=77 88 /network");
  EXPECT_EQ(valueAfterJoined.getPid(), 0u);
  EXPECT_TRUE(valueAfterJoined.isNetworkImage());
}

}  // namespace
