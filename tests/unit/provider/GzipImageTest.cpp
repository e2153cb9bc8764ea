// A gzip image on every platform (the Windows build reads gzip alone): made
// here with zlib, its data read back byte for byte; the other formats' magic
// is taken for what it is.
#include <zlib.h>

#include <gtest/gtest.h>

#include <string>

#include "ProviderTestSupport.h"

using namespace vsimgpvd;

namespace {

// `data` as one gzip member.
std::string gzipped(const std::string& data) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

}  // namespace

TEST_F(ProviderTest, AGzipImageServesItsDecompressedBytes) {
  std::string raw = patternBytes(600 * 1024, 3) + std::string(2 * 1024 * 1024, '\0') + patternBytes(1536, 4);
  const std::string compressed = gzipped(raw);
  const ImagePtr image = createImage();
  ASSERT_EQ(initImage(*image, makeFile(u"image.gz", compressed)), kOpened);
  uint64_t size = 0;
  uint32_t blockSize = 512;
  ASSERT_TRUE(image->getDataSize(&size, &blockSize));
  EXPECT_EQ(size, raw.size());
  EXPECT_TRUE(readBytes(*image, 0, static_cast<uint32_t>(raw.size())) == raw);

  // Writes go to the overlay, over the decompressed data.
  EXPECT_EQ(image->write("new", 700 * 1024, 3), 3u);
  raw.replace(700 * 1024, 3, "new");
  EXPECT_EQ(readBytes(*image, 700 * 1024 - 10, 20), raw.substr(700 * 1024 - 10, 20));
}

TEST_F(ProviderTest, CompressedDataThatIsNotAWholeStreamIsRefused) {
  const std::string member = gzipped(patternBytes(100000, 5));
#ifdef _WIN32
  const int32_t otherFormats = kUnknownFormat;  // no zstd or xz decoder in this build
#else
  const int32_t otherFormats = kImageUnreadable;
#endif
  struct Case {
    const char16_t* name;
    std::string bytes;
    int32_t code;
  };
  const Case cases[] = {
      {u"cut.gz", member.substr(0, member.size() / 2), kImageUnreadable},
      {u"trailing.gz", member + "not gzip", kImageUnreadable},
      {u"zstd-magic.img", std::string("\x28\xB5\x2F\xFD", 4) + std::string(100, 'z'), otherFormats},
      {u"xz-magic.img", std::string("\xFD" "7zXZ\0", 6) + std::string(100, 'x'), otherFormats},
  };
  for (const Case& c : cases) {
    const ImagePtr image = createImage();
    EXPECT_EQ(initImage(*image, makeFile(c.name, c.bytes)), c.code);
    EXPECT_EQ(readBytes(*image, 0, 512), "");
  }
}
