// The index of a compressed image: reads through access points serve the
// raw image's bytes wherever they start; the index is kept and used again
// for the same unchanged image only; damage found on a read fails that read.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "../ProviderTestSupport.h"
#include "common/LittleEndian.h"

using namespace vsimgpvd;
namespace fs = std::filesystem;

namespace {

constexpr size_t kMiB = 1024 * 1024;
// Larger than the span past which a stream is copied rather than indexed.
constexpr size_t kRawSize = 20 * kMiB + 4096;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// 64 KiB pieces of zeros, text, noise and low-entropy noise, so that the
// compressors make blocks of every kind.
std::string rawImage() {
  const std::string noise = patternBytes(kRawSize, 11);
  std::string raw;
  for (size_t block = 0; raw.size() < kRawSize; ++block) {
    const size_t at = raw.size();
    switch (block * 7 % 5) {
      case 0: raw += std::string(65536, '\0'); break;
      case 1:
        while (raw.size() < at + 65536) raw += "line " + std::to_string(raw.size()) + " of a file\n";
        raw.resize(at + 65536);
        break;
      case 2: raw += noise.substr(at, 65536); break;
      default:
        for (size_t i = 0; i < 65536; ++i) raw += static_cast<char>(noise[at + i] & 0x0F);
    }
  }
  raw.resize(kRawSize);
  return raw;
}

struct Progress {
  size_t calls = 0;
  uint64_t total = 0;
  uint64_t last = 0;
  size_t stopAt = 0;  // the report that answers "stop"; 0: none does
};

uint8_t countProgress(uint32_t, uint64_t total, uint64_t processed, void* user) {
  auto* progress = static_cast<Progress*>(user);
  ++progress->calls;
  progress->total = total;
  progress->last = processed;
  return progress->calls != progress->stopAt;
}

class ImageIndexTest : public ProviderTest {
 protected:
  void SetUp() override {
    if (!run("command -v gzip zstd xz split >/dev/null")) GTEST_SKIP() << "needs gzip, zstd, xz and split";
    setenv("VSIMGPVD_INDEX_DIR", store().c_str(), 1);
    if (raw_.empty()) raw_ = rawImage();
    makeFile(u"raw.img", raw_);
  }
  void TearDown() override { unsetenv("VSIMGPVD_INDEX_DIR"); }

  fs::path store() const { return dir_.path() / "store"; }
  bool shell(const std::string& command) const {
    return run("cd '" + dir_.path().string() + "' && " + command + " 2>/dev/null");
  }
  std::u16string path(const std::string& name) const { return dir_.file(std::u16string(name.begin(), name.end())); }

  // Opens `name`, counting its progress reports; null when it fails.
  ImagePtr open(const std::string& name, Progress& progress, int32_t expected = kOpened) {
    ImagePtr image = createImage(&countProgress, &progress);
    EXPECT_EQ(initImage(*image, path(name)), expected);
    return image;
  }
  // The stored index files, with the kind each holds.
  std::vector<std::pair<fs::path, uint32_t>> storedIndexes() const {
    std::vector<std::pair<fs::path, uint32_t>> found;
    if (!fs::exists(store())) return found;
    for (const auto& entry : fs::directory_iterator(store())) {
      const std::string bytes = readFileBytes(entry.path()).substr(0, 16);
      const uint32_t kind =
          bytes.size() == 16 ? static_cast<uint32_t>(readLittleEndian(reinterpret_cast<const uint8_t*>(bytes.data()) + 12, 4)) : 0;
      found.emplace_back(entry.path(), kind);
    }
    return found;
  }
  // Every read of `pieces` equals `expected` (the raw image) there.
  static void expectReads(IVirtualDiskImage& image, const std::vector<std::pair<uint64_t, uint32_t>>& pieces,
                          const std::string& expected = raw_) {
    for (const auto& [offset, size] : pieces) {
      EXPECT_TRUE(readBytes(image, offset, size) == expected.substr(offset, size)) << "at " << offset << " size " << size;
    }
  }

