#include "provider/ZstdDecoder.h"

namespace vsimgpvd {

ZstdDecoder::ZstdDecoder() : context_(ZSTD_createDCtx()) {}

ZstdDecoder::~ZstdDecoder() { ZSTD_freeDCtx(context_); }

StreamDecoder::Status ZstdDecoder::decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output,
                                          size_t outputSize, size_t& produced, bool) {
  consumed = 0;
  produced = 0;
  stoppedAtFrameEnd_ = false;
  if (!context_) return Status::OutOfMemory;
  ZSTD_inBuffer in{input, inputSize, 0};
  ZSTD_outBuffer out{output, outputSize, 0};
  for (;;) {
    const size_t before = in.pos + out.pos;
    const size_t result = ZSTD_decompressStream(context_, &out, &in);
    consumed = in.pos;
    produced = out.pos;
    if (ZSTD_isError(result)) {
      return ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation ? Status::OutOfMemory : Status::Damaged;
    }
    // A call that moves nothing (no input, or no room) leaves the state as it was.
    if (in.pos + out.pos == before) return Status::Going;
    // 0: a frame is complete and no other has begun.
    frameEnded_ = result == 0;
    if (frameEnded_) {
      stoppedAtFrameEnd_ = true;
      return Status::Going;
    }
    if (in.pos == in.size || out.pos == out.size) return Status::Going;
  }
}

bool ZstdDecoder::atAccessPoint(AccessPoint& point) const {
  if (!stoppedAtFrameEnd_) return false;
  point.withinMember = false;
  point.bits = 0;
  return true;
}

bool ZstdDecoder::resume(const AccessPoint&, const uint8_t*, size_t) {
  frameEnded_ = false;
  stoppedAtFrameEnd_ = false;
  return context_ && !ZSTD_isError(ZSTD_DCtx_reset(context_, ZSTD_reset_session_only));
}

}  // namespace vsimgpvd
