#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/VirtualDiskImage.h"
#include "provider/ImageParts.h"
#include "provider/InitCodes.h"
#include "provider/ProviderLog.h"
#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// Reports the progress of passes over an image's parts, in sectors of the
// whole compressed data, never going back: a second pass over what one
// before has reported stays silent until it gets further.
class ProgressReport {
 public:
  ProgressReport(ImageProgressCallback callback, void* user, uint64_t totalBytes)
      : callback_(callback), user_(user), totalSectors_(sectorsIn(totalBytes)) {}

  // Part `part` (from 1) has been read up to `doneBytes` of the whole data.
  // False once the callback has answered that the pass is not to go on.
  bool report(uint32_t part, uint64_t doneBytes);

 private:
  static uint64_t sectorsIn(uint64_t bytes) { return (bytes + 511) / 512; }

  const ImageProgressCallback callback_;
  void* const user_;
  const uint64_t totalSectors_;
  uint32_t lastPart_ = 0;
  uint64_t lastDone_ = 0;
  bool cancelled_ = false;
};

// One pass through the stream of a compressed image: reads its parts in
// order, decodes them, and hands what comes out, and each access point the
// decoder stops at, to the pass's kind (an index, a copy). Progress is
// reported at each part's start and end and at least every 1 %.
class StreamPass {
 public:
  // Compressed bytes read, and decompressed bytes taken, at a time.
  static constexpr size_t kPieceSize = size_t{1} << 20;
  // The data a deflate access point needs before it.
  static constexpr size_t kWindowSize = size_t{1} << 15;
  // The most data a stream may expand to unless $VSIMGPVD_MAX_DATA says
  // otherwise: a few megabytes of compressed input can claim terabytes.
  static constexpr uint64_t kDefaultMaxData = uint64_t{16} << 40;

  // The bound that $VSIMGPVD_MAX_DATA sets (bytes, or a number followed by
  // K, M, G or T for binary multiples), or kDefaultMaxData when it is unset
  // or not such a number.
  static uint64_t maxData();
  // `text` as such a size; false when it is none.
  static bool parseDataSize(const char* text, uint64_t& size);

  StreamPass(const StreamPass&) = delete;
  StreamPass& operator=(const StreamPass&) = delete;

  // kOpened (also when the kind stopped the pass), kImageUnreadable (a part
  // cannot be read, the stream is damaged or cut short), kOutOfMemory, or
  // the kind's own failure.
  InitCode run(StreamDecoder& decoder, ProgressReport& progress);
  uint64_t dataSize() const { return dataSize_; }

 protected:
  StreamPass(ProviderLog& log, const ImageParts& parts) : log_(log), parts_(parts), maxData_(maxData()) {}
  virtual ~StreamPass() = default;

  // The next `size` bytes of data, which end at dataSize().
  virtual InitCode take(const uint8_t* data, size_t size) = 0;
  // The decoder stopped at `point` (its offsets and what the decoder knows filled in).
  virtual InitCode reached(AccessPoint& point) = 0;
  // Ends the pass after the current step, without the checks of its end.
  void stop() { stopped_ = true; }
  // The data (at most kWindowSize bytes) just before dataSize().
  void window(const uint8_t*& data, size_t& size) const;

  ProviderLog& log_;
  const ImageParts& parts_;
  const uint64_t maxData_;

 private:
  // Ends the pass at the progress callback's word, with its log line.
  InitCode cancelled();
  InitCode decodePiece(StreamDecoder& decoder, const uint8_t* input, size_t size, bool lastInput);
  InitCode decoded(StreamDecoder& decoder, StreamDecoder::Status status, size_t produced);

  // kWindowSize of history, then room for kPieceSize of output.
  std::unique_ptr<uint8_t[]> output_;
  size_t outputAt_ = kWindowSize;
  uint64_t dataSize_ = 0;
  uint64_t streamAt_ = 0;  // compressed bytes decoded
  bool stopped_ = false;
};

}  // namespace vsimgpvd
