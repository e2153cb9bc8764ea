#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sys/DeviceInterfaces.h"

namespace sys::posix {

// Device interfaces on Linux: a class's interfaces are the sockets the driver
// publishes in its class directory (DeviceProtocol.h); the volume class is
// the block partitions of sysfs, whose interface path is the partition's sysfs
// directory and whose device object name is its /dev node. A set is a
// snapshot taken when it is opened.
class PosixDeviceInterfaces final : public DeviceInterfaces {
 public:
  InfoSet getClassDevs(const Guid& interfaceClass, uint32_t& error) override;
  bool enumDeviceInterfaces(InfoSet set, const Guid& interfaceClass, uint32_t index, InterfaceData& data,
                            uint32_t& error) override;
  bool getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail, uint32_t detailSize,
                                DeviceRecord& device, uint32_t& error) override;
  bool getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t property, uint8_t* buffer,
                                 uint32_t size, uint32_t& error) override;
  void destroyDeviceInfoList(InfoSet set) override;

 private:
  struct Interface {
    std::string path;
    std::string objectName;
  };
  struct Set {
    Guid interfaceClass;
    std::vector<Interface> interfaces;
  };

  // The interface at `index` of `set`, copied; false when there is none.
  bool find(InfoSet set, uint64_t index, Interface& found, Guid& interfaceClass, uint32_t& error);

  std::mutex mutex_;
  std::map<InfoSet, Set> sets_;
  InfoSet next_ = 1;
};

}  // namespace sys::posix
