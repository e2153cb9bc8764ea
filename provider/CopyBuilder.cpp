#include "provider/CopyBuilder.h"

#include <algorithm>
#include <cstring>

namespace vsimgpvd {

namespace {

// `size` is at most a block.
bool allZero(const uint8_t* data, size_t size) {
  static const uint8_t kZeros[CopyBuilder::kBlockSize] = {};
  return std::memcmp(data, kZeros, size) == 0;
}

}  // namespace

InitCode CopyBuilder::take(const uint8_t* data, size_t size) {
  const uint64_t first = dataSize() - size;
  // Runs of blocks that are not all zeros, each written at once.
  size_t runStart = 0;
  size_t done = 0;
  while (done < size) {
    // Pieces end at the file's block borders, so a block of zeros is left out whole.
    const auto piece = static_cast<size_t>(std::min<uint64_t>(size - done, kBlockSize - (first + done) % kBlockSize));
    endLeftOut_ = allZero(data + done, piece);
    if (endLeftOut_ && !writeRun(data, first, runStart, done)) return kTempFileUnusable;
    done += piece;
    if (endLeftOut_) runStart = done;
  }
  return writeRun(data, first, runStart, size) ? kOpened : kTempFileUnusable;
}

bool CopyBuilder::writeRun(const uint8_t* data, uint64_t first, size_t start, size_t end) {
  const auto size = static_cast<uint32_t>(end - start);
  if (size == 0 || file_.writeAt(data + start, payloadOffset_ + first + start, size) == size) return true;
  log_.line(u"vsimgpvd cannot write the decompressed data at %llu\n", first + start);
  return false;
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
