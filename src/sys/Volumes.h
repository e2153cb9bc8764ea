#pragma once

#include <cstdint>
#include <string>

namespace sys {

// The volume manager and the storage inquiry on a volume: FindFirstVolumeW,
// FindNextVolumeW, FindVolumeClose, QueryDosDeviceW,
// GetVolumePathNamesForVolumeNameW, and CreateFileW (GENERIC_READ,
// FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), DeviceIoControl and
// CloseHandle on a volume. Buffer lengths are in characters where the call
// takes characters and in bytes where it takes bytes, as the caller gives
// them. Errors are Win32 errors.
class Volumes {
 public:
  using FindHandle = uint64_t;
  using Handle = uint64_t;
  static constexpr FindHandle kInvalidFind = ~uint64_t{0};
  static constexpr Handle kInvalidHandle = ~uint64_t{0};
  static constexpr uint32_t IOCTL_STORAGE_QUERY_PROPERTY = 0x2D1400;

  virtual ~Volumes() = default;

  // The first volume GUID path ("\\?\Volume{GUID}\") into `name`; the search
  // handle, or kInvalidFind with ERROR_NO_MORE_FILES when there is no volume.
  virtual FindHandle findFirstVolume(char16_t* name, uint32_t length, uint32_t& error) = 0;
  // The next one; false with ERROR_NO_MORE_FILES after the last.
  virtual bool findNextVolume(FindHandle search, char16_t* name, uint32_t length, uint32_t& error) = 0;
  virtual void findVolumeClose(FindHandle search) = 0;

  // The targets of device name `deviceName` (e.g. "Volume{GUID}") as a list of
  // zero-terminated strings ended by an empty one; the characters stored, or
  // 0 on failure.
  virtual uint32_t queryDosDevice(const std::u16string& deviceName, char16_t* targets, uint32_t length,
                                  uint32_t& error) = 0;

  // The mount points of `volumeName` ("\\?\Volume{GUID}\") as a list of
  // zero-terminated strings ended by an empty one. `returnLength` is the
  // characters copied, or, with ERROR_MORE_DATA, the length needed.
  virtual bool getVolumePathNamesForVolumeName(const std::u16string& volumeName, char16_t* names, uint32_t length,
                                               uint32_t& returnLength, uint32_t& error) = 0;

  // A volume ("\\?\Volume{GUID}" or "\\.\E:") opened for queries.
  virtual Handle open(const std::u16string& path, uint32_t& error) = 0;
  virtual bool control(Handle volume, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                       uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) = 0;
  virtual void close(Handle volume) = 0;
};

}  // namespace sys
