#include "provider/RawDiskImage.h"

#include <algorithm>
#include <new>

#include "common/WideString.h"
#include "provider/SpillFile.h"

namespace vsimgpvd {
namespace {

constexpr uint64_t kSectorSize = 512;

}  // namespace

void RawDiskImage::release() {
  log_.line(u"vsimgpvd release\n");
  delete this;
}

int32_t RawDiskImage::init(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
                           const char16_t* masterPassword, const char16_t* debugLogPath, const char16_t* tempFilePath) {
  if (overlay_) {
    log_.line(u"vsimgpvd init failed code=%d (already initialised)\n", int32_t{kAlreadyInitialised});
    return kAlreadyInitialised;
  }
  InitCode code = kOutOfMemory;
  try {
    log_.open(debugLogPath);
    code = open(imagePath, baseImagePath, usingEncryption, masterPassword, tempFilePath);
  } catch (const std::bad_alloc&) {
    overlay_.reset();
    compressed_.reset();
    parts_.reset();
  }
  if (code != kOpened && code != kOpenedWithPaddedTail) {
    log_.line(u"vsimgpvd init failed code=%d image=%s\n", static_cast<int32_t>(code), imagePath);
    log_.close();
  }
  return code;
}

InitCode RawDiskImage::open(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
                            const char16_t* masterPassword, const char16_t* tempFilePath) {
  if (wide::length(imagePath) == 0) return kInvalidArgument;
  if (wide::length(baseImagePath) != 0) return kBaseImageNotSupported;
  if (usingEncryption || wide::length(masterPassword) != 0) return kEncryptionNotSupported;
  const InitCode code = openData(imagePath);
  if (code != kOpened) {
    compressed_.reset();
    parts_.reset();
    return code;
  }
  std::unique_ptr<ImageFile> store = createStore(tempFilePath);
  if (!store) {
    compressed_.reset();
    parts_.reset();
    return kTempFileUnusable;
  }
  overlay_ = std::make_unique<Overlay>(data(), std::move(store));

  const uint64_t dataSize = data().dataSize();
  log_.line(u"vsimgpvd init image=%s parts=%u data_size=%llu\n", imagePath, parts_->count(), dataSize);
  if (wide::length(tempFilePath) == 0) {
    log_.line(u"vsimgpvd overlay=memory\n");
  } else {
    log_.line(u"vsimgpvd overlay=file path=%s\n", tempFilePath);
  }
  if (dataSize % kSectorSize == 0) return kOpened;
  log_.line(u"vsimgpvd data_size=%llu is not a whole number of sectors, the tail reads as zeros\n", dataSize);
  return kOpenedWithPaddedTail;
}

InitCode RawDiskImage::openData(const char16_t* imagePath) {
  parts_ = std::make_unique<ImageParts>();
  const InitCode code = parts_->open(imagePath, nullptr, nullptr);  // progress comes below
  if (code != kOpened) return code;
  uint8_t head[8] = {};
  const uint32_t headSize = parts_->read(head, 0, sizeof(head));
  const CompressionFormat format = detectCompression(head, headSize);
  if (format == CompressionFormat::None) {
    parts_->reportProgress(callback_, user_);
    return kOpened;
  }
  compressed_ = std::make_unique<CompressedImage>(log_, *parts_);
  return compressed_->open(format, callback_, user_);
}

const ImageData& RawDiskImage::data() const {
  if (compressed_) return *compressed_;
  return *parts_;
}

std::unique_ptr<ImageFile> RawDiskImage::createStore(const char16_t* tempFilePath) {
  if (wide::length(tempFilePath) == 0) return std::make_unique<SpillFile>(log_);
  return createTempFile(tempFilePath);
}

uint32_t RawDiskImage::read(void* destination, uint64_t offset, uint32_t count) {
  const uint32_t length = clampToEnd(offset, count);
  if (length == 0 || !destination) return 0;
  auto* bytes = static_cast<uint8_t*>(destination);
  return overlay_->empty() ? data().read(bytes, offset, length) : overlay_->read(bytes, offset, length);
}

uint32_t RawDiskImage::write(const void* source, uint64_t offset, uint32_t count) {
  const uint32_t length = clampToEnd(offset, count);
  if (length == 0 || !source) return 0;
  return overlay_->write(static_cast<const uint8_t*>(source), offset, length);
}

bool RawDiskImage::getDataSize(uint64_t* dataSize, uint32_t* blockSize) {
  if (!overlay_ || !dataSize || !blockSize || *blockSize == 0) return false;
  blockSize_ = *blockSize;
  *dataSize = paddedSize();
  return true;
}

uint32_t RawDiskImage::getRangeForSectorMain(uint64_t sector, SectorRange* range) {
  if (!range) return kRangeNotInitialised;
  *range = {};
  if (!overlay_) return kRangeNotInitialised;
  // Raw data is present everywhere.
  const uint64_t sectors = paddedSize() / blockSize_;
  if (sector >= sectors) return kSectorPastEnd;
  *range = {0, sectors - 1, true};
  return kRangeFound;
}

uint32_t RawDiskImage::getRangeForSectorBase(uint64_t, SectorRange* range) {
  if (range) *range = {};
  return kNoBaseImage;
}

uint64_t RawDiskImage::paddedSize() const {
  if (!overlay_) return 0;
  return (data().dataSize() + blockSize_ - 1) / blockSize_ * blockSize_;
}

uint32_t RawDiskImage::clampToEnd(uint64_t offset, uint32_t count) const {
  const uint64_t end = paddedSize();
  if (offset >= end) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(count, end - offset));
}

}  // namespace vsimgpvd

IVirtualDiskImage* CreateInstanceVirtualDiskImage(ImageProgressCallback callback, void* user) {
  try {
    return new vsimgpvd::RawDiskImage(callback, user);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
