#pragma once

#include <cstdint>
#include <memory>

#include "disk/VirtualDiskImage.h"
#include "provider/CompressionFormat.h"
#include "provider/ImageData.h"
#include "provider/ImageFile.h"
#include "provider/ImageParts.h"
#include "provider/InitCodes.h"
#include "provider/ProviderLog.h"
#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// A compressed image (gzip, zstd or xz; one file or a numbered set of parts
// whose concatenation is the stream), decompressed once while it is opened
// into an unnamed temp file of the provider's own, from which its data is
// then read. Runs of zero blocks are left as holes, so the file takes the
// space of the image's non-zero data. Its progress is reported per part of
// the compressed input, as a raw image's is. Damage (a stream cut short, a
// corrupt block, a failed checksum, anything after a stream that is not
// another stream of the format) fails the opening: nothing is ever served
// that was not in the image. Memory stays bounded whatever the image says.
class DecompressedImage final : public ImageData {
 public:
  // Bytes read and decompressed at a time.
  static constexpr size_t kBufferSize = size_t{1} << 20;
  static constexpr uint32_t kBlockSize = 4096;

  // `log` must outlive the image.
  explicit DecompressedImage(ProviderLog& log) : log_(log) {}

  // Decompresses `parts`, a stream of `format`. kOpened, kImageUnreadable
  // (a part cannot be read, or the stream is damaged), kUnknownFormat (no
  // decoder for the format in this build, or no data), kTempFileUnusable,
  // kOutOfMemory or kImageTooLarge.
  InitCode open(const ImageParts& parts, CompressionFormat format, ImageProgressCallback callback, void* user);

  uint64_t dataSize() const override { return dataSize_; }
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const override;

 private:
  InitCode decompress(const ImageParts& parts, StreamDecoder& decoder, ImageProgressCallback callback, void* user);
  // Decodes `input` (all of it) and stores what comes out.
  InitCode decodeAndStore(StreamDecoder& decoder, const uint8_t* input, size_t size, bool lastInput);
  // Writes `data` after the data so far, skipping whole blocks of zeros.
  InitCode store(const uint8_t* data, size_t size);
  // Makes the file reach the data's end when its last block was left out.
  bool storeEnd();

  ProviderLog& log_;
  std::unique_ptr<ImageFile> file_;
  std::unique_ptr<uint8_t[]> output_;
  uint64_t dataSize_ = 0;
  bool endLeftOut_ = false;  // the last piece stored was zeros, left out
};

}  // namespace vsimgpvd
