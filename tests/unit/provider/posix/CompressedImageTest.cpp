// Compressed images made by the standard tools: their data equals the raw
// image's byte for byte, whatever the format, its members, frames, blocks or
// parts; damage fails the opening and never serves data.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "../ProviderTestSupport.h"
#include "provider/StreamPass.h"

using namespace vsimgpvd;
namespace fs = std::filesystem;

namespace {

constexpr size_t kRawSize = 5 * 1024 * 1024 + 512;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// An image that compresses: runs of zeros, repeated text and patterned bytes.
std::string rawImage() {
  std::string raw;
  raw += std::string(1024 * 1024, '\0');
  while (raw.size() < 3 * 1024 * 1024) raw += "a line of a file system's text, again and again\n";
  raw += patternBytes(kRawSize - raw.size() - 512 * 1024, 7);
  raw += std::string(512 * 1024, '\0');
  raw.resize(kRawSize);
  return raw;
}

struct Progress {
  std::vector<uint32_t> parts;
  uint64_t total = 0;
  uint64_t lastProcessed = 0;
  size_t calls = 0;
};

uint8_t recordProgress(uint32_t part, uint64_t total, uint64_t processed, void* user) {
  auto* progress = static_cast<Progress*>(user);
  if (progress->parts.empty() || progress->parts.back() != part) progress->parts.push_back(part);
  progress->total = total;
  progress->lastProcessed = processed;
  ++progress->calls;
  return 1;
}

class CompressedImageTest : public ProviderTest {
 protected:
  void SetUp() override {
    if (!run("command -v gzip zstd xz split >/dev/null")) GTEST_SKIP() << "needs gzip, zstd, xz and split";
    raw_ = rawImage();
    makeFile(u"raw.img", raw_);
    setenv("VSIMGPVD_INDEX_DIR", (dir_.path() / "store").c_str(), 1);
  }
  void TearDown() override { unsetenv("VSIMGPVD_INDEX_DIR"); }
  // Runs `command` in the test directory.
  bool shell(const std::string& command) const {
    return run("cd '" + dir_.path().string() + "' && " + command + " 2>/dev/null");
  }
  std::string fileBytes(const std::string& name) const { return readFileBytes(dir_.path() / name); }

  std::string raw_;
};

}  // namespace

TEST_F(CompressedImageTest, EveryFormatServesTheRawImagesBytes) {
  struct Case {
    const char* name;
    const char* make;   // makes the image from raw.img
    const char* image;  // the path to open: the file, or the first part
    uint32_t parts;
  };
  const Case cases[] = {
      {"gzip", "gzip -c raw.img > i.gz", "i.gz", 1},
      {"gzip, two members", "head -c 2000000 raw.img | gzip -c > i.gz && tail -c +2000001 raw.img | gzip -1 -c >> i.gz",
       "i.gz", 1},
      {"zstd", "zstd -q -c raw.img > i.zst", "i.zst", 1},
      {"zstd, several frames", "split -b 1000000 raw.img f. && for f in f.*; do zstd -q -c $f; done > i.zst", "i.zst", 1},
      {"xz", "xz -c raw.img > i.xz", "i.xz", 1},
      {"xz, blocks", "xz -T2 --block-size=1MiB -c raw.img > i.xz", "i.xz", 1},
      {"xz, two streams", "head -c 3000000 raw.img | xz -c > i.xz && tail -c +3000001 raw.img | xz -c >> i.xz", "i.xz",
       1},
      {"gzip in numbered parts", "gzip -c raw.img | split -b 300000 -d -a 3 --numeric-suffixes=1 - i.gz.", "i.gz.001",
       0},
      {"xz in parts as split names them", "xz -c raw.img | split -b 400000 - i.xz.", "i.xz.aa", 0},
      {"raw in parts as split names them", "split -b 2000000 raw.img i.", "i.aa", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell(std::string("rm -rf i.* f.* store && ") + c.make));
    Progress progress;
    const ImagePtr image = createImage(&recordProgress, &progress);
    ASSERT_EQ(initImage(*image, dir_.file(std::u16string(c.image, c.image + std::string(c.image).size()))), kOpened);
    uint64_t size = 0;
    uint32_t blockSize = 512;
    ASSERT_TRUE(image->getDataSize(&size, &blockSize));
    EXPECT_EQ(size, kRawSize);
    EXPECT_TRUE(readBytes(*image, 0, static_cast<uint32_t>(kRawSize)) == raw_) << "the whole data differs";
    // Reads that start and end anywhere, across what were buffer borders.
    for (const uint64_t offset : {uint64_t{1}, uint64_t{1048575}, uint64_t{3 * 1048576 - 7}, uint64_t{kRawSize - 100}}) {
      EXPECT_EQ(readBytes(*image, offset, 100), raw_.substr(offset, 100)) << offset;
    }
    // Progress: each part at least at its start and its end, in sectors of the compressed input.
    const uint32_t parts = c.parts ? c.parts : static_cast<uint32_t>(progress.parts.size());
    EXPECT_GE(parts, 2u * (c.parts == 0));
    EXPECT_EQ(progress.parts.size(), parts);
    EXPECT_EQ(progress.lastProcessed, progress.total);
    EXPECT_GE(progress.calls, 2u * parts);
  }
}

