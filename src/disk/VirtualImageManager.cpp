#include "disk/VirtualImageManager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "common/Lock.h"
#include "service/DebugLog.h"

namespace {

// A provider call that holds the image lock longer than this (an image on an
// unreachable network share) makes other callers give up instead of hanging.
constexpr std::chrono::milliseconds kImageLockWait{30000};

struct ReleaseImage {
  void operator()(IVirtualDiskImage* image) const { image->release(); }
};

struct Settings {
  std::mutex mutex;
  ImageProgressCallback progressCallback = nullptr;
  void* progressUser = nullptr;
  std::u16string debugLogPath;
  std::u16string tempFile;
};

struct ManagerState {
  Lock imageLock;
  std::unique_ptr<IVirtualDiskImage, ReleaseImage> image;
  std::atomic<bool> imageOpen{false};
  // True once an open completed and the layout belongs to the current image;
  // only then are reads and writes served.
  bool servable = false;
  VirtualDiskLayout layout;
  std::atomic<VirtualImageManager::ImageFactory> factory{&CreateInstanceVirtualDiskImage};
  std::atomic<std::chrono::milliseconds> imageLockWait{kImageLockWait};
  Settings settings;
};

// Never destroyed: the port thread may still read while the process exits.
ManagerState& state() {
  static ManagerState* instance = new ManagerState;
  return *instance;
}

int32_t translateInitCode(int32_t code) {
  switch (code) {
    case 0: return 0;
    case 10: return -14;
    case 1: return -2;
    case 2: return -3;
    case 3: return -5;
    case 4: return -4;
    case 5: return -6;
    case 6: return -10;
    case 7: return -11;
    case 8: return -12;
    case 9: return -13;
    case 11: return -16;
    case 12: return -17;
    case 13: return -19;
    default: return -7;
  }
}

void logRange(const char16_t* format, uint32_t result, const SectorRange& range) {
  debugLog(format, result, range.min, range.max, range.has_data ? u"true" : u"false");
}

void setImage(IVirtualDiskImage* image) {
  ManagerState& manager = state();
  manager.servable = false;
  manager.image.reset(image);
  manager.imageOpen = image != nullptr;
}

enum class Direction { Read, Write };

// One request on the disk, served in one call from the regions it touches, in
// disk order: primary area, image data, secondary area.
template <Direction kDirection>
uint32_t transfer(std::conditional_t<kDirection == Direction::Read, uint8_t*, const uint8_t*> bytes, uint64_t offset,
                  uint32_t count) {
  constexpr bool kRead = kDirection == Direction::Read;
  ManagerState& manager = state();
  ScopedLock guard(manager.imageLock, manager.imageLockWait.load());
  if (!guard.locked() || !manager.servable || !bytes) return 0;
  VirtualDiskLayout& layout = manager.layout;

  uint32_t total;
  if constexpr (kRead) {
    total = layout.readPrimary(bytes, offset, count);
  } else {
    total = layout.writePrimary(bytes, offset, count);
  }
  offset += total;
  count -= total;
  const uint32_t span = layout.imageSpan(offset, count);
  if (span > 0) {
    const uint64_t imageOffset = offset - layout.primaryAreaSize();
    uint32_t moved;
    if constexpr (kRead) {
      moved = manager.image->read(bytes + total, imageOffset, span);
    } else {
      moved = manager.image->write(bytes + total, imageOffset, span);
    }
    moved = std::min(moved, span);  // a provider never gets credit for more than it was asked for
    offset += moved;
    count -= moved;
    total += moved;
  }
  if constexpr (kRead) {
    return total + layout.readSecondary(bytes + total, offset, count);
  } else {
    return total + layout.writeSecondary(bytes + total, offset, count);
  }
}

}  // namespace

void VirtualImageManager::init() { state(); }

bool VirtualImageManager::shutdown() { return closeImage(); }

void VirtualImageManager::setProgressCallback(ImageProgressCallback callback, void* user) {
  Settings& settings = state().settings;
  std::lock_guard<std::mutex> guard(settings.mutex);
  settings.progressCallback = callback;
  settings.progressUser = user;
}

