#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sys/Registry.h"

// Writes the registry record of the mounted volume: "MountedVolumeID",
// "MountedDeviceName" and "MountedDrives" under
// HKEY_LOCAL_MACHINE\Software\Velkara Software\Velkara Backup, in the 32-bit
// view. A RegTool is a root and the access flags added to every open and
// create; key paths are relative to the root and lose one trailing
// backslash. It keeps no state between calls and takes no lock.
class RegTool {
 public:
  RegTool(sys::Registry::Key root, uint32_t extraAccess) : root_(root), extraAccess_(extraAccess) {}

  // Writes the three values, creating the keys first when they are missing.
  // False only when a key can be neither opened nor created; a value that
  // cannot be written is logged and the others are still written.
  static bool setMountedParams(const std::u16string& volumeGuidPath, const std::u16string& deviceName,
                               const std::vector<std::u16string>& mountPoints);
  // Writes the empty record: two empty strings and an empty list.
  static void clearMountedParams();

  // Creates the key `keyPath` joined with `subkeyName` (one leading and one
  // trailing backslash of the name dropped; an empty name adds nothing).
  bool createFolder(const std::u16string& keyPath, const std::u16string& subkeyName) const;
  // Stores `size` bytes of `data` as the value; false for an empty name or
  // path or null data.
  bool setParamValue(const std::u16string& keyPath, const std::u16string& valueName, const void* data, uint32_t size,
                     uint32_t type) const;
  // Stores the strings as a REG_MULTI_SZ: each followed by a zero character,
  // then one more zero (two zeros for an empty list).
  bool setMultiStringValue(const std::u16string& keyPath, const std::u16string& valueName,
                           const std::vector<std::u16string>& strings) const;

 private:
  // Opens the key to see that it exists, and creates it when it does not.
  bool ensureKey(const std::u16string& keyPath) const;

  sys::Registry::Key root_;
  uint32_t extraAccess_;
};
