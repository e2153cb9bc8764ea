#pragma once

#include <cstdint>

#include "provider/ImageFile.h"
#include "provider/IndexFile.h"
#include "provider/StreamPass.h"

namespace vsimgpvd {

// Decompresses a compressed image whole, in one pass, into the index file,
// for a stream with no access points close enough to read it through an
// index. Blocks of zeros are left out as holes, so the copy takes the
// space of the image's non-zero data.
class CopyBuilder final : public StreamPass {
 public:
  static constexpr uint32_t kBlockSize = 4096;

  // The data is written to `file` from `payloadOffset` (a block border)
  // on. `file` must outlive the builder.
  CopyBuilder(ProviderLog& log, const ImageParts& parts, ImageFile& file, uint64_t payloadOffset)
      : StreamPass(log, parts), file_(file), payloadOffset_(payloadOffset) {}

  // Makes the file reach the data's end and fills in `header` (its
  // identity size already set); false when the file cannot be written.
  bool finish(IndexHeader& header);

 private:
  InitCode take(const uint8_t* data, size_t size) override;
  InitCode reached(AccessPoint&) override { return kOpened; }
  // Writes data[start, end), which begins `first` bytes into the data.
  bool writeRun(const uint8_t* data, uint64_t first, size_t start, size_t end);

  ImageFile& file_;
  const uint64_t payloadOffset_;
  bool endLeftOut_ = false;  // the last block was zeros, left out
};

}  // namespace vsimgpvd
