#include "provider/IndexFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "common/LittleEndian.h"

namespace vsimgpvd {

namespace {

constexpr char kMagic[8] = {'v', 'k', 'b', 'v', 'd', 'i', 'd', 'x'};
constexpr uint32_t kVersion = 1;
// The header's fields, then its own checksum over the bytes before it.
constexpr size_t kHeaderFields = 88;
constexpr uint64_t kMaxIdentitySize = uint64_t{1} << 20;

uint32_t crcOf(const uint8_t* data, size_t size) {
  return static_cast<uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}

void encodeHeader(const IndexHeader& header, uint8_t* at) {
  std::memcpy(at, kMagic, sizeof(kMagic));
  writeLittleEndian(at + 8, 4, kVersion);
  writeLittleEndian(at + 12, 4, static_cast<uint32_t>(header.kind));
  const uint64_t fields[] = {header.dataSize,        header.identitySize, header.payloadOffset,
                             header.pointsOffset,    header.pointCount,   header.checksumsOffset,
                             header.chunkCount,      header.bodyEnd};
  for (size_t i = 0; i < std::size(fields); ++i) writeLittleEndian(at + 16 + 8 * i, 8, fields[i]);
  writeLittleEndian(at + 80, 4, header.bodyCrc);
  writeLittleEndian(at + 84, 4, crcOf(at, 84));
}

bool decodeHeader(const uint8_t* at, IndexHeader& header) {
  if (std::memcmp(at, kMagic, sizeof(kMagic)) != 0 || readLittleEndian(at + 8, 4) != kVersion) return false;
  if (readLittleEndian(at + 84, 4) != crcOf(at, 84)) return false;
  header.kind = static_cast<IndexHeader::Kind>(readLittleEndian(at + 12, 4));
  uint64_t* const fields[] = {&header.dataSize,        &header.identitySize, &header.payloadOffset,
                              &header.pointsOffset,    &header.pointCount,   &header.checksumsOffset,
                              &header.chunkCount,      &header.bodyEnd};
  for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = readLittleEndian(at + 16 + 8 * i, 8);
  header.bodyCrc = static_cast<uint32_t>(readLittleEndian(at + 80, 4));
  return true;
}

// The layout the fields describe is one this provider writes, with nothing overlapping.
bool consistent(const IndexHeader& h) {
  if (h.identitySize == 0 || h.identitySize > kMaxIdentitySize) return false;
  if (h.payloadOffset != payloadOffsetFor(h.identitySize) || h.dataSize == 0) return false;
  if (h.dataSize > (uint64_t{1} << 62)) return false;
  if (h.kind == IndexHeader::Kind::DataCopy) {
    return h.pointCount == 0 && h.chunkCount == 0 && h.bodyEnd == IndexHeader::kSize + h.identitySize;
  }
  if (h.kind != IndexHeader::Kind::AccessPoints) return false;
  if (h.pointCount == 0 || h.pointCount > h.dataSize || h.chunkCount != chunkCountFor(h.dataSize)) return false;
  // Sums that would wrap around describe no file: none is computed past the largest offset.
  constexpr uint64_t kMaxOffset = uint64_t{1} << 62;
  if (h.pointsOffset < h.payloadOffset || h.pointsOffset > kMaxOffset ||
      h.pointCount > (kMaxOffset - h.pointsOffset) / IndexHeader::kPointSize) {
    return false;
  }
  return h.checksumsOffset == h.pointsOffset + h.pointCount * IndexHeader::kPointSize &&
         h.bodyEnd == h.checksumsOffset + h.chunkCount * 4;
}

}  // namespace

uint64_t payloadOffsetFor(uint64_t identitySize) {
  return (IndexHeader::kSize + identitySize + IndexHeader::kSize - 1) / IndexHeader::kSize * IndexHeader::kSize;
}

uint64_t chunkCountFor(uint64_t dataSize) { return (dataSize + IndexHeader::kChunkSize - 1) / IndexHeader::kChunkSize; }

bool writeIndexHeader(ImageFile& file, const IndexHeader& header) {
  uint8_t block[kHeaderFields] = {};
  encodeHeader(header, block);
  return file.writeAt(block, 0, sizeof(block)) == sizeof(block);
}

bool readIndexHeader(ImageFile& file, const std::string& identity, IndexHeader& header) {
  uint8_t block[kHeaderFields] = {};
  if (file.readAt(block, 0, sizeof(block)) != sizeof(block) || !decodeHeader(block, header)) return false;
  if (!consistent(header) || header.identitySize != identity.size()) return false;
  std::string stored(identity.size(), '\0');
  if (file.readAt(stored.data(), IndexHeader::kSize, static_cast<uint32_t>(stored.size())) != stored.size() ||
      stored != identity) {
    return false;
  }
  // A copy holds its data to the last byte, which is always written.
  uint8_t last = 0;
  if (header.kind == IndexHeader::Kind::DataCopy &&
      file.readAt(&last, header.payloadOffset + header.dataSize - 1, 1) != 1) {
    return false;
  }
  uint32_t crc = 0;
  return checksumOf(file, IndexHeader::kSize, header.bodyEnd - IndexHeader::kSize, crc) && crc == header.bodyCrc;
}

bool checksumOf(ImageFile& file, uint64_t offset, uint64_t size, uint32_t& crc) {
  constexpr uint32_t kPiece = 1u << 20;
  const std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kPiece]);
  if (!buffer) return false;
  uLong running = crc32(0, nullptr, 0);
  for (uint64_t done = 0; done < size;) {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kPiece, size - done));
    if (file.readAt(buffer.get(), offset + done, piece) != piece) return false;
    running = crc32(running, buffer.get(), piece);
    done += piece;
  }
  crc = static_cast<uint32_t>(running);
  return true;
}

void encodePoint(const AccessPoint& point, uint8_t* record) {
  writeLittleEndian(record, 8, point.dataOffset);
  writeLittleEndian(record + 8, 8, point.streamOffset);
  writeLittleEndian(record + 16, 8, point.windowOffset);
  writeLittleEndian(record + 24, 4, point.windowSize);
  record[28] = point.withinMember ? 1 : 0;
  record[29] = point.bits;
  record[30] = point.prime;
  record[31] = point.check;
}

AccessPoint decodePoint(const uint8_t* record) {
  AccessPoint point;
  point.dataOffset = readLittleEndian(record, 8);
  point.streamOffset = readLittleEndian(record + 8, 8);
  point.windowOffset = readLittleEndian(record + 16, 8);
  point.windowSize = static_cast<uint32_t>(readLittleEndian(record + 24, 4));
  point.withinMember = record[28] != 0;
  point.bits = record[29] & 7;
  point.prime = record[30];
  point.check = record[31];
  return point;
}

}  // namespace vsimgpvd
