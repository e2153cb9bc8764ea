#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The mounted-drive record that the service writes once the mounted image's
// volume turns up: its volume GUID path, its device ("/dev/loop0p1") and its
// mount points (each with a trailing '/'). Empty while no volume is recorded.
struct MountRecord {
  std::string volumeId;
  std::string deviceName;
  std::vector<std::string> mountPoints;

  bool empty() const { return deviceName.empty(); }
  // The record for the user: the device line and a line per mount point.
  std::vector<std::string> describe() const;

  // The string of REG_SZ data (UTF-16LE, up to its first zero), as UTF-8.
  static std::string decodeString(const std::vector<uint8_t>& data);
  // The strings of REG_MULTI_SZ data, up to the empty one that ends them.
  static std::vector<std::string> decodeStrings(const std::vector<uint8_t>& data);
};
