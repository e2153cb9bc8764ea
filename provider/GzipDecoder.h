#pragma once

#include <zlib.h>

#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// gzip through zlib: one member after another, each checked against its
// CRC-32 and length; anything after a member that is not another member is
// damage. Its access points are member starts and deflate block borders.
// Resumed inside a member, it decodes raw deflate to the member's end,
// whose checks it cannot make (the data there is checked by the index),
// and then goes on with the next member as a whole.
class GzipDecoder final : public StreamDecoder {
 public:
  GzipDecoder();
  ~GzipDecoder() override;
  GzipDecoder(const GzipDecoder&) = delete;
  GzipDecoder& operator=(const GzipDecoder&) = delete;

  Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                size_t& produced, bool lastInput) override;
  bool finished() const override { return memberEnded_; }
  bool atAccessPoint(AccessPoint& point) const override;
  bool resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) override;

 private:
  enum class Stop { None, BlockBorder, MemberEnd };

  // Skips what is left of a member's trailer; true once it is all skipped.
  bool skipTrailer(size_t inputSize, size_t& consumed);

  z_stream stream_{};
  bool ready_ = false;
  bool memberEnded_ = false;
  bool raw_ = false;          // resumed inside a member
  uint32_t trailerLeft_ = 0;  // bytes of a raw-decoded member's trailer still to skip
  Stop stop_ = Stop::None;
  uint8_t bits_ = 0;  // unused bits of the last byte taken, at a block border
};

}  // namespace vsimgpvd
