#include "provider/XzDecoder.h"

namespace vsimgpvd {

XzDecoder::XzDecoder() { ready_ = lzma_stream_decoder(&stream_, kMemoryLimit, LZMA_CONCATENATED) == LZMA_OK; }

XzDecoder::~XzDecoder() { lzma_end(&stream_); }

StreamDecoder::Status XzDecoder::decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output,
                                        size_t outputSize, size_t& produced, bool lastInput) {
  consumed = 0;
  produced = 0;
  if (!ready_) return Status::OutOfMemory;
  stream_.next_in = input;
  stream_.avail_in = inputSize;
  stream_.next_out = output;
  stream_.avail_out = outputSize;
  // Concatenated streams end only when the input is known to end.
  const lzma_ret result = lzma_code(&stream_, lastInput ? LZMA_FINISH : LZMA_RUN);
  consumed = inputSize - stream_.avail_in;
  produced = outputSize - stream_.avail_out;
  switch (result) {
    case LZMA_OK:
    case LZMA_BUF_ERROR:
      return Status::Going;
    case LZMA_STREAM_END:
      ended_ = true;
      return Status::Going;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return Status::OutOfMemory;
    default:
      return Status::Damaged;
  }
}

bool XzDecoder::resume(const AccessPoint& point, const uint8_t*, size_t) {
  ended_ = false;
  ready_ = point.streamOffset == 0 && lzma_stream_decoder(&stream_, kMemoryLimit, LZMA_CONCATENATED) == LZMA_OK;
  return ready_;
}

}  // namespace vsimgpvd
