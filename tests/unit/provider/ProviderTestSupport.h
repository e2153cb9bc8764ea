#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "disk/VirtualDiskImage.h"
#include "provider/InitCodes.h"
#include "support/TempDir.h"

// Owns a provider instance for a test and releases it at the end.
struct ReleaseImage {
  void operator()(IVirtualDiskImage* image) const { image->release(); }
};
using ImagePtr = std::unique_ptr<IVirtualDiskImage, ReleaseImage>;

inline ImagePtr createImage(ImageProgressCallback callback = nullptr, void* user = nullptr) {
  return ImagePtr(CreateInstanceVirtualDiskImage(callback, user));
}

// Bytes that differ from offset to offset and from seed to seed, so that data
// read from the wrong place or the wrong part shows.
inline std::string patternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

class ProviderTest : public ::testing::Test {
 protected:
  // Writes `bytes` as `name` in the test directory and returns its path.
  std::u16string makeFile(const std::u16string& name, const std::string& bytes) {
    std::ofstream out(dir_.path() / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return dir_.file(name);
  }

  // Opens `path` with no base image, password or encryption.
  static int32_t initImage(IVirtualDiskImage& image, const std::u16string& path, const char16_t* tempFile = nullptr,
                           const char16_t* logFile = nullptr) {
    return image.init(path.c_str(), nullptr, false, nullptr, logFile, tempFile);
  }

  // What one read of `size` bytes at `offset` returns (as many bytes as it reported).
  static std::string readBytes(IVirtualDiskImage& image, uint64_t offset, uint32_t size) {
    std::string bytes(size, '\x5A');
    bytes.resize(image.read(bytes.data(), offset, size));
    return bytes;
  }

  TempDir dir_;
};
