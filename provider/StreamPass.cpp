#include "provider/StreamPass.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vsimgpvd {

bool ProgressReport::report(uint32_t part, uint64_t doneBytes) {
  const uint64_t done = sectorsIn(doneBytes);
  if (!callback_ || cancelled_ || part < lastPart_ || (part == lastPart_ && done < lastDone_)) return !cancelled_;
  lastPart_ = part;
  lastDone_ = done;
  cancelled_ = callback_(part, totalSectors_, done, user_) == 0;
  return !cancelled_;
}

InitCode StreamPass::run(StreamDecoder& decoder, ProgressReport& progress) {
  const std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[kPieceSize]);
  output_.reset(new (std::nothrow) uint8_t[kWindowSize + kPieceSize]);
  if (!input || !output_) return kOutOfMemory;
  std::memset(output_.get(), 0, kWindowSize);
  const uint64_t total = parts_.dataSize();
  const uint64_t step = std::max<uint64_t>(total / 100, 1);  // a report at least every 1 %
  uint64_t at = 0;
  uint64_t reported = 0;
  for (uint32_t part = 0; part < parts_.count() && !stopped_; ++part) {
    if (!progress.report(part + 1, at)) return cancelled();
    for (const uint64_t end = parts_.partEnd(part); at < end && !stopped_;) {
      const auto size = static_cast<uint32_t>(std::min<uint64_t>(kPieceSize, end - at));
      if (parts_.read(input.get(), at, size) != size) {
        log_.line(u"vsimgpvd cannot read part %u\n", part + 1);
        return kImageUnreadable;
      }
      at += size;
      const InitCode code = decodePiece(decoder, input.get(), size, at == total);
      if (code != kOpened) return code;
      if (at - reported >= step) {
        if (!progress.report(part + 1, at)) return cancelled();
        reported = at;
      }
    }
    if (!stopped_ && !progress.report(part + 1, at)) return cancelled();
  }
  if (!stopped_ && !decoder.finished()) {
    log_.line(u"vsimgpvd the compressed stream is cut short\n");
    return kImageUnreadable;
  }
  return kOpened;
}

InitCode StreamPass::cancelled() {
  log_.line(u"vsimgpvd the pass through the stream was cancelled\n");
  return kCancelled;
}

InitCode StreamPass::decodePiece(StreamDecoder& decoder, const uint8_t* input, size_t size, bool lastInput) {
  size_t offset = 0;
  for (;;) {
    const size_t room = kWindowSize + kPieceSize - outputAt_;
    size_t consumed = 0;
    size_t produced = 0;
    const StreamDecoder::Status status = decoder.decode(input + offset, size - offset, consumed,
                                                        output_.get() + outputAt_, room, produced, lastInput);
    offset += consumed;
    streamAt_ += consumed;
    const InitCode code = decoded(decoder, status, produced);
    if (code != kOpened || stopped_) return code;
    // Done once all input is taken and nothing more waits to come out.
    if (offset == size && produced < room) return kOpened;
    if (consumed == 0 && produced == 0) {
      log_.line(u"vsimgpvd the compressed stream takes no more input\n");
      return kImageUnreadable;
    }
  }
}

uint64_t StreamPass::maxData() {
  uint64_t size = 0;
  return parseDataSize(std::getenv("VSIMGPVD_MAX_DATA"), size) ? std::min(size, ImageParts::kMaxDataSize)
                                                                : kDefaultMaxData;
}

bool StreamPass::parseDataSize(const char* text, uint64_t& size) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const auto digit = static_cast<uint64_t>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  const char* const units = "KMGT";
  const char* unit = *text != '\0' ? std::strchr(units, *text) : nullptr;
  if (*text != '\0' && (unit == nullptr || text[1] != '\0')) return false;
  const unsigned shift = unit ? 10u * static_cast<unsigned>(unit - units + 1) : 0u;
  if (shift != 0 && value > (UINT64_MAX >> shift)) return false;
  size = value << shift;
  return true;
}

InitCode StreamPass::decoded(StreamDecoder& decoder, StreamDecoder::Status status, size_t produced) {
  if (produced > maxData_ - dataSize_) {
    log_.line(u"vsimgpvd the compressed stream holds more than %llu bytes of data, the most allowed"
              u" ($VSIMGPVD_MAX_DATA)\n", maxData_);
    return kImageTooLarge;
  }
  if (produced > 0) {
    dataSize_ += produced;
    const InitCode code = take(output_.get() + outputAt_, produced);
    outputAt_ += produced;
    if (code != kOpened) return code;
  }
  if (status == StreamDecoder::Status::Damaged) {
    log_.line(u"vsimgpvd the compressed stream is damaged near compressed byte %llu\n", streamAt_);
    return kImageUnreadable;
  }
  if (status == StreamDecoder::Status::OutOfMemory) {
    log_.line(u"vsimgpvd no memory to decompress the stream\n");
    return kOutOfMemory;
  }
  AccessPoint point;
  if (decoder.atAccessPoint(point)) {
    point.dataOffset = dataSize_;
    point.streamOffset = streamAt_;
    const InitCode code = reached(point);
    if (code != kOpened) return code;
  }
  // The output room is used up: keep the window's worth of history before it.
  if (outputAt_ == kWindowSize + kPieceSize) {
    std::memmove(output_.get(), output_.get() + kPieceSize, kWindowSize);
    outputAt_ = kWindowSize;
  }
  return kOpened;
}

void StreamPass::window(const uint8_t*& data, size_t& size) const {
  size = static_cast<size_t>(std::min<uint64_t>(kWindowSize, dataSize_));
  data = output_.get() + outputAt_ - size;
}

}  // namespace vsimgpvd
