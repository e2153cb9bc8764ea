#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Stateless helpers over the volume manager and the storage inquiry: from a
// volume's device object name to its volume GUID path ("\\?\Volume{GUID}\"),
// the identity of the storage device under a volume, and a volume's mount
// points. Failures are returned as false. Thread-safe.
class VolumeUtils {
 public:
  // The GUID path of the first listed volume whose device object name is
  // `deviceName` (exact match); false with an empty path when none is.
  static bool getVolumeGuidForDevice(const std::u16string& deviceName, std::u16string& volumeGuidPath);
  // The vendor, product, revision and serial of the storage device under
  // `volume`, a volume GUID path or a drive-letter path, as the device
  // reports them. `errorCode`, when given, is set to 0 and then to the system
  // error of a failed open or request.
  static bool getVolumeDeviceInquiryInfo(const std::u16string& volume, std::u16string& vendor, std::u16string& product,
                                         std::u16string& revision, std::u16string& serial,
                                         uint32_t* errorCode = nullptr);
  // The mount points of volume GUID path `volume`, in the system's order;
  // false when there is none.
  static bool getVolumeDrives(const char16_t* volume, std::vector<std::u16string>& drives);
  // The device object name of `volume`, a volume GUID path (with or without
  // its trailing backslash), a volume name or a drive-letter path.
  static bool getVolumeDevice(const std::u16string& volume, std::u16string& deviceName);
  // The volume GUID paths in the system's order, at most 51; on failure the
  // list is left as it was.
  static bool enumVolumes(std::vector<std::u16string>& volumes);
  // Whether `text` begins with an ASCII letter and its first colon follows it.
  static bool isDriveLetterPath(const std::u16string& text);
};
