#include "provider/GzipDecoder.h"

#include <algorithm>

namespace vsimgpvd {

namespace {

constexpr int kGzipOnly = 16 + MAX_WBITS;
constexpr int kRawDeflate = -MAX_WBITS;
// A member ends with its CRC-32 and length.
constexpr uint32_t kTrailerSize = 8;
// inflate's data_type after a Z_BLOCK stop: bits unused, within the last block, at a block border.
constexpr int kUnusedBits = 7;
constexpr int kLastBlock = 64;
constexpr int kBlockBorder = 128;

}  // namespace

GzipDecoder::GzipDecoder() { ready_ = inflateInit2(&stream_, kGzipOnly) == Z_OK; }

GzipDecoder::~GzipDecoder() {
  if (ready_) inflateEnd(&stream_);
}

StreamDecoder::Status GzipDecoder::decode(const uint8_t* input, size_t inputSize, size_t& consumed, uint8_t* output,
                                          size_t outputSize, size_t& produced, bool) {
  consumed = 0;
  produced = 0;
  stop_ = Stop::None;
  if (!ready_) return Status::OutOfMemory;
  for (;;) {
    if (trailerLeft_ > 0) {
      if (!skipTrailer(inputSize, consumed)) return Status::Going;
      memberEnded_ = true;
      stop_ = Stop::MemberEnd;
      return Status::Going;
    }
    if (memberEnded_) {
      if (consumed == inputSize) return Status::Going;
      // What follows a member must be another member.
      if (inflateReset2(&stream_, kGzipOnly) != Z_OK) return Status::Damaged;
      memberEnded_ = false;
      raw_ = false;
    }
    stream_.next_in = const_cast<Bytef*>(input + consumed);
    stream_.avail_in = static_cast<uInt>(inputSize - consumed);
    stream_.next_out = output + produced;
    stream_.avail_out = static_cast<uInt>(outputSize - produced);
    // Z_BLOCK stops at each block border, where an access point can be.
    const int result = inflate(&stream_, Z_BLOCK);
    consumed = inputSize - stream_.avail_in;
    produced = outputSize - stream_.avail_out;
    if (result == Z_STREAM_END) {
      if (raw_) {
        trailerLeft_ = kTrailerSize;
        continue;
      }
      memberEnded_ = true;
      stop_ = Stop::MemberEnd;
      return Status::Going;
    }
    if (result == Z_OK) {
      if ((stream_.data_type & kBlockBorder) && !(stream_.data_type & kLastBlock)) {
        bits_ = static_cast<uint8_t>(stream_.data_type & kUnusedBits);
        stop_ = Stop::BlockBorder;
        return Status::Going;
      }
      if (stream_.avail_in == 0 || stream_.avail_out == 0) return Status::Going;
    } else if (result == Z_BUF_ERROR) {
      return Status::Going;  // no progress without more input or more room
    } else {
      return result == Z_MEM_ERROR ? Status::OutOfMemory : Status::Damaged;
    }
  }
}

bool GzipDecoder::skipTrailer(size_t inputSize, size_t& consumed) {
  const auto skipped = static_cast<uint32_t>(std::min<size_t>(trailerLeft_, inputSize - consumed));
  consumed += skipped;
  trailerLeft_ -= skipped;
  return trailerLeft_ == 0;
}

bool GzipDecoder::atAccessPoint(AccessPoint& point) const {
  if (stop_ == Stop::None) return false;
  point.withinMember = stop_ == Stop::BlockBorder;
  point.bits = point.withinMember ? bits_ : 0;
  return true;
}

bool GzipDecoder::resume(const AccessPoint& point, const uint8_t* window, size_t windowSize) {
  if (!ready_) return false;
  memberEnded_ = false;
  trailerLeft_ = 0;
  stop_ = Stop::None;
  raw_ = point.withinMember;
  if (!raw_) return inflateReset2(&stream_, kGzipOnly) == Z_OK;
  if (inflateReset2(&stream_, kRawDeflate) != Z_OK) return false;
  if (point.bits > 0 && inflatePrime(&stream_, point.bits, point.prime) != Z_OK) return false;
  return windowSize == 0 ||
         inflateSetDictionary(&stream_, window, static_cast<uInt>(windowSize)) == Z_OK;
}

}  // namespace vsimgpvd
