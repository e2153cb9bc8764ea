#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/VirtualDiskImage.h"
#include "provider/CompressionFormat.h"
#include "provider/ImageData.h"
#include "provider/ImageFile.h"
#include "provider/ImageParts.h"
#include "provider/IndexFile.h"
#include "provider/InitCodes.h"
#include "provider/ProviderLog.h"
#include "provider/StreamDecoder.h"
#include "provider/StreamPass.h"

namespace vsimgpvd {

// A compressed image (gzip, zstd or xz; one file or a set of parts whose
// concatenation is the stream) opened through an index file: the index
// kept from an earlier opening of the same unchanged parts, or one built
// now in a single pass over the stream, which checks all of it and reports
// its progress. A stream with access points close enough is read through
// them (IndexedImage); any other is decompressed once into the index file
// (DecompressedImage). Damage (a stream cut short, a corrupt block, a
// failed checksum, anything after a stream that is not another stream of
// the format) fails the opening; damage found later fails the read. Memory
// stays bounded whatever the image says.
class CompressedImage final : public ImageData {
 public:
  enum class IndexSource { Built, Stored };

  // `log` and `parts` must outlive the image.
  CompressedImage(ProviderLog& log, const ImageParts& parts) : log_(log), parts_(parts) {}

  // kOpened, kImageUnreadable (a part cannot be read, or the stream is
  // damaged), kUnknownFormat (no decoder for the format in this build, or
  // no data), kTempFileUnusable (no index file can be made or written),
  // kOutOfMemory or kImageTooLarge.
  InitCode open(CompressionFormat format, ImageProgressCallback callback, void* user);

  uint64_t dataSize() const override { return data_->dataSize(); }
  uint32_t read(uint8_t* destination, uint64_t offset, uint32_t count) const override {
    return data_->read(destination, offset, count);
  }

  // The name of the stored index of `parts` compressed as `format` (named
  // by the first part's file, so that the index of a changed image replaces
  // the one before), and the identity it holds; empty when the parts cannot
  // be told apart from changed ones (no store then).
  static std::string indexName(const ImageParts& parts, CompressionFormat format, std::string& identity);
  // What the store holds for the compressed image at `path`, in words:
  // "4012 access points, stored", "a decompressed copy, stored", "none stored", ...
  static std::string storedIndexState(const std::u16string& path);

 private:
  bool openStored(CompressionFormat format, const std::string& name, const std::string& identity);
  // Makes the index file (`file`, described by `header`) in one pass, or
  // two when the stream turns out too sparse in access points.
  InitCode build(CompressionFormat format, const std::string& identity, ImageProgressCallback callback, void* user,
                 std::unique_ptr<ImageFile>& file, IndexHeader& header);
  InitCode indexPass(CompressionFormat format, const std::string& identity, ProgressReport& progress,
                     std::vector<AccessPoint> blocks, std::unique_ptr<ImageFile>& file, IndexHeader& header,
                     bool& tooSparse);
  InitCode copyPass(CompressionFormat format, const std::string& identity, ProgressReport& progress,
                    std::unique_ptr<ImageFile>& file, IndexHeader& header);
  // A decoder, and a new index file holding `identity`.
  InitCode startPass(CompressionFormat format, const std::string& identity, std::unique_ptr<StreamDecoder>& decoder,
                     std::unique_ptr<ImageFile>& file);
  // Serves the data from `file` as `header` describes it; false without memory.
  bool serve(CompressionFormat format, std::unique_ptr<ImageFile> file, const IndexHeader& header);

  ProviderLog& log_;
  const ImageParts& parts_;
  std::unique_ptr<ImageData> data_;
};

}  // namespace vsimgpvd