  static std::string raw_;
};

std::string ImageIndexTest::raw_;

constexpr uint32_t kAccessPoints = 1;
constexpr uint32_t kDataCopy = 2;

// Reads out of order, across chunk and access-point borders and the end.
std::vector<std::pair<uint64_t, uint32_t>> scatteredReads() {
  std::vector<std::pair<uint64_t, uint32_t>> reads;
  constexpr uint64_t kStep = 1536 * 1024 + 4096 * 3;
  for (uint64_t at = kRawSize; at > kStep;) {
    at -= kStep;
    reads.emplace_back(at, 4096);
    reads.emplace_back(at + 1000, 300000);
  }
  reads.emplace_back(kMiB - 10, 20);
  reads.emplace_back(kRawSize - 4096, 4096);
  reads.emplace_back(7 * kMiB + 12345, 2 * kMiB + 7);
  reads.emplace_back(0, 512);
  return reads;
}

// The header's eight 64-bit fields, as the file holds them after its
// magic, version and kind.
using HeaderFields = std::array<uint64_t, 8>;
constexpr size_t kDataSize = 0;
constexpr size_t kPointsOffset = 3;
constexpr size_t kPointCount = 4;
constexpr size_t kChecksumsOffset = 5;
constexpr size_t kChunkCount = 6;
constexpr size_t kBodyEnd = 7;

// Changes the fields of the index header in `file` and makes its checksum hold again.
void rewriteHeader(const fs::path& file, const std::function<void(HeaderFields&)>& forge) {
  std::string bytes = readFileBytes(file);
  auto* at = reinterpret_cast<uint8_t*>(bytes.data());
  HeaderFields fields{};
  for (size_t i = 0; i < fields.size(); ++i) fields[i] = readLittleEndian(at + 16 + 8 * i, 8);
  forge(fields);
  for (size_t i = 0; i < fields.size(); ++i) writeLittleEndian(at + 16 + 8 * i, 8, fields[i]);
  writeLittleEndian(at + 84, 4, static_cast<uint32_t>(crc32(0, at, 84)));
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// A data size of about 2^62 with its checksums' place, body end and body
// checksum as they were: the points table's size wraps around 2^64.
void wrapAroundToTheSameBodyEnd(HeaderFields& h) {
  for (uint64_t dataSize = uint64_t{1} << 62;; dataSize -= kMiB) {
    const uint64_t chunks = (dataSize + kMiB - 1) / kMiB;
    const uint64_t checksums = h[kBodyEnd] - chunks * 4;  // wraps
    const uint64_t table = checksums - h[kPointsOffset];   // wraps
    if (table % 32 != 0) continue;
    h[kDataSize] = dataSize;
    h[kChunkCount] = chunks;
    h[kChecksumsOffset] = checksums;
    h[kPointCount] = table / 32;
    return;
  }
}

}  // namespace

TEST_F(ImageIndexTest, EveryKindOfStreamIsReadThroughItsIndexOrItsCopy) {
  // Beside raw.img: big.img, raw.img twice, longer than a span without
  // access points; sparse.img, with 24 MiB of zeros (gzip packs 8 MiB of
  // zeros into one block).
  const std::string big = raw_ + raw_;
  const std::string sparse = raw_.substr(0, 4 * kMiB) + std::string(24 * kMiB, '\0') + raw_.substr(4 * kMiB);
  makeFile(u"big.img", big);
  makeFile(u"sparse.img", sparse);
  struct Case {
    const char* name;
    const char* make;
    const char* image;
    uint32_t kind;
    const std::string& expected;
  };
  const Case cases[] = {
      {"gzip: deflate block borders", "gzip -c raw.img > i.gz", "i.gz", kAccessPoints, raw_},
      {"gzip of long runs of zeros", "gzip -c sparse.img > i.gz", "i.gz", kAccessPoints, sparse},
      {"gzip in two members and split parts",
       "(head -c 9000000 raw.img | gzip -1 -c; tail -c +9000001 raw.img | gzip -c) | split -b 3000000 - i.gz.",
       "i.gz.aa", kAccessPoints, raw_},
      {"zstd in frames of 1 MB", "split -b 1000000 raw.img f. && for f in f.*; do zstd -q -c $f; done > i.zst",
       "i.zst", kAccessPoints, raw_},
      {"zstd in one frame", "zstd -q -c big.img > i.zst", "i.zst", kDataCopy, big},
      {"xz in one block", "xz -1 -c big.img > i.xz", "i.xz", kDataCopy, big},
      {"xz in blocks", "xz -1 -T2 --block-size=1MiB -c raw.img > i.xz", "i.xz", kAccessPoints, raw_},
      {"xz in two streams of blocks",
       "(head -c 9000000 raw.img | xz -1 -T2 --block-size=2MiB -c; "
       "tail -c +9000001 raw.img | xz -T2 --block-size=3MiB -C sha256 -c) > i.xz",
       "i.xz", kAccessPoints, raw_},
      {"xz in blocks too large", "xz -1 -T2 --block-size=36MiB -c big.img > i.xz", "i.xz", kDataCopy, big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell(std::string("rm -rf i.* f.* store && ") + c.make));
    Progress progress;
    const ImagePtr image = open(c.image, progress);
    const auto stored = storedIndexes();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].second, c.kind);
    expectReads(*image, scatteredReads(), c.expected);
    // Whole, from the start, in the driver's largest requests.
    std::string whole;
    for (uint64_t at = 0; at < c.expected.size(); at += kMiB) {
      whole += readBytes(*image, at, static_cast<uint32_t>(kMiB));
    }
    EXPECT_TRUE(whole.substr(0, c.expected.size()) == c.expected) << "the whole data differs";
  }
}

