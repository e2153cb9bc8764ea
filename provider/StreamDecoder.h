#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "provider/CompressionFormat.h"
#include "provider/ImageParts.h"

namespace vsimgpvd {

// A place in a compressed stream where decoding can start again without
// what came before it: the start of a gzip member or zstd frame (or of the
// whole stream), or a deflate block border inside a gzip member, which also
// needs the bits left in the byte before it and the 32 KiB of data before
// it (its window); or the start of an xz block, decoded alone.
struct AccessPoint {
  uint64_t dataOffset = 0;    // where its decompressed data begins
  uint64_t streamOffset = 0;  // its first compressed byte (after `bits`)
  bool withinMember = false;  // a deflate block border: raw deflate, bits and window
  uint8_t bits = 0;           // bits of the byte before streamOffset still to decode
  uint8_t prime = 0;          // those bits, low aligned
  uint64_t windowOffset = 0;  // where the window lies in the index file, compressed
  uint32_t windowSize = 0;    // its compressed size; 0 for none
  uint8_t check = 0;          // an xz block: its stream's kind of check
};

// One compressed stream decoded piece by piece, as its bytes come: gzip (its
// members one after another), zstd (its frames) or xz (its streams), each
// checked against its own checksums by the format's library. A decode stops
// at each access point it passes, so that its caller can note where it is.
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
  // The access points of a stream of `format` whose own index lists them
  // (xz blocks), and the most data one holds; false for other formats and
  // when the stream's index cannot be read.
  static bool listBlocks(CompressionFormat format, const ImageParts& parts, std::vector<AccessPoint>& blocks,
                         uint64_t& largestBlock);

  // Decodes from `input` (`consumed` bytes taken) into `output` (`produced`
  // bytes written). `lastInput`: no input follows what is given.
  virtual Status decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output, size_t outputSize,
                        size_t& produced, bool lastInput) = 0;
  // True when the input so far ends exactly at the end of a whole member,
  // frame or stream: a stream cut short is not finished.
  virtual bool finished() const = 0;
  // True when the last decode stopped at an access point; fills in what
  // the decoder knows of it (withinMember, bits). The point lies at the end
  // of the input taken so far.
  virtual bool atAccessPoint(AccessPoint& point) const = 0;
  // Starts decoding afresh at `point`, with its window when it has one.
  // The input given next begins at its streamOffset. A decoder that decodes
  // one block at a time is finished at the block's end and takes no more
  // input. False when the decoder cannot (no memory, or a window it refuses).
  virtual bool resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) = 0;
};

}  // namespace vsimgpvd
