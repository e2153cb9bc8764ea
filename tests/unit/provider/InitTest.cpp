#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ProviderTestSupport.h"
#include "UnreadableFile.h"

using namespace vsimgpvd;

namespace {

constexpr int kDirectory = -1;

struct TestFile {
  std::u16string name;
  int size;  // kDirectory for a directory
};

// Paths are names in the test directory; null stays null and "" stays empty.
struct InitCase {
  std::string name;
  std::vector<TestFile> files;
  const char16_t* image;
  const char16_t* base;
  bool encryption;
  const char16_t* password;
  const char16_t* temp;
  int32_t expected;
};

std::ostream& operator<<(std::ostream& out, const InitCase& c) { return out << c.name; }

const std::vector<InitCase> kInitCases = {
    {"SingleFile", {{u"disk.img", 4096}}, u"disk.img", nullptr, false, nullptr, nullptr, kOpened},
    {"NumberedSet", {{u"d.001", 1024}, {u"d.002", 512}}, u"d.001", nullptr, false, nullptr, nullptr, kOpened},
    {"SetStartingAtALaterPart",
     {{u"d.002", 1024}, {u"d.003", 512}},
     u"d.002",
     nullptr,
     false,
     nullptr,
     nullptr,
     kOpened},
    {"EmptyOptionalArguments", {{u"disk.img", 512}}, u"disk.img", u"", false, u"", u"", kOpened},
    {"MissingFile", {}, u"disk.img", nullptr, false, nullptr, nullptr, kImageNotFound},
    {"MissingFirstPart", {{u"d.002", 512}}, u"d.001", nullptr, false, nullptr, nullptr, kImageNotFound},
    {"MissingDirectory", {}, u"nowhere/disk.img", nullptr, false, nullptr, nullptr, kImageNotFound},
    {"GapInParts",
     {{u"d.001", 512}, {u"d.002", 512}, {u"d.004", 512}},
     u"d.001",
     nullptr,
     false,
     nullptr,
     nullptr,
     kPartMissing},
    {"GapNearTheLastNumber",
     {{u"d.001", 512}, {u"d.999", 512}},
     u"d.001",
     nullptr,
     false,
     nullptr,
     nullptr,
     kPartMissing},
    {"EmptyFile", {{u"disk.img", 0}}, u"disk.img", nullptr, false, nullptr, nullptr, kUnknownFormat},
    {"EmptyParts", {{u"d.001", 0}, {u"d.002", 0}}, u"d.001", nullptr, false, nullptr, nullptr, kUnknownFormat},
    {"Directory", {{u"disk.img", kDirectory}}, u"disk.img", nullptr, false, nullptr, nullptr, kUnknownFormat},
    {"DirectoryAsPart",
     {{u"d.001", 512}, {u"d.002", kDirectory}},
     u"d.001",
     nullptr,
     false,
     nullptr,
     nullptr,
     kUnknownFormat},
    {"BaseImageGiven",
     {{u"disk.img", 512}, {u"base.img", 512}},
     u"disk.img",
     u"base.img",
     false,
     nullptr,
     nullptr,
     kBaseImageNotSupported},
    {"EncryptionAskedFor", {{u"disk.img", 512}}, u"disk.img", nullptr, true, nullptr, nullptr, kEncryptionNotSupported},
    {"PasswordGiven", {{u"disk.img", 512}}, u"disk.img", nullptr, false, u"secret", nullptr, kEncryptionNotSupported},
    {"TempFileInMissingDirectory",
     {{u"disk.img", 512}},
     u"disk.img",
     nullptr,
     false,
     nullptr,
     u"nowhere/overlay.tmp",
     kTempFileUnusable},
    {"TempFileIsAPart",
     {{u"d.001", 512}, {u"d.002", 512}},
     u"d.001",
     nullptr,
     false,
     nullptr,
     u"d.002",
     kTempFileUnusable},
    {"NullImagePath", {{u"disk.img", 512}}, nullptr, nullptr, false, nullptr, nullptr, kInvalidArgument},
    {"EmptyImagePath", {{u"disk.img", 512}}, u"", nullptr, false, nullptr, nullptr, kInvalidArgument},
    {"SizeNotWholeSectors",
     {{u"disk.img", 1000}},
     u"disk.img",
     nullptr,
     false,
     nullptr,
     nullptr,
     kOpenedWithPaddedTail},
    {"PartsNotWholeSectors",
     {{u"d.001", 700}, {u"d.002", 300}},
     u"d.001",
     nullptr,
     false,
     nullptr,
     nullptr,
     kOpenedWithPaddedTail},
    {"NumberZeroIsNotAPart", {{u"d.000", 512}, {u"d.002", 512}}, u"d.000", nullptr, false, nullptr, nullptr, kOpened},
    {"LastThreeDigitPart", {{u"d.998", 512}, {u"d.999", 512}}, u"d.998", nullptr, false, nullptr, nullptr, kOpened},
    {"MorePartsThanThreeDigits",
     {{u"d.998", 512}, {u"d.999", 512}, {u"d.1000", 512}},
     u"d.998",
     nullptr,
     false,
     nullptr,
     nullptr,
     kImageTooLarge},
};

class InitCodeTest : public ProviderTest, public ::testing::WithParamInterface<InitCase> {
 protected:
  const char16_t* pathOf(const char16_t* name, std::u16string& storage) {
    if (!name || !*name) return name;
    storage = dir_.file(name);
    return storage.c_str();
  }
};

}  // namespace