TEST_F(ImageIndexTest, ASecondOpeningUsesTheStoredIndexWithoutAPass) {
  ASSERT_TRUE(shell("gzip -c raw.img | split -b 2000000 - i.gz."));
  size_t parts = 0;
  for (const auto& entry : fs::directory_iterator(dir_.path())) parts += entry.path().filename().string().rfind("i.gz.", 0) == 0;
  ASSERT_GE(parts, 2u);
  Progress first;
  open("i.gz.aa", first);
  const auto stored = storedIndexes();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_GT(first.calls, 2u * parts);

  Progress second;
  const ImagePtr image = open("i.gz.aa", second);
  // Each part reported at its start and its end, and nothing between.
  EXPECT_EQ(second.calls, 2u * parts);
  EXPECT_EQ(second.last, second.total);
  EXPECT_EQ(storedIndexes(), stored);
  expectReads(*image, scatteredReads());
}

// A pass that the progress callback stops ends at once, with the cancelled
// code, stores nothing, and reports nothing more; the next opening makes the
// whole index. Both kinds of pass: an index, and a copy (an xz stream of one
// block larger than a span).
TEST_F(ImageIndexTest, APassTheCallbackStopsEndsAndStoresNothing) {
  const std::string big = raw_ + raw_;
  makeFile(u"big.img", big);
  ASSERT_TRUE(shell("gzip -c raw.img > s.gz && xz -1 -c big.img > s.xz"));
  struct Case {
    const char* image;
    uint32_t kind;
    const std::string& expected;
  };
  for (const Case& c : {Case{"s.gz", kAccessPoints, raw_}, Case{"s.xz", kDataCopy, big}}) {
    SCOPED_TRACE(c.image);
    Progress stopped;
    stopped.stopAt = 5;
    open(c.image, stopped, kCancelled);
    EXPECT_EQ(stopped.calls, 5u);
    EXPECT_LT(stopped.last, stopped.total);
    EXPECT_TRUE(storedIndexes().empty());

    Progress whole;
    const ImagePtr image = open(c.image, whole);
    EXPECT_EQ(whole.last, whole.total);
    ASSERT_EQ(storedIndexes().size(), 1u);
    EXPECT_EQ(storedIndexes()[0].second, c.kind);
    expectReads(*image, scatteredReads(), c.expected);
    fs::remove_all(store());
  }
}

// A changed image never uses the old index: changed in place with its time
// set back, touched, replaced, or truncated, it is indexed anew (and damage
// found). The new index of the same file replaces the old one.
TEST_F(ImageIndexTest, AChangedImageGetsANewIndex) {
  struct Case {
    const char* name;
    const char* change;
    int32_t code;
    size_t storedAfter;
  };
  const Case cases[] = {
      {"a byte flipped, its time set back",
       "printf '\\xff' | dd of=i.gz bs=1 seek=900000 conv=notrunc status=none && touch -r raw.img i.gz",
       kImageUnreadable, 1},
      {"touched", "touch i.gz", kOpened, 1},
      {"replaced by another image of the same size", "cp i.gz j.gz && mv j.gz i.gz", kOpened, 2},
      {"truncated", "truncate -s 600000 i.gz", kImageUnreadable, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell("rm -rf i.* store && gzip -c raw.img > i.gz && touch -r raw.img i.gz"));
    Progress first;
    open("i.gz", first);
    ASSERT_TRUE(shell(c.change));
    Progress second;
    const ImagePtr image = open("i.gz", second, c.code);
    EXPECT_GT(second.calls, 2u) << "a whole pass was made";
    if (c.code == kOpened) expectReads(*image, scatteredReads());
    EXPECT_EQ(storedIndexes().size(), c.storedAfter);
  }
}

