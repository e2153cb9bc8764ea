#include "provider/IndexBuilder.h"

#include <algorithm>

#include "common/LittleEndian.h"

namespace vsimgpvd {

IndexBuilder::IndexBuilder(ProviderLog& log, const ImageParts& parts, ImageFile& file, uint64_t payloadOffset,
                           std::vector<AccessPoint> blocks)
    : StreamPass(log, parts),
      file_(file),
      windowsEnd_(payloadOffset),
      points_(std::move(blocks)),
      pointsKnown_(!points_.empty()) {
  if (points_.empty()) points_.push_back(AccessPoint{});  // the stream's start
}

InitCode IndexBuilder::take(const uint8_t* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const auto piece = static_cast<size_t>(std::min<uint64_t>(size - done, IndexHeader::kChunkSize - chunkFill_));
    chunkCrc_ = crc32(chunkCrc_, data + done, static_cast<uInt>(piece));
    chunkFill_ += piece;
    done += piece;
    if (chunkFill_ == IndexHeader::kChunkSize) {
      checksums_.push_back(static_cast<uint32_t>(chunkCrc_));
      chunkCrc_ = crc32(0, nullptr, 0);
      chunkFill_ = 0;
    }
  }
  if (!pointsKnown_ && dataSize() - points_.back().dataOffset > kMaxSpan) {
    tooSparse_ = true;
    stop();
  }
  return kOpened;
}

InitCode IndexBuilder::reached(AccessPoint& point) {
  if (pointsKnown_ || point.dataOffset - points_.back().dataOffset < kPointSpacing) return kOpened;
  if (point.bits > 0) {
    // The bits still to decode are the high ones of the byte before the point.
    uint8_t before = 0;
    if (parts_.read(&before, point.streamOffset - 1, 1) != 1) return kImageUnreadable;
    point.prime = static_cast<uint8_t>(before >> (8 - point.bits));
  }
  if (point.withinMember && !storeWindow(point)) return kTempFileUnusable;
  points_.push_back(point);
  return kOpened;
}

bool IndexBuilder::storeWindow(AccessPoint& point) {
  const uint8_t* window = nullptr;
  size_t size = 0;
  StreamPass::window(window, size);
  if (size == 0) return true;
  std::vector<Bytef> packed(IndexHeader::kMaxPackedWindow);
  uLongf packedSize = static_cast<uLongf>(packed.size());
  if (compress2(packed.data(), &packedSize, window, static_cast<uLong>(size), 1) != Z_OK) return false;
  if (file_.writeAt(packed.data(), windowsEnd_, static_cast<uint32_t>(packedSize)) != packedSize) {
    log_.line(u"vsimgpvd cannot write the index\n");
    return false;
  }
  point.windowOffset = windowsEnd_;
  point.windowSize = static_cast<uint32_t>(packedSize);
  windowsEnd_ += packedSize;
  return true;
}

bool IndexBuilder::finish(IndexHeader& header) {
  if (chunkFill_ > 0) checksums_.push_back(static_cast<uint32_t>(chunkCrc_));
  chunkFill_ = 0;
  header.kind = IndexHeader::Kind::AccessPoints;
  header.dataSize = dataSize();
  header.payloadOffset = payloadOffsetFor(header.identitySize);
  header.pointsOffset = windowsEnd_;
  header.pointCount = points_.size();
  header.checksumsOffset = header.pointsOffset + header.pointCount * IndexHeader::kPointSize;
  header.chunkCount = checksums_.size();
  header.bodyEnd = header.checksumsOffset + header.chunkCount * 4;
  if (!writePoints(header.pointsOffset) || !writeChecksums(header.checksumsOffset)) {
    log_.line(u"vsimgpvd cannot write the index\n");
    return false;
  }
  return checksumOf(file_, IndexHeader::kSize, header.bodyEnd - IndexHeader::kSize, header.bodyCrc);
}

bool IndexBuilder::writePoints(uint64_t offset) {
  constexpr size_t kBatch = 256;
  uint8_t records[kBatch * IndexHeader::kPointSize];
  for (size_t first = 0; first < points_.size(); first += kBatch) {
    const size_t count = std::min(kBatch, points_.size() - first);
    for (size_t i = 0; i < count; ++i) encodePoint(points_[first + i], records + i * IndexHeader::kPointSize);
    const auto bytes = static_cast<uint32_t>(count * IndexHeader::kPointSize);
    if (file_.writeAt(records, offset + first * IndexHeader::kPointSize, bytes) != bytes) return false;
  }
  return true;
}

bool IndexBuilder::writeChecksums(uint64_t offset) {
  constexpr size_t kBatch = 2048;
  uint8_t bytes[kBatch * 4];
  for (size_t first = 0; first < checksums_.size(); first += kBatch) {
    const size_t count = std::min(kBatch, checksums_.size() - first);
    for (size_t i = 0; i < count; ++i) writeLittleEndian(bytes + 4 * i, 4, checksums_[first + i]);
    const auto size = static_cast<uint32_t>(count * 4);
    if (file_.writeAt(bytes, offset + first * 4, size) != size) return false;
  }
  return true;
}

}  // namespace vsimgpvd
