#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/VirtualDiskImage.h"
#include "disk/VirtualImageManager.h"

// An image provider instance over bytes in memory that records how it was
// called. The test owns it; release() only marks it released.
class FakeDiskImage : public IVirtualDiskImage {
 public:
  struct Call {
    std::string op;
    uint64_t offset;
    uint32_t count;
  };

  std::vector<uint8_t> data;
  int32_t initCode = 0;
  bool dataSizeFails = false;
  std::optional<uint32_t> reportedBlockSize;  // none: keep the caller's value
  uint64_t reportedDataSize = ~0ull;          // all ones: the size of `data`
  uint32_t extraMoved = 0;                    // a provider that claims more than it moved
  uint32_t shortBy = 0;                       // a provider that moves less than asked
  std::function<void()> duringRead;           // runs inside each read (a provider that blocks)

  bool released = false;
  std::vector<Call> calls;
  std::u16string initImagePath, initBasePath, initPassword, initDebugLogPath, initTempFile;
  bool initUsingEncryption = false;
  bool passwordWasNull = true;

  void reserved0() override {}
  void release() override { released = true; }
  int32_t init(const char16_t* imagePath, const char16_t* baseImagePath, bool usingEncryption,
               const char16_t* masterPassword, const char16_t* debugLogPath, const char16_t* tempFilePath) override {
    calls.push_back({"init", 0, 0});
    initImagePath = imagePath ? imagePath : u"";
    initBasePath = baseImagePath ? baseImagePath : u"";
    initUsingEncryption = usingEncryption;
    passwordWasNull = masterPassword == nullptr;
    initPassword = masterPassword ? masterPassword : u"";
    initDebugLogPath = debugLogPath ? debugLogPath : u"(null)";
    initTempFile = tempFilePath ? tempFilePath : u"(null)";
    return initCode;
  }
  void reserved3() override {}
  uint32_t read(void* destination, uint64_t offset, uint32_t count) override {
    calls.push_back({"read", offset, count});
    if (duringRead) duringRead();
    const uint32_t n = available(offset, count);
    if (n > 0) std::memcpy(destination, data.data() + offset, n);
    return n + extraMoved;
  }
  uint32_t write(const void* source, uint64_t offset, uint32_t count) override {
    calls.push_back({"write", offset, count});
    const uint32_t n = available(offset, count);
    if (n > 0) std::memcpy(data.data() + offset, source, n);
    return n + extraMoved;
  }
  bool getDataSize(uint64_t* dataSize, uint32_t* blockSize) override {
    calls.push_back({"getDataSize", 0, 0});
    if (dataSizeFails) return false;
    *dataSize = reportedDataSize == ~0ull ? data.size() : reportedDataSize;
    if (reportedBlockSize) *blockSize = *reportedBlockSize;
    return true;
  }
  uint32_t getRangeForSectorMain(uint64_t, SectorRange* range) override {
    *range = {0, data.size() / 512 - 1, true};
    return 0;
  }
  uint32_t getRangeForSectorBase(uint64_t, SectorRange* range) override {
    *range = {};
    return 2;
  }

  size_t count(const std::string& op) const {
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.op == op; }));
  }

 private:
  uint32_t available(uint64_t offset, uint32_t count) const {
    if (offset >= data.size()) return 0;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, data.size() - offset));
    return n > shortBy ? n - shortBy : 0;
  }
};

// Makes VirtualImageManager's next openImage calls get `image` (or null) from
// the factory, for the guard's scope.
class ScopedFakeImageFactory {
 public:
  explicit ScopedFakeImageFactory(FakeDiskImage* image) : previousImage_(next()) {
    next() = image;
    previous_ = VirtualImageManager::swapImageFactory(&create);
  }
  ~ScopedFakeImageFactory() {
    VirtualImageManager::closeImage();
    VirtualImageManager::swapImageFactory(previous_);
    next() = previousImage_;
  }
  ScopedFakeImageFactory(const ScopedFakeImageFactory&) = delete;
  ScopedFakeImageFactory& operator=(const ScopedFakeImageFactory&) = delete;

  static ImageProgressCallback& lastCallback() {
    static ImageProgressCallback callback = nullptr;
    return callback;
  }
  static void*& lastUser() {
    static void* user = nullptr;
    return user;
  }

 private:
  static FakeDiskImage*& next() {
    static FakeDiskImage* image = nullptr;
    return image;
  }
  static IVirtualDiskImage* create(ImageProgressCallback callback, void* user) {
    lastCallback() = callback;
    lastUser() = user;
    return next();
  }

  FakeDiskImage* previousImage_;
  VirtualImageManager::ImageFactory previous_;
};
