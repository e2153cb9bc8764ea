#include "provider/StreamDecoder.h"

#include <new>

#include "provider/GzipDecoder.h"
#ifdef VK_HAVE_ZSTD
#include "provider/ZstdDecoder.h"
#endif
#ifdef VK_HAVE_LZMA
#include "provider/XzDecoder.h"
#endif

namespace vsimgpvd {

std::unique_ptr<StreamDecoder> StreamDecoder::create(CompressionFormat format) {
  switch (format) {
    case CompressionFormat::Gzip:
      return std::unique_ptr<StreamDecoder>(new (std::nothrow) GzipDecoder);
#ifdef VK_HAVE_ZSTD
    case CompressionFormat::Zstd:
      return std::unique_ptr<StreamDecoder>(new (std::nothrow) ZstdDecoder);
#endif
#ifdef VK_HAVE_LZMA
    case CompressionFormat::Xz:
      return std::unique_ptr<StreamDecoder>(new (std::nothrow) XzDecoder);
#endif
    default:
      break;
  }
  return nullptr;
}

bool StreamDecoder::listBlocks(CompressionFormat format, const ImageParts& parts, std::vector<AccessPoint>& blocks,
                               uint64_t& largestBlock) {
#ifdef VK_HAVE_LZMA
  if (format == CompressionFormat::Xz) return XzDecoder::listBlocks(parts, blocks, largestBlock);
#endif
  (void)format, (void)parts, (void)blocks, (void)largestBlock;
  return false;
}

}  // namespace vsimgpvd