TEST_P(InitCodeTest, ReturnsTheCodeAndOnlySuccessLeavesAnOpenImage) {
  const InitCase& c = GetParam();
  for (const TestFile& file : c.files) {
    if (file.size == kDirectory) {
      std::filesystem::create_directory(dir_.path() / file.name);
    } else {
      makeFile(file.name, patternBytes(static_cast<size_t>(file.size), 1));
    }
  }
  std::u16string image, base, temp;
  ImagePtr provider = createImage();
  ASSERT_TRUE(provider);
  EXPECT_EQ(provider->init(pathOf(c.image, image), pathOf(c.base, base), c.encryption, c.password, nullptr,
                           pathOf(c.temp, temp)),
            c.expected);

  const bool opened = c.expected == kOpened || c.expected == kOpenedWithPaddedTail;
  uint64_t size = 0;
  uint32_t blockSize = 512;
  EXPECT_EQ(provider->getDataSize(&size, &blockSize), opened);
  char byte = 0;
  EXPECT_EQ(provider->read(&byte, 0, 1), opened ? 1u : 0u);
  for (const TestFile& file : c.files) {
    if (file.size == kDirectory) continue;
    EXPECT_EQ(readFileBytes(dir_.path() / file.name), patternBytes(static_cast<size_t>(file.size), 1)) << "changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, InitCodeTest, ::testing::ValuesIn(kInitCases),
                         [](const ::testing::TestParamInfo<InitCase>& param) { return param.param.name; });

TEST_F(ProviderTest, SecondInitIsRefusedAndKeepsTheFirstImage) {
  const std::u16string first = makeFile(u"first.img", patternBytes(1024, 1));
  const std::u16string second = makeFile(u"second.img", patternBytes(4096, 2));
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, first), kOpened);
  EXPECT_EQ(initImage(*image, second), kAlreadyInitialised);
  EXPECT_EQ(initImage(*image, u"missing.img"), kAlreadyInitialised);
  uint64_t size = 0;
  uint32_t blockSize = 512;
  ASSERT_TRUE(image->getDataSize(&size, &blockSize));
  EXPECT_EQ(size, 1024u);
  EXPECT_EQ(readBytes(*image, 0, 1024), patternBytes(1024, 1));
}

TEST_F(ProviderTest, FailedInitCanBeRetried) {
  const std::u16string path = dir_.file(u"late.img");
  ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, path), kImageNotFound);
  makeFile(u"late.img", patternBytes(2048, 3));
  ASSERT_EQ(initImage(*image, path), kOpened);
  EXPECT_EQ(readBytes(*image, 0, 4096), patternBytes(2048, 3));
}

TEST_F(ProviderTest, UnreadableFileGivesCode3) {
  const std::u16string path = makeFile(u"locked.img", patternBytes(512, 4));
  UnreadableFile locked(dir_.path() / u"locked.img");
  if (!locked.active()) GTEST_SKIP() << "this process can read every file (privileged), so a denial cannot be provoked";
  ImagePtr image = createImage();
  EXPECT_EQ(initImage(*image, path), kImageUnreadable);
}

TEST_F(ProviderTest, UnreadableLaterPartGivesCode3) {
  const std::u16string first = makeFile(u"d.001", patternBytes(512, 4));
  makeFile(u"d.002", patternBytes(512, 5));
  UnreadableFile locked(dir_.path() / u"d.002");
  if (!locked.active()) GTEST_SKIP() << "this process can read every file (privileged), so a denial cannot be provoked";
  ImagePtr image = createImage();
  EXPECT_EQ(initImage(*image, first), kImageUnreadable);
}
