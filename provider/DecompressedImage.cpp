#include "provider/DecompressedImage.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vsimgpvd {

namespace {

uint64_t sectorsIn(uint64_t bytes) { return (bytes + 511) / 512; }

bool allZero(const uint8_t* data, size_t size) {
  return std::all_of(data, data + size, [](uint8_t byte) { return byte == 0; });
}

}  // namespace

InitCode DecompressedImage::open(const ImageParts& parts, CompressionFormat format, ImageProgressCallback callback,
                                 void* user) {
  const std::unique_ptr<StreamDecoder> decoder = StreamDecoder::create(format);
  if (!decoder) {
    log_.line(u"vsimgpvd no %s decoder in this build\n", compressionName(format));
    return kUnknownFormat;
  }
  file_ = createUnnamedTempFile();
  if (!file_) {
    log_.line(u"vsimgpvd cannot make a temp file for the decompressed data\n");
    return kTempFileUnusable;
  }
  output_.reset(new (std::nothrow) uint8_t[kBufferSize]);
  InitCode code = output_ ? decompress(parts, *decoder, callback, user) : kOutOfMemory;
  output_.reset();
  if (code == kOpened && dataSize_ == 0) code = kUnknownFormat;
  if (code != kOpened) {
    file_.reset();
    dataSize_ = 0;
    return code;
  }
  log_.line(u"vsimgpvd %s stream decompressed: data_size=%llu\n", compressionName(format), dataSize_);
  return kOpened;
}

InitCode DecompressedImage::decompress(const ImageParts& parts, StreamDecoder& decoder, ImageProgressCallback callback,
                                       void* user) {
  const std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[kBufferSize]);
  if (!input) return kOutOfMemory;
  const uint64_t total = parts.dataSize();
  const uint64_t step = std::max<uint64_t>(total / 100, 1);  // a report at least every 1 %
  uint64_t at = 0;
  uint64_t reported = 0;
  for (uint32_t part = 0; part < parts.count(); ++part) {
    if (callback) callback(part + 1, sectorsIn(total), sectorsIn(at), user);
    for (const uint64_t end = parts.partEnd(part); at < end;) {
      const auto size = static_cast<uint32_t>(std::min<uint64_t>(kBufferSize, end - at));
      if (parts.read(input.get(), at, size) != size) {
        log_.line(u"vsimgpvd cannot read part %u\n", part + 1);
        return kImageUnreadable;
      }
      at += size;
      const InitCode code = decodeAndStore(decoder, input.get(), size, at == total);
      if (code != kOpened) return code;
      if (callback && at - reported >= step) {
        callback(part + 1, sectorsIn(total), sectorsIn(at), user);
        reported = at;
      }
    }
    if (callback) callback(part + 1, sectorsIn(total), sectorsIn(at), user);
  }
  if (!decoder.finished()) {
    log_.line(u"vsimgpvd the compressed stream is cut short\n");
    return kImageUnreadable;
  }
  return storeEnd() ? kOpened : kTempFileUnusable;
}

InitCode DecompressedImage::decodeAndStore(StreamDecoder& decoder, const uint8_t* input, size_t size,
                                           bool lastInput) {
  size_t offset = 0;
  for (;;) {
    size_t consumed = 0;
    size_t produced = 0;
    const StreamDecoder::Status status =
        decoder.decode(input + offset, size - offset, consumed, output_.get(), kBufferSize, produced, lastInput);
    offset += consumed;
    const InitCode stored = produced > 0 ? store(output_.get(), produced) : kOpened;
    if (stored != kOpened) return stored;
    if (status == StreamDecoder::Status::Damaged) {
      log_.line(u"vsimgpvd the compressed stream is damaged near compressed byte %llu of this read\n",
                static_cast<uint64_t>(offset));
      return kImageUnreadable;
    }
    if (status == StreamDecoder::Status::OutOfMemory) {
      log_.line(u"vsimgpvd no memory to decompress the stream\n");
      return kOutOfMemory;
    }
    // Done once all input is taken and nothing more waits to come out.
    if (offset == size && produced < kBufferSize) return kOpened;
    if (consumed == 0 && produced == 0) {
      log_.line(u"vsimgpvd the compressed stream takes no more input\n");
      return kImageUnreadable;
    }
  }
}

InitCode DecompressedImage::store(const uint8_t* data, size_t size) {
  if (size > ImageParts::kMaxDataSize - dataSize_) return kImageTooLarge;
  for (size_t done = 0; done < size;) {
    // Pieces end at the file's block borders, so a block of zeros is left out whole.
    const auto piece =
        static_cast<uint32_t>(std::min<uint64_t>(size - done, kBlockSize - dataSize_ % kBlockSize));
    endLeftOut_ = allZero(data + done, piece);
    if (!endLeftOut_ && file_->writeAt(data + done, dataSize_, piece) != piece) {
      log_.line(u"vsimgpvd cannot write the decompressed data at %llu\n", dataSize_);
      return kTempFileUnusable;
    }
    dataSize_ += piece;
    done += piece;
  }
  return kOpened;
}

bool DecompressedImage::storeEnd() {
  const uint8_t zero = 0;
  return !endLeftOut_ || file_->writeAt(&zero, dataSize_ - 1, 1) == 1;
}

uint32_t DecompressedImage::read(uint8_t* destination, uint64_t offset, uint32_t count) const {
  if (!file_) return 0;
  const auto inData = static_cast<uint32_t>(offset < dataSize_ ? std::min<uint64_t>(count, dataSize_ - offset) : 0);
  const uint32_t got = inData > 0 ? file_->readAt(destination, offset, inData) : 0;
  if (got < inData) return got;
  std::memset(destination + inData, 0, count - inData);
  return count;
}

}  // namespace vsimgpvd