// A stored index that is damaged, foreign, shared with others or a link is
// never trusted: the image is indexed anew and reads right.
TEST_F(ImageIndexTest, AnIndexFileThatDoesNotHoldIsRebuilt) {
  struct Case {
    const char* name;
    const char* spoil;  // $f is the stored index
  };
  const Case cases[] = {
      {"a byte of a window flipped", "printf '\\x01' | dd of=$f bs=1 seek=9000 conv=notrunc status=none"},
      {"a byte of the header flipped", "printf '\\x07' | dd of=$f bs=1 seek=20 conv=notrunc status=none"},
      {"cut short", "truncate -s 10000 $f"},
      {"the index of another image", "cp other.idx $f"},
      {"readable by others", "chmod 644 $f"},
      {"a link to a file", "cp $f k.idx && ln -sf \"$PWD/k.idx\" $f"},
      {"a file with another name too", "ln $f k.idx"},
  };
  ASSERT_TRUE(shell("head -c 3145728 raw.img | gzip -c > other.gz"));
  Progress other;
  open("other.gz", other);
  ASSERT_EQ(storedIndexes().size(), 1u);
  ASSERT_TRUE(shell("mv store/* other.idx && gzip -c raw.img > i.gz"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell("rm -rf store k.idx"));
    Progress first;
    open("i.gz", first);
    const auto stored = storedIndexes();
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_TRUE(shell("f=store/" + stored[0].first.filename().string() + " && " + c.spoil));
    Progress second;
    const ImagePtr image = open("i.gz", second);
    EXPECT_EQ(second.calls, first.calls) << "a whole pass was made";
    expectReads(*image, scatteredReads());
    // The file now in the store holds: a third opening uses it.
    Progress third;
    open("i.gz", third);
    EXPECT_EQ(third.calls, 2u);
  }
}