TEST_F(CompressedImageTest, ADecompressedSizeThatIsNoWholeNumberOfSectorsIsPadded) {
  ASSERT_TRUE(shell("head -c 1000 raw.img | tail -c 999 > odd.img && printf 'x' >> odd.img && gzip -k odd.img"));
  const ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, dir_.file(u"odd.img.gz")), kOpenedWithPaddedTail);
  const std::string odd = fileBytes("odd.img");
  EXPECT_EQ(readBytes(*image, 0, 1024), odd + std::string(1024 - odd.size(), '\0'));
}

// A stream that expands past the bound is refused as too large, whatever its
// format, once the bound is passed (not after expanding it all); data of
// exactly the bound opens. A set whose parts are links of one file is
// refused: one file's data would count many times over.
TEST_F(CompressedImageTest, BombsAndSetsOfOneFileAreRefused) {
  struct Case {
    const char* name;
    const char* make;
    const char* image;
    const char* maxData;
    int32_t code;
  };
  const Case cases[] = {
      {"zstd of zeros past the bound", "head -c 64M /dev/zero | zstd -q > b.zst", "b.zst", "32M", kImageTooLarge},
      {"zstd in frames past the bound", "head -c 64M /dev/zero | split -b 4M --filter='zstd -q' > b.zst", "b.zst",
       "32M", kImageTooLarge},
      {"gzip of ones past the bound", "head -c 64M /dev/zero | tr '\\0' '\\1' | gzip -1 > b.gz", "b.gz", "32M",
       kImageTooLarge},
      {"xz past the bound", "head -c 64M /dev/zero | xz -0 > b.xz", "b.xz", "32M", kImageTooLarge},
      {"a bound in bytes", "head -c 64M /dev/zero | gzip -1 > b.gz", "b.gz", "1048576", kImageTooLarge},
      {"data of exactly the bound", "head -c 32M /dev/zero | zstd -q > b.zst", "b.zst", "32M", kOpened},
      {"a bound that is no size: the default", "head -c 32M /dev/zero | zstd -q > b.zst", "b.zst", "32X", kOpened},
      {"compressed parts that are one file", "gzip -c raw.img > b.gz && ln b.gz b.gz.001 && ln b.gz b.gz.002",
       "b.gz.001", "32M", kImageUnreadable},
      {"raw parts that are one file", "ln raw.img b.001 && ln raw.img b.002 && cp raw.img b.003", "b.001", "32M",
       kImageUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell(std::string("rm -rf b.* store && ") + c.make));
    setenv("VSIMGPVD_MAX_DATA", c.maxData, 1);
    const ImagePtr image = createImage();
    EXPECT_EQ(initImage(*image, dir_.file(std::u16string(c.image, c.image + std::string(c.image).size()))), c.code);
    unsetenv("VSIMGPVD_MAX_DATA");
  }
}

