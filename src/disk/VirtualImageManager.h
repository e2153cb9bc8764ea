#pragma once

#include <chrono>
#include <cstdint>

#include "disk/VirtualDiskImage.h"
#include "disk/VirtualDiskLayout.h"

// Holds the one backup image that the service presents as a disk, has the
// disk layout built around its data, and answers byte ranges of the whole
// virtual disk: partition-table bytes from the layout, image bytes from the
// provider. Process-wide; every operation is static and thread-safe. The
// image lock exists for the whole process (it is made at first use), so the
// manager is guarded whether or not init() was called.
class VirtualImageManager {
 public:
  using ImageFactory = IVirtualDiskImage* (*)(ImageProgressCallback callback, void* user);

  static void init();
  // Closes the open image, if any; the result is closeImage's.
  static bool shutdown();

  static void setProgressCallback(ImageProgressCallback callback, void* user);
  static void setDebugLogPath(const char16_t* path);
  static void setTempFile(const char16_t* path);

  // Opens an image and builds the layout. Returns 0, or -14 when the provider
  // opened it with a condition; otherwise a negative code (-1 no instance;
  // -2..-7, -10..-13, -16, -17 from the provider's init code, -19 when the
  // progress callback stopped its index pass; -8 no usable size or block
  // size). On success `diskSize` holds the whole disk's bytes
  // and `blockSize` its sector size. A failed open leaves its instance current
  // until closeImage.
  static int32_t openImage(const char16_t* imagePath, const char16_t* baseImagePath, uint64_t& diskSize,
                           uint32_t& blockSize, const char16_t* masterPassword);
  // True when no image is open any more (also when none was). False when the
  // image lock stayed busy past its bound (a provider call that does not
  // return): the image is still open and the caller may try again later.
  static bool closeImage();
  static bool isImageOpen();

  // Move bytes at a disk offset; return the bytes moved (0 with no open image).
  static uint32_t read(void* buffer, uint64_t offset, uint32_t count);
  static uint32_t write(const void* buffer, uint64_t offset, uint32_t count);

  // Replaces the provider's factory (tests); returns the previous one.
  static ImageFactory swapImageFactory(ImageFactory factory);
  // Replaces how long a call waits for the image lock (tests); returns the previous bound.
  static std::chrono::milliseconds swapImageLockWait(std::chrono::milliseconds wait);
};
