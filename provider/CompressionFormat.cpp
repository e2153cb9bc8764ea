#include "provider/CompressionFormat.h"

#include <algorithm>
#include <initializer_list>

namespace vsimgpvd {

namespace {

struct Magic {
  CompressionFormat format;
  std::initializer_list<uint8_t> bytes;
};

const Magic kMagics[] = {
    {CompressionFormat::Gzip, {0x1F, 0x8B, 0x08}},  // deflate, the only method gzip defines
    {CompressionFormat::Zstd, {0x28, 0xB5, 0x2F, 0xFD}},
    {CompressionFormat::Xz, {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00}},
};

}  // namespace

CompressionFormat detectCompression(const uint8_t* head, size_t size) {
  for (const Magic& magic : kMagics) {
    if (size >= magic.bytes.size() && std::equal(magic.bytes.begin(), magic.bytes.end(), head)) return magic.format;
  }
  return CompressionFormat::None;
}

const char16_t* compressionName(CompressionFormat format) {
  switch (format) {
    case CompressionFormat::Gzip: return u"gzip";
    case CompressionFormat::Zstd: return u"zstd";
    case CompressionFormat::Xz: return u"xz";
    case CompressionFormat::None: break;
  }
  return u"raw";
}

}  // namespace vsimgpvd
