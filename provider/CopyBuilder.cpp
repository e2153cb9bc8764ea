#include "provider/CopyBuilder.h"

#include <algorithm>

namespace vsimgpvd {

namespace {

bool allZero(const uint8_t* data, size_t size) {
  return std::all_of(data, data + size, [](uint8_t byte) { return byte == 0; });
}

}  // namespace

InitCode CopyBuilder::take(const uint8_t* data, size_t size) {
  uint64_t at = dataSize() - size;
  for (size_t done = 0; done < size;) {
    // Pieces end at the file's block borders, so a block of zeros is left out whole.
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size - done, kBlockSize - at % kBlockSize));
    endLeftOut_ = allZero(data + done, piece);
    if (!endLeftOut_ && file_.writeAt(data + done, payloadOffset_ + at, piece) != piece) {
      log_.line(u"vsimgpvd cannot write the decompressed data at %llu\n", at);
      return kTempFileUnusable;
    }
    at += piece;
    done += piece;
  }
  return kOpened;
}

bool CopyBuilder::finish(IndexHeader& header) {
  const uint8_t zero = 0;
  if (dataSize() > 0 && endLeftOut_ && file_.writeAt(&zero, payloadOffset_ + dataSize() - 1, 1) != 1) return false;
  header.kind = IndexHeader::Kind::DataCopy;
  header.dataSize = dataSize();
  header.payloadOffset = payloadOffset_;
  header.bodyEnd = IndexHeader::kSize + header.identitySize;
  return checksumOf(file_, IndexHeader::kSize, header.identitySize, header.bodyCrc);
}

}  // namespace vsimgpvd