TEST(StreamPassTest, ReadsTheBoundAsADataSize) {
  const std::pair<const char*, uint64_t> sizes[] = {
      {"0", 0}, {"4096", 4096}, {"1K", 1024}, {"32M", uint64_t{32} << 20}, {"2G", uint64_t{2} << 30},
      {"16T", uint64_t{16} << 40}, {"18446744073709551615", UINT64_MAX},
  };
  for (const auto& [text, expected] : sizes) {
    uint64_t size = 1;
    EXPECT_TRUE(StreamPass::parseDataSize(text, size)) << text;
    EXPECT_EQ(size, expected) << text;
  }
  for (const char* text : {"", "-1", "1.5G", "1KB", "12 M", "G", "18446744073709551616", "16777216T", "0x10"}) {
    uint64_t size = 7;
    EXPECT_FALSE(StreamPass::parseDataSize(text, size)) << text;
    EXPECT_EQ(size, 7u) << text;
  }
  uint64_t unset = 7;
  EXPECT_FALSE(StreamPass::parseDataSize(nullptr, unset));
}

// Damage found while opening fails it: nothing is served.
TEST_F(CompressedImageTest, DamageFailsTheOpening) {
  struct Case {
    const char* name;
    const char* make;
    const char* image;
    int32_t code;
  };
  const Case cases[] = {
      {"gzip cut in the middle", "gzip -c raw.img | head -c 40000 > d.gz", "d.gz", kImageUnreadable},
      {"gzip without its trailer", "gzip -c raw.img > f.gz && head -c $(($(stat -c %s f.gz) - 4)) f.gz > d.gz", "d.gz",
       kImageUnreadable},
      {"gzip with a byte flipped", "gzip -c raw.img > d.gz && printf '\\xff' | dd of=d.gz bs=1 seek=20000 conv=notrunc",
       "d.gz", kImageUnreadable},
      {"gzip followed by a zstd frame", "gzip -c raw.img > d.gz && zstd -q -c raw.img >> d.gz", "d.gz",
       kImageUnreadable},
      {"zstd cut short", "zstd -q -c raw.img | head -c 30000 > d.zst", "d.zst", kImageUnreadable},
      {"zstd with a byte flipped", "zstd -q -c raw.img > d.zst && printf '\\x00\\x11' | dd of=d.zst bs=1 seek=3000 conv=notrunc",
       "d.zst", kImageUnreadable},
      {"xz cut short", "xz -c raw.img | head -c 50000 > d.xz", "d.xz", kImageUnreadable},
      {"xz with a byte flipped", "xz -c raw.img > d.xz && printf '\\x5a' | dd of=d.xz bs=1 seek=30000 conv=notrunc",
       "d.xz", kImageUnreadable},
      {"a part missing from a set",
       "gzip -c raw.img | split -b 200000 -d -a 3 --numeric-suffixes=1 - d.gz. && rm d.gz.002", "d.gz.001",
       kPartMissing},
      {"a lettered part missing from a set", "gzip -c raw.img | split -b 200000 - d.gz. && rm d.gz.ab", "d.gz.aa",
       kPartMissing},
      {"the last part missing from a set", "gzip -c raw.img | split -b 1000000 -d -a 3 --numeric-suffixes=1 - d.gz. && rm $(ls d.gz.* | tail -n 1)",
       "d.gz.001", kImageUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell(std::string("rm -f d.* f.* && ") + c.make));
    const ImagePtr image = createImage();
    EXPECT_EQ(initImage(*image, dir_.file(std::u16string(c.image, c.image + std::string(c.image).size()))), c.code);
    uint64_t size = 0;
    uint32_t blockSize = 512;
    EXPECT_FALSE(image->getDataSize(&size, &blockSize));
    EXPECT_EQ(readBytes(*image, 0, 512), "") << "nothing is served";
  }
}
