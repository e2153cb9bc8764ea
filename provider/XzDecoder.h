#pragma once

#include <lzma.h>

#include <cstdint>
#include <vector>

#include "provider/ImageParts.h"
#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// xz through liblzma: one stream after another (and the padding between
// them), each checked against its integrity check. A stream whose decoding
// would need more than kMemoryLimit is refused. Its access points are its
// blocks' starts, which the streams' own indexes list (listBlocks);
// resumed at one, it decodes that block alone, checked against its check,
// and is then finished.
class XzDecoder final : public StreamDecoder {
 public:
  static constexpr uint64_t kMemoryLimit = uint64_t{512} << 20;
  // The most blocks listed as access points: a MiB each for a TiB of data.
  static constexpr uint64_t kMaxListedBlocks = uint64_t{1} << 20;

  XzDecoder();
  ~XzDecoder() override;
  XzDecoder(const XzDecoder&) = delete;
  XzDecoder& operator=(const XzDecoder&) = delete;

  // The blocks of the xz streams that `parts` hold, in order, as access
  // points, and the most data a block holds; false when the streams'
  // indexes cannot be read or do not hold, or list more than kMaxListedBlocks.
  static bool listBlocks(const ImageParts& parts, std::vector<AccessPoint>& blocks, uint64_t& largestBlock);

  Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                size_t& produced, bool lastInput) override;
  bool finished() const override { return ended_; }
  // Whole streams give no access points as they are decoded.
  bool atAccessPoint(AccessPoint&) const override { return false; }
  bool resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) override;

 private:
  static Status statusOf(lzma_ret result);
  // Gathers the block's header; `whole` once it is and the block decoder is set up.
  Status takeHeader(const uint8_t* input, size_t inputSize, size_t& consumed, bool& whole);

  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool ready_ = false;
  bool ended_ = false;
  // Resumed at a block: its stream's check, and its header until it is whole.
  bool blockOnly_ = false;
  lzma_check check_ = LZMA_CHECK_NONE;
  std::vector<uint8_t> header_;
  size_t headerSize_ = 0;
  // What the block decoder reads and fills in while it decodes.
  lzma_block block_{};
};

}  // namespace vsimgpvd
