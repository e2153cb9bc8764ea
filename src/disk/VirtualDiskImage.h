#pragma once

#include <cstdint>

#include "vsimgpvd_export.h"

// The interface of the image-provider library (vsimgpvd): one instance opens
// one backup image and reads and writes bytes at image offsets (offsets count
// from the first byte of the image data). The virtual slots keep this order;
// slots 0 and 3 are not used by the service. Strings are zero-terminated
// UTF-16. An instance is used by one thread at a time.

struct SectorRange {
  uint64_t min;
  uint64_t max;
  bool has_data;
};

// Called while the provider builds its index of the image, on the thread that
// called init: image part number (from 1), total sectors, sectors processed,
// the user pointer. Returns a boolean.
using ImageProgressCallback = uint8_t (*)(uint32_t part, uint64_t totalSectors, uint64_t processedSectors, void* user);

class IVirtualDiskImage {
 public:
  virtual void reserved0() = 0;
  // Ends the instance; it is gone afterwards.
  virtual void release() = 0;
  // Opens the image; returns one of the codes in provider/InitCodes.h.
  virtual int32_t init(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
                       const char16_t* masterPassword, const char16_t* debugLogPath, const char16_t* tempFilePath) = 0;
  virtual void reserved3() = 0;
  virtual uint32_t read(void* destination, uint64_t offset, uint32_t count) = 0;
  virtual uint32_t write(const void* source, uint64_t offset, uint32_t count) = 0;
  // The image data size in bytes; `blockSize` carries the caller's starting
  // value in and the image's sector size out.
  virtual bool getDataSize(uint64_t* dataSize, uint32_t* blockSize) = 0;
  virtual uint32_t getRangeForSectorMain(uint64_t sector, SectorRange* range) = 0;
  virtual uint32_t getRangeForSectorBase(uint64_t sector, SectorRange* range) = 0;

 protected:
  ~IVirtualDiskImage() = default;  // instances end through release()
};

extern "C" VSIMGPVD_EXPORT IVirtualDiskImage* CreateInstanceVirtualDiskImage(ImageProgressCallback callback,
                                                                             void* user);
