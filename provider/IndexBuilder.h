#pragma once

#include <zlib.h>

#include <cstdint>
#include <vector>

#include "provider/ImageFile.h"
#include "provider/IndexFile.h"
#include "provider/StreamPass.h"

namespace vsimgpvd {

// Builds the access-point index of a compressed image in one pass: an access
// point about every kPointSpacing bytes of data (where the stream has one),
// each deflate window compressed into the index file as it is found, and the
// CRC-32 of every chunk of data. Stops, as too sparse, when the stream goes
// on for more than kMaxSpan past its last access point: such an image is
// copied instead. Where the stream's own index lists its blocks, those are
// the access points, and the pass checks the data and takes its checksums.
class IndexBuilder final : public StreamPass {
 public:
  static constexpr uint64_t kPointSpacing = uint64_t{1} << 20;
  static constexpr uint64_t kMaxSpan = uint64_t{32} << 20;

  // Windows are written to `file` from `payloadOffset` on. `file` must
  // outlive the builder. `blocks`: the stream's access points where they
  // are known before the pass (xz blocks), else empty.
  IndexBuilder(ProviderLog& log, const ImageParts& parts, ImageFile& file, uint64_t payloadOffset,
               std::vector<AccessPoint> blocks);

  bool tooSparse() const { return tooSparse_; }
  // Writes the table of points and the checksums after the windows and
  // fills in `header` (its identity size already set); false when the file
  // cannot be written.
  bool finish(IndexHeader& header);

 private:
  InitCode take(const uint8_t* data, size_t size) override;
  InitCode reached(AccessPoint& point) override;
  bool storeWindow(AccessPoint& point);
  bool writePoints(uint64_t offset);
  bool writeChecksums(uint64_t offset);

  ImageFile& file_;
  uint64_t windowsEnd_;
  std::vector<AccessPoint> points_;
  std::vector<uint32_t> checksums_;
  uLong chunkCrc_ = crc32(0, nullptr, 0);
  uint64_t chunkFill_ = 0;
  const bool pointsKnown_;
  bool tooSparse_ = false;
};

}  // namespace vsimgpvd
