#include "provider/GzipDecoder.h"

namespace vsimgpvd {

namespace {

constexpr int kGzipOnly = 16 + MAX_WBITS;

}  // namespace

GzipDecoder::GzipDecoder() { ready_ = inflateInit2(&stream_, kGzipOnly) == Z_OK; }

GzipDecoder::~GzipDecoder() {
  if (ready_) inflateEnd(&stream_);
}

StreamDecoder::Status GzipDecoder::decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output,
                                          size_t outputSize, size_t& produced, bool) {
  consumed = 0;
  produced = 0;
  if (!ready_) return Status::OutOfMemory;
  for (;;) {
    if (memberEnded_) {
      if (consumed == inputSize) return Status::Going;
      // What follows a member must be another member.
      if (inflateReset(&stream_) != Z_OK) return Status::Damaged;
      memberEnded_ = false;
    }
    stream_.next_in = const_cast<Bytef*>(input + consumed);
    stream_.avail_in = static_cast<uInt>(inputSize - consumed);
    stream_.next_out = output + produced;
    stream_.avail_out = static_cast<uInt>(outputSize - produced);
    const int result = inflate(&stream_, Z_NO_FLUSH);
    consumed = inputSize - stream_.avail_in;
    produced = outputSize - stream_.avail_out;
    if (result == Z_STREAM_END) {
      memberEnded_ = true;
    } else if (result == Z_OK) {
      if (stream_.avail_in == 0 || stream_.avail_out == 0) return Status::Going;
    } else if (result == Z_BUF_ERROR) {
      return Status::Going;  // no progress without more input or more room
    } else {
      return result == Z_MEM_ERROR ? Status::OutOfMemory : Status::Damaged;
    }
  }
}

}  // namespace vsimgpvd
