#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "provider/ImageFile.h"
#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// What opening a compressed image found, kept in a file of its own for the
// reads and for the next opening of the same unchanged image. Its layout:
// a header block; the identity of the image's parts; then either
//  - access points: their compressed windows, the table of points and the
//    CRC-32 of each kChunkSize of decompressed data, or
//  - a decompressed copy of the data, at a block border, zero runs left as
//    holes.
// Little endian throughout. The header and everything from the end of the
// header to `bodyEnd` are covered by checksums, so a damaged or foreign
// file is found before it is used; the copy's data is not (it is the
// user's own file, written and read on this machine).
struct IndexHeader {
  enum class Kind : uint32_t { AccessPoints = 1, DataCopy = 2 };

  static constexpr uint64_t kSize = 4096;
  // Data bytes per checksum, and the span by which reads are decoded and cached.
  static constexpr uint64_t kChunkSize = uint64_t{1} << 20;
  // Bytes of a stored access point.
  static constexpr uint64_t kPointSize = 32;
  // The most a compressed 32 KiB window takes (zlib's bound for it).
  static constexpr uint32_t kMaxPackedWindow = 32768 + 1024;

  Kind kind = Kind::AccessPoints;
  uint64_t dataSize = 0;
  uint64_t identitySize = 0;  // the identity lies right after the header
  uint64_t payloadOffset = 0;  // the windows, or the data copy
  uint64_t pointsOffset = 0;
  uint64_t pointCount = 0;
  uint64_t checksumsOffset = 0;
  uint64_t chunkCount = 0;
  uint64_t bodyEnd = 0;
  uint32_t bodyCrc = 0;
};

// The payload's start for an identity of `identitySize` bytes: the next block border.
uint64_t payloadOffsetFor(uint64_t identitySize);
// The number of checksummed chunks of `dataSize` bytes of data.
uint64_t chunkCountFor(uint64_t dataSize);

bool writeIndexHeader(ImageFile& file, const IndexHeader& header);
// Reads the header and checks it (a layout this provider writes, whose sums
// do not wrap around, with a copy's data all in the file), the body's
// checksum and that the stored identity is `identity`. False when anything
// does not hold.
bool readIndexHeader(ImageFile& file, const std::string& identity, IndexHeader& header);
// The CRC-32 of `size` bytes of `file` at `offset`; false when they cannot all be read.
bool checksumOf(ImageFile& file, uint64_t offset, uint64_t size, uint32_t& crc);

void encodePoint(const AccessPoint& point, uint8_t* record);
AccessPoint decodePoint(const uint8_t* record);

}  // namespace vsimgpvd