void VirtualImageManager::setDebugLogPath(const char16_t* path) {
  Settings& settings = state().settings;
  std::lock_guard<std::mutex> guard(settings.mutex);
  settings.debugLogPath.clear();
  if (path) settings.debugLogPath = path;
  if (settings.debugLogPath.size() < 4) settings.debugLogPath.clear();
}

void VirtualImageManager::setTempFile(const char16_t* path) {
  Settings& settings = state().settings;
  std::lock_guard<std::mutex> guard(settings.mutex);
  settings.tempFile.clear();
  if (path) settings.tempFile = path;
}

int32_t VirtualImageManager::openImage(const char16_t* imagePath, const char16_t* baseImagePath, uint64_t& diskSize,
                                       uint32_t& blockSize, const char16_t* masterPassword) {
  ManagerState& manager = state();
  ScopedLock guard(manager.imageLock, manager.imageLockWait.load());
  if (!guard.locked()) {
    debugLog(u"VirtualImageManager::openImage image lock busy\n");
    return -1;
  }
  ImageProgressCallback callback;
  void* user;
  std::u16string debugLogPath;
  std::u16string tempFile;
  {
    std::lock_guard<std::mutex> settingsGuard(manager.settings.mutex);
    callback = manager.settings.progressCallback;
    user = manager.settings.progressUser;
    debugLogPath = manager.settings.debugLogPath;
    tempFile = manager.settings.tempFile;
  }

  // The caller closes a current image first; one left current is released
  // here rather than leaked.
  setImage(nullptr);
  setImage(manager.factory.load()(callback, user));
  if (!manager.image) {
    debugLog(u"VirtualImageManager::openImage err CreateInstanceVirtualDiskImage \n");
    return -1;
  }
  const int32_t initResult = translateInitCode(manager.image->init(
      imagePath, baseImagePath, masterPassword != nullptr, masterPassword, debugLogPath.c_str(), tempFile.c_str()));
  if (initResult != 0 && initResult != -14) return initResult;

  if (!manager.image->getDataSize(&diskSize, &blockSize)) return -8;
  const uint64_t imageSize = diskSize;
  if (!manager.layout.init(blockSize, imageSize)) {
    // Sectors of 0 bytes, or a geometry whose partition table tools would reject.
    debugLog(u"VirtualImageManager::openImage unusable block_size=%u image_size=%llu\n", blockSize, imageSize);
    return -8;
  }
  debugLog(u"VirtualImageManager::openImage init image_size=%llu block_size=%u\n", imageSize, blockSize);
  diskSize += manager.layout.addedSize();
  debugLog(u"VirtualImageManager::openImage getDataSize image_size=%llu\n", diskSize);
  manager.servable = true;

  SectorRange range{};
  uint32_t result = manager.image->getRangeForSectorMain(1, &range);
  logRange(u"VirtualImageManager::openImage getRangeForSectorMain res=0x%X min=%llu max=%llu has_data=%s\n", result,
           range);
  range = SectorRange{};
  result = manager.image->getRangeForSectorBase(1, &range);
  logRange(u"VirtualImageManager::openImage getRangeForSectorBase res=0x%X min=%llu max=%llu has_data=%s\n", result,
           range);
  return initResult;
}

bool VirtualImageManager::closeImage() {
  ManagerState& manager = state();
  ScopedLock guard(manager.imageLock, manager.imageLockWait.load());
  if (!guard.locked()) {
    debugLog(u"VirtualImageManager::closeImage image lock busy\n");
    return false;
  }
  if (!manager.image) return true;
  debugLog(u"VirtualImageManager::closeImage \n");
  setImage(nullptr);
  return true;
}

bool VirtualImageManager::isImageOpen() { return state().imageOpen.load(); }

uint32_t VirtualImageManager::read(void* buffer, uint64_t offset, uint32_t count) {
  return transfer<Direction::Read>(static_cast<uint8_t*>(buffer), offset, count);
}

uint32_t VirtualImageManager::write(const void* buffer, uint64_t offset, uint32_t count) {
  return transfer<Direction::Write>(static_cast<const uint8_t*>(buffer), offset, count);
}

VirtualImageManager::ImageFactory VirtualImageManager::swapImageFactory(ImageFactory factory) {
  return state().factory.exchange(factory);
}

std::chrono::milliseconds VirtualImageManager::swapImageLockWait(std::chrono::milliseconds wait) {
  return state().imageLockWait.exchange(wait);
}
