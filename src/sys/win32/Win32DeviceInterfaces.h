#pragma once

#include "sys/DeviceInterfaces.h"

namespace sys::win32 {

class Win32DeviceInterfaces final : public DeviceInterfaces {
 public:
  InfoSet getClassDevs(const Guid& interfaceClass, uint32_t& error) override;
  bool enumDeviceInterfaces(InfoSet set, const Guid& interfaceClass, uint32_t index, InterfaceData& data,
                            uint32_t& error) override;
  bool getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail, uint32_t detailSize,
                                DeviceRecord& device, uint32_t& error) override;
  bool getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t property, uint8_t* buffer,
                                 uint32_t size, uint32_t& error) override;
  void destroyDeviceInfoList(InfoSet set) override;
};

}  // namespace sys::win32
