#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "provider/CompressionFormat.h"

namespace vsimgpvd {

// One compressed stream decoded piece by piece, as its bytes come: gzip (its
// members one after another), zstd (its frames) or xz (its streams), each
// checked against its own checksums by the format's library.
class StreamDecoder {
 public:
  enum class Status {
    Going,    // more input is wanted, or output room
    Damaged,  // not a stream of the format from here on, or a checksum failed
    OutOfMemory,
  };

  virtual ~StreamDecoder() = default;

  // A decoder for `format`; null when this build has none for it.
  static std::unique_ptr<StreamDecoder> create(CompressionFormat format);

  // Decodes from `input` (`consumed` bytes taken) into `output` (`produced`
  // bytes written). `lastInput`: no input follows what is given.
  virtual Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                        size_t& produced, bool lastInput) = 0;
  // True when the input so far ends exactly at the end of a whole member,
  // frame or stream: a stream cut short is not finished.
  virtual bool finished() const = 0;
};

}  // namespace vsimgpvd
