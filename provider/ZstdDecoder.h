#pragma once

#include <zstd.h>
#include <zstd_errors.h>

#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// zstd through libzstd: one frame after another, each checked against its
// checksum when it carries one. Frames that ask for a window above the
// library's default limit (128 MiB) are refused, so memory stays bounded.
// Its access points are frame starts.
class ZstdDecoder final : public StreamDecoder {
 public:
  ZstdDecoder();
  ~ZstdDecoder() override;
  ZstdDecoder(const ZstdDecoder&) = delete;
  ZstdDecoder& operator=(const ZstdDecoder&) = delete;

  Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                size_t& produced, bool lastInput) override;
  bool finished() const override { return frameEnded_; }
  bool atAccessPoint(AccessPoint& point) const override;
  bool resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) override;

 private:
  ZSTD_DCtx* context_;
  bool frameEnded_ = false;
  bool stoppedAtFrameEnd_ = false;  // the last decode ended with a frame
};

}  // namespace vsimgpvd
