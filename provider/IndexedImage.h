#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/Lock.h"
#include "provider/CompressionFormat.h"
#include "provider/ImageData.h"
#include "provider/ImageFile.h"
#include "provider/ImageParts.h"
#include "provider/IndexFile.h"
#include "provider/ProviderLog.h"
#include "provider/StreamDecoder.h"

namespace vsimgpvd {

// The data of a compressed image read through its access-point index: a
// read decodes the chunks it touches from the nearest access point before
// them, or goes on from where an earlier read stopped, and checks each
// chunk against the CRC-32 taken when the index was built, so damage found
// now (or an image changed under the index) fails the read instead of
// serving other data. Recent chunks are kept, a bounded number. The index
// file is read on demand: memory does not grow with the image.
class IndexedImage final : public ImageData {
 public:
  static constexpr uint32_t kCachedChunks = 16;
  static constexpr uint32_t kCursors = 2;
  static constexpr uint32_t kInputSize = 256 * 1024;

  // `parts` and `log` must outlive the image.
  IndexedImage(ProviderLog& log, const ImageParts& parts, std::unique_ptr<ImageFile> index, const IndexHeader& header)
      : log_(log), parts_(parts), index_(std::move(index)), header_(header) {}

  // Makes the decoders and buffers; false without memory for them.
  bool prepare(CompressionFormat format);

  uint64_t dataSize() const override { return header_.dataSize; }
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const override;

 private:
  struct Chunk {
    uint64_t index = UINT64_MAX;
    uint64_t lastUse = 0;
    std::unique_ptr<uint8_t[]> data;
  };
  // A decoder standing at dataAt, its input read up to streamAt.
  struct Cursor {
    std::unique_ptr<StreamDecoder> decoder;
    std::unique_ptr<uint8_t[]> input;
    uint32_t inputAt = 0;
    uint32_t inputEnd = 0;
    uint64_t dataAt = UINT64_MAX;  // UINT64_MAX: standing nowhere
    uint64_t streamAt = 0;
    uint64_t lastUse = 0;
  };

  // The chunk's data, cached or decoded now; null when it cannot be had.
  const Chunk* chunk(uint64_t index);
  bool decodeChunk(uint64_t index, uint8_t* into);
  Cursor* cursorFor(uint64_t start);
  // The last access point at or before `dataOffset`.
  bool findPoint(uint64_t dataOffset, AccessPoint& point);
  bool resumeAt(Cursor& cursor, const AccessPoint& point);
  // At the end of a block decoded alone: the next block's point, where the cursor stands.
  bool resumeAtNextBlock(Cursor& cursor);
  // Decodes on to `end`, keeping what lies from `start` on in `into`.
  bool advance(Cursor& cursor, uint64_t start, uint64_t end, uint8_t* into);
  bool refill(Cursor& cursor);
  bool checksumMatches(uint64_t index, const uint8_t* data, uint64_t size);

  ProviderLog& log_;
  const ImageParts& parts_;
  const std::unique_ptr<ImageFile> index_;
  const IndexHeader header_;
  // Reads come from several threads; decoding is one at a time.
  mutable Lock lock_;
  std::vector<Chunk> chunks_;
  std::vector<Cursor> cursors_;
  uint64_t uses_ = 0;
};

}  // namespace vsimgpvd
