#pragma once

#include <lzma.h>

#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// xz through liblzma: one stream after another (and the padding between
// them), each checked against its integrity check. A stream whose decoding
// would need more than kMemoryLimit is refused.
class XzDecoder final : public StreamDecoder {
 public:
  static constexpr uint64_t kMemoryLimit = uint64_t{512} << 20;

  XzDecoder();
  ~XzDecoder() override;
  XzDecoder(const XzDecoder&) = delete;
  XzDecoder& operator=(const XzDecoder&) = delete;

  Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                size_t& produced, bool lastInput) override;
  bool finished() const override { return ended_; }
  // Streams are read whole: the only access point is the start.
  bool atAccessPoint(AccessPoint&) const override { return false; }
  bool resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) override;

 private:
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool ready_ = false;
  bool ended_ = false;
};

}  // namespace vsimgpvd
