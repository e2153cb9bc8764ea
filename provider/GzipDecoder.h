#pragma once

#include <zlib.h>

#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// gzip through zlib: one member after another, each checked against its
// CRC-32 and length; anything after a member that is not another member is
// damage.
class GzipDecoder final : public StreamDecoder {
 public:
  GzipDecoder();
  ~GzipDecoder() override;
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                size_t& produced, bool lastInput) override;
  bool finished() const override { return memberEnded_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
  bool memberEnded_ = false;
};

}  // namespace vsimgpvd
