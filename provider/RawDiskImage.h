#pragma once

#include <cstdint>
#include <memory>

#include "disk/VirtualDiskImage.h"
#include "provider/CompressedImage.h"
#include "provider/ImageParts.h"
#include "provider/InitCodes.h"
#include "provider/Overlay.h"
#include "provider/ProviderLog.h"

namespace vsimgpvd {

// One raw volume image (a copy of a partition's bytes, in one file or a
// numbered set of parts, as it is or compressed with gzip, zstd or xz) behind
// the provider interface. The image files are only read; writes go to an
// overlay. Raw images state no block size, so the caller's stands, and the
// data is padded with zeros to a whole block.
class RawDiskImage final : public IVirtualDiskImage {
 public:
  RawDiskImage(ImageProgressCallback callback, void* user) : callback_(callback), user_(user) {}
  RawDiskImage(const RawDiskImage&) = delete;
  RawDiskImage& operator=(const RawDiskImage&) = delete;

  void reserved0() override {}
  void release() override;
  int32_t init(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
               const char16_t* masterPassword, const char16_t* debugLogPath, const char16_t* tempFilePath) override;
  void reserved3() override {}
  uint32_t read(void* destination, uint64_t offset, uint32_t count) override;
  uint32_t write(const void* source, uint64_t offset, uint32_t count) override;
  bool getDataSize(uint64_t* dataSize, uint32_t* blockSize) override;
  uint32_t getRangeForSectorMain(uint64_t sector, SectorRange* range) override;
  uint32_t getRangeForSectorBase(uint64_t sector, SectorRange* range) override;

 private:
  ~RawDiskImage() = default;

  InitCode open(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
                const char16_t* masterPassword, const char16_t* tempFilePath);
  // The parts' data as it is, or decompressed; kOpened or why not.
  InitCode openData(const char16_t* imagePath);
  std::unique_ptr<ImageFile> createStore(const char16_t* tempFilePath);
  // The image's data: the parts, or what they decompress to.
  const ImageData& data() const;
  // The data size rounded up to a whole block; 0 before init.
  uint64_t paddedSize() const;
  // How many of `count` bytes at `offset` lie within the padded size.
  uint32_t clampToEnd(uint64_t offset, uint32_t count) const;

  const ImageProgressCallback callback_;
  void* const user_;
  // Before the overlay, whose store logs to it.
  ProviderLog log_;
  // Set by a successful init, and only then; compressed_ for a compressed image.
  std::unique_ptr<ImageParts> parts_;
  std::unique_ptr<CompressedImage> compressed_;
  std::unique_ptr<Overlay> overlay_;
  uint32_t blockSize_ = 512;
};

}  // namespace vsimgpvd
