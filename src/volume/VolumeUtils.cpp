#include "volume/VolumeUtils.h"

#include <algorithm>
#include <memory>
#include <new>

#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

constexpr std::u16string_view kVolumeGuidPrefix = u"\\\\?\\Volume{";
constexpr size_t kLocalPrefixLength = 4;  // "\\?\"
constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
// Buffer sizes: QueryDosDevice's and the volume names' in characters, the
// descriptor's in bytes.
constexpr uint32_t kDosDeviceLength = 260;
constexpr uint32_t kVolumeNameLength = 1024;
constexpr uint32_t kDescriptorSize = 1024;
constexpr uint32_t kMaxFindNextCalls = 50;
constexpr int kPathNamesAttempts = 2;
// The longest descriptor string read, in bytes.
constexpr uint32_t kMaxDescriptorString = 260;
// STORAGE_PROPERTY_QUERY for StorageDeviceProperty and PropertyStandardQuery:
// all zero.
constexpr uint32_t kPropertyQuerySize = 12;
// Where a STORAGE_DEVICE_DESCRIPTOR holds the offsets of its strings.
constexpr uint32_t kVendorIdOffsetAt = 12;
constexpr uint32_t kProductIdOffsetAt = 16;
constexpr uint32_t kProductRevisionOffsetAt = 20;
constexpr uint32_t kSerialNumberOffsetAt = 24;

void removeTrailingBackslash(std::u16string& text) {
  if (!text.empty() && text.back() == u'\\') text.pop_back();
}

bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// The single-byte string whose offset the descriptor holds at `offsetAt`,
// each byte one character. It ends at its zero byte, after
// kMaxDescriptorString bytes or at the end of the `size` bytes returned;
// empty when the offset is 0 or lies outside the data.
std::u16string descriptorString(const uint8_t* descriptor, uint32_t size, uint32_t offsetAt) {
  if (size < offsetAt + 4) return {};
  const auto offset = static_cast<uint32_t>(readLittleEndian(descriptor + offsetAt, 4));
  if (offset == 0 || offset >= size) return {};
  const uint32_t end = offset + std::min(kMaxDescriptorString, size - offset);
  std::u16string text;
  for (uint32_t at = offset; at < end && descriptor[at] != 0; ++at) text += static_cast<char16_t>(descriptor[at]);
  return text;
}

// Appends the strings of a list of zero-terminated strings ended by an empty
// one, read no further than `length` characters.
void appendStrings(const char16_t* list, uint32_t length, std::vector<std::u16string>& strings) {
  const char16_t* end = list + length;
  for (const char16_t* at = list; at < end && *at != u'\0';) {
    const char16_t* stop = std::find(at, end, u'\0');
    strings.emplace_back(at, stop);
    at = stop + 1;
  }
}

}  // namespace

bool VolumeUtils::isDriveLetterPath(const std::u16string& text) {
  return text.find(u':') == 1 && isAsciiLetter(text[0]);
}

bool VolumeUtils::getVolumeDevice(const std::u16string& volume, std::u16string& deviceName) {
  deviceName.clear();
  if (volume.empty()) return false;
  std::u16string name = volume;
  if (name.starts_with(kVolumeGuidPrefix)) {
    name.erase(0, kLocalPrefixLength);
    removeTrailingBackslash(name);
  }
  if (isDriveLetterPath(name)) name.resize(2);
  char16_t targets[kDosDeviceLength] = {};
  uint32_t error = 0;
  if (sys::platform().volumes().queryDosDevice(name, targets, kDosDeviceLength, error) == 0) return false;
  deviceName = wide::untilZero(std::u16string_view(targets, kDosDeviceLength));
  return true;
}

