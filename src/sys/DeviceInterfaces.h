#pragma once

#include <cstdint>

#include "common/Guid.h"

namespace sys {

// The present device interfaces of a class, as the setup API lists them
// (SetupDiGetClassDevsW with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
// SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetailW,
// SetupDiGetDeviceRegistryPropertyW, SetupDiDestroyDeviceInfoList). Errors
// are Win32 errors.
class DeviceInterfaces {
 public:
  using InfoSet = uint64_t;
  static constexpr InfoSet kInvalidSet = ~uint64_t{0};
  static constexpr uint32_t SPDRP_PHYSICAL_DEVICE_OBJECT_NAME = 14;
  static constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
  // The class of volume interfaces (GUID_DEVINTERFACE_VOLUME).
  static constexpr Guid GUID_DEVINTERFACE_VOLUME{
      0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

  // One interface of a set (an SP_DEVICE_INTERFACE_DATA).
  struct InterfaceData {
    Guid interfaceClass;
    uint32_t flags = 0;
    uint64_t reserved = 0;
  };
  // The device an interface belongs to (an SP_DEVINFO_DATA).
  struct DeviceRecord {
    Guid deviceClass;
    uint32_t devInst = 0;
    uint64_t reserved = 0;
  };

  virtual ~DeviceInterfaces() = default;

  virtual InfoSet getClassDevs(const Guid& interfaceClass, uint32_t& error) = 0;
  virtual bool enumDeviceInterfaces(InfoSet set, const Guid& interfaceClass, uint32_t index, InterfaceData& data,
                                    uint32_t& error) = 0;
  // Fills `detail` (an SP_DEVICE_INTERFACE_DETAIL_DATA_W: its cbSize, then
  // the zero-terminated UTF-16 device path) of `detailSize` bytes.
  virtual bool getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail, uint32_t detailSize,
                                        DeviceRecord& device, uint32_t& error) = 0;
  virtual bool getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t property, uint8_t* buffer,
                                         uint32_t size, uint32_t& error) = 0;
  virtual void destroyDeviceInfoList(InfoSet set) = 0;
};

}  // namespace sys