// The stored index is the user's own file, so the user can write any header
// with its checksum right: one that claims more than the file holds, or
// whose layout wraps around past 2^64 to look whole, is never trusted (it
// once gave a disk of 4.6 EB).
TEST_F(ImageIndexTest, AStoredHeaderThatClaimsMoreThanTheFileHoldsIsRebuilt) {
  struct Case {
    const char* name;
    const char* make;
    const char* image;
    uint32_t kind;
    std::function<void(HeaderFields&)> forge;
  };
  // Twice the raw image in one zstd frame: more than an access point may span, so it is copied.
  const char* const copied = "cat raw.img raw.img | zstd -q > i.zst";
  const Case cases[] = {
      {"a copy claiming 4.6 EB of data", copied, "i.zst", kDataCopy,
       [](HeaderFields& h) { h.at(kDataSize) = uint64_t{1} << 62; }},
      {"access points whose table wraps around", "gzip -c raw.img > i.gz", "i.gz", kAccessPoints,
       wrapAroundToTheSameBodyEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(shell("rm -rf store i.* && " + std::string(c.make)));
    Progress first;
    open(c.image, first);
    const auto stored = storedIndexes();
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(stored[0].second, c.kind);
    rewriteHeader(stored[0].first, c.forge);
    Progress second;
    const ImagePtr image = open(c.image, second);
    EXPECT_EQ(second.calls, first.calls) << "a whole pass was made";
    uint64_t size = 0;
    uint32_t blockSize = 512;
    EXPECT_TRUE(image->getDataSize(&size, &blockSize));
    EXPECT_EQ(size, c.kind == kDataCopy ? 2 * kRawSize : kRawSize);
    expectReads(*image, scatteredReads());
  }
}

// Root makes the store when it is missing, with its parent, each through
// the descriptor of the directory above: never below a directory another
// user could change (where a rename and a link could make root change a
// directory of that user's choosing).
TEST_F(ImageIndexTest, TheStoreIsMadeOnlyWhereNobodyElseCanChangeIt) {
  if (geteuid() != 0) GTEST_SKIP() << "root makes the store";
  struct Case {
    const char* name;
    const char* parent;  // made first: the parent of the store's parent
    mode_t mode;
    uid_t owner;
    bool made;
  };
  const Case cases[] = {
      {"below root's directory", "safe", 0755, 0, true},
      {"below a sticky directory all may write", "sticky", 01777, 0, true},
      {"below a directory all may write", "open", 0777, 0, false},
      {"below another user's directory", "theirs", 0755, 65534, false},
  };
  ASSERT_TRUE(shell("gzip -c raw.img > i.gz"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path parent = dir_.path() / c.parent;
    ASSERT_TRUE(fs::create_directory(parent));
    ASSERT_EQ(chmod(parent.c_str(), c.mode), 0);
    ASSERT_EQ(chown(parent.c_str(), c.owner, 0), 0);
    const fs::path store = parent / "vkbvd" / "index";
    setenv("VSIMGPVD_INDEX_DIR", store.c_str(), 1);
    Progress progress;
    open("i.gz", progress);
    struct stat status {};
    EXPECT_EQ(stat(store.c_str(), &status) == 0, c.made);
    if (c.made) {
      EXPECT_EQ(status.st_mode & 07777, 01733u);
      EXPECT_EQ(status.st_uid, 0u);
      ASSERT_EQ(stat(store.parent_path().c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, 0755u);
      EXPECT_EQ(std::distance(fs::directory_iterator(store), fs::directory_iterator()), 1) << "the index is stored";
    } else {
      EXPECT_FALSE(fs::exists(store.parent_path()));
    }
  }
}

// Damage found only by a read (the image changed on disk after it was
// opened) fails that read; every read that succeeds serves the image's bytes.
TEST_F(ImageIndexTest, DamageFoundByAReadFailsTheRead) {
  ASSERT_TRUE(shell("gzip -c raw.img > i.gz && xz -1 -T2 --block-size=1MiB -c raw.img > i.xz && "
                    "split -b 1000000 raw.img f. && for f in f.*; do zstd -q -c $f; done > i.zst"));
  for (const char* image : {"i.gz", "i.zst", "i.xz"}) {
    SCOPED_TRACE(image);
    Progress progress;
    const ImagePtr opened = open(image, progress);
    const uint64_t size = fs::file_size(dir_.path() / image);
    ASSERT_TRUE(shell("printf '\\x55\\xaa' | dd of=" + std::string(image) + " bs=1 seek=" + std::to_string(size / 2) +
                      " conv=notrunc status=none"));
    size_t failed = 0;
    for (uint64_t at = 0; at < kRawSize; at += kMiB) {
      const std::string got = readBytes(*opened, at, static_cast<uint32_t>(kMiB));
      if (got.size() < std::min<uint64_t>(kMiB, kRawSize - at)) {
        ++failed;
        EXPECT_TRUE(got.empty() || got == raw_.substr(at, got.size())) << at;
      } else {
        EXPECT_TRUE(got.substr(0, kRawSize - at) == raw_.substr(at, kMiB)) << "other data served at " << at;
      }
    }
    EXPECT_GE(failed, 1u);
  }
}

// Data of whole MiB ends where the pass's output room does: the stream's
// end must still be seen as its end.
TEST_F(ImageIndexTest, AStreamEndingWithTheOutputRoomIsWhole) {
  constexpr uint32_t kSize = 9 * kMiB;
  for (const char* compress : {"gzip -c", "zstd -q -c", "xz -1 -c", "xz -1 -T2 --block-size=3MiB -c"}) {
    SCOPED_TRACE(compress);
    ASSERT_TRUE(shell("rm -rf store i.c && head -c " + std::to_string(kSize) + " raw.img | " + compress + " > i.c"));
    Progress progress;
    const ImagePtr image = open("i.c", progress);
    uint64_t size = 0;
    uint32_t blockSize = 512;
    ASSERT_TRUE(image->getDataSize(&size, &blockSize));
    EXPECT_EQ(size, kSize);
    EXPECT_TRUE(readBytes(*image, 0, kSize) == raw_.substr(0, kSize));
  }
}
