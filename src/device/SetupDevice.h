#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/ByteBuffer.h"
#include "common/Guid.h"
#include "sys/DeviceInterfaces.h"

// One device information set of one interface class, for one operation: it
// opens the set, walks its interfaces and reads their paths and properties.
// The set and the buffers are released with the object. Not thread-safe.
class SetupDevice {
 public:
  using InterfaceData = sys::DeviceInterfaces::InterfaceData;
  using DeviceRecord = sys::DeviceInterfaces::DeviceRecord;
  static constexpr uint32_t kBufferSize = 1024;

  SetupDevice();
  ~SetupDevice();
  SetupDevice(const SetupDevice&) = delete;
  SetupDevice& operator=(const SetupDevice&) = delete;

  bool open(const Guid& interfaceClass);
  // Calls `handle` for each interface enumerated, until there are no more,
  // the 101st failed step, or `handle` returns false.
  void enumerate(const std::function<bool(const InterfaceData&)>& handle);
  bool getInterfacePath(const InterfaceData* data, std::u16string& path, DeviceRecord& device);
  // The zero-terminated text of one registry property of a device.
  bool getDevicePropertyData(const DeviceRecord& device, uint32_t property, std::u16string& value);

 private:
  sys::DeviceInterfaces::InfoSet set_ = sys::DeviceInterfaces::kInvalidSet;
  Guid interfaceClass_;
  uint32_t index_ = 0;
  uint32_t failures_ = 0;
  ByteBuffer detail_;
};