bool VolumeUtils::enumVolumes(std::vector<std::u16string>& volumes) {
  sys::Volumes& system = sys::platform().volumes();
  std::u16string name(kVolumeNameLength, u'\0');
  uint32_t error = 0;
  const sys::Volumes::FindHandle search = system.findFirstVolume(name.data(), kVolumeNameLength, error);
  if (search == sys::Volumes::kInvalidFind) return false;
  volumes.clear();
  volumes.emplace_back(wide::untilZero(name));
  for (uint32_t call = 0; call < kMaxFindNextCalls; ++call) {
    if (system.findNextVolume(search, name.data(), kVolumeNameLength, error)) {
      volumes.emplace_back(wide::untilZero(name));
    } else if (error == WinError::NoMoreFiles) {
      break;
    }
  }
  system.findVolumeClose(search);
  return true;
}

bool VolumeUtils::getVolumeGuidForDevice(const std::u16string& deviceName, std::u16string& volumeGuidPath) {
  volumeGuidPath.clear();
  std::vector<std::u16string> volumes;
  if (!enumVolumes(volumes)) return false;
  for (const std::u16string& volume : volumes) {
    std::u16string device;
    if (getVolumeDevice(volume, device) && device == deviceName) {
      volumeGuidPath = volume;
      return true;
    }
  }
  return false;
}

bool VolumeUtils::getVolumeDeviceInquiryInfo(const std::u16string& volume, std::u16string& vendor,
                                             std::u16string& product, std::u16string& revision, std::u16string& serial,
                                             uint32_t* errorCode) {
  vendor.clear();
  product.clear();
  revision.clear();
  serial.clear();
  if (errorCode) *errorCode = 0;
  std::u16string path = volume;
  if (isDriveLetterPath(path)) path.insert(0, kDevicePrefix);
  removeTrailingBackslash(path);

  const std::unique_ptr<uint8_t[]> descriptor(new (std::nothrow) uint8_t[kDescriptorSize]());
  if (!descriptor) {
    debugLog(u"VolumeUtils::getVolumeDeviceInquiryInfo err allocate mem\n");
    return false;
  }
  sys::Volumes& system = sys::platform().volumes();
  uint32_t error = 0;
  const sys::Volumes::Handle handle = system.open(path, error);
  if (handle == sys::Volumes::kInvalidHandle) {
    if (errorCode) *errorCode = error;
    debugLog(u"VolumeUtils::getVolumeDeviceInquiryInfo open volume err=0x%X; vol=%s\n", error, path);
    return false;
  }
  const uint8_t query[kPropertyQuerySize] = {};
  uint32_t returned = 0;
  const bool answered = system.control(handle, sys::Volumes::IOCTL_STORAGE_QUERY_PROPERTY, query, kPropertyQuerySize,
                                       descriptor.get(), kDescriptorSize, returned, error);
  system.close(handle);
  if (!answered) {
    if (errorCode) *errorCode = error;
    debugLog(u"VolumeUtils::getVolumeDeviceInquiryInfo ioctl err=0x%X; vol=%s\n", error, path);
    return false;
  }
  const uint32_t size = std::min(returned, kDescriptorSize);
  vendor = descriptorString(descriptor.get(), size, kVendorIdOffsetAt);
  product = descriptorString(descriptor.get(), size, kProductIdOffsetAt);
  revision = descriptorString(descriptor.get(), size, kProductRevisionOffsetAt);
  serial = descriptorString(descriptor.get(), size, kSerialNumberOffsetAt);
  return true;
}

bool VolumeUtils::getVolumeDrives(const char16_t* volume, std::vector<std::u16string>& drives) {
  if (!volume || *volume == u'\0') return false;
  drives.clear();
  sys::Volumes& system = sys::platform().volumes();
  uint32_t length = kVolumeNameLength;
  for (int attempt = 0; attempt < kPathNamesAttempts; ++attempt) {
    const std::unique_ptr<char16_t[]> names(new (std::nothrow) char16_t[length]());
    if (!names) break;
    uint32_t needed = 0;
    uint32_t error = 0;
    if (system.getVolumePathNamesForVolumeName(volume, names.get(), length, needed, error)) {
      appendStrings(names.get(), length, drives);
      break;
    }
    if (error != WinError::MoreData) break;
    length = needed;
  }
  return !drives.empty();
}
