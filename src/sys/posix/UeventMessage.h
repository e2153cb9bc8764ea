#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sys::posix {

// One kernel uevent read as a device-interface event of a block partition.
struct UeventMessage {
  enum class Kind {
    PartitionEvent,  // an add or remove of a block partition
    Ignored,         // well formed, but about something else
    Malformed,
  };
  Kind kind = Kind::Ignored;
  uint32_t eventType = 0;     // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
  std::string interfacePath;  // "/sys" + DEVPATH: the partition's sysfs directory
  std::string reason;         // why a malformed message is dropped

  // Reads the `size` bytes of a message: "ACTION@DEVPATH", then KEY=VALUE
  // fields, each ended by a zero.
  static UeventMessage parse(const char* data, size_t size);
};

// A DEV_BROADCAST_DEVICEINTERFACE_W of the volume interface class naming
// `interfacePath`.
std::vector<uint8_t> volumeInterfaceRecord(const std::string& interfacePath);

}  // namespace sys::posix
