#include "device/SetupDevApi.h"

#include "common/WideString.h"
#include "device/SetupDevice.h"
#include "service/DebugLog.h"

bool SetupDevApi::getDeviceInterfaceList(const Guid& interfaceClass, std::vector<std::u16string>& paths) {
  paths.clear();
  SetupDevice device;
  if (!device.open(interfaceClass)) {
    debugLog(u"SetupDevApi::getDeviceInterfaceList dev interface open fail\n");
    return false;
  }
  device.enumerate([&](const SetupDevice::InterfaceData& data) {
    std::u16string path;
    SetupDevice::DeviceRecord record;
    if (device.getInterfacePath(&data, path, record)) {
      debugLog(u"SetupDevApi::getDeviceInterfaceList dev_interface_path=%s\n", path);
      paths.push_back(path);
    } else {
      debugLog(u"SetupDevApi::getDeviceInterfaceList getInterfacePath fail\n");
    }
    return true;
  });
  return true;
}

bool SetupDevApi::getDevInfoByInterface(const std::u16string& interfacePath, std::u16string& deviceName) {
  deviceName.clear();
  SetupDevice device;
  if (!device.open(sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME)) {
    debugLog(u"SetupDevApi::getDevInfoByInterface dev interface open fail\n");
    return false;
  }
  const std::u16string source = wide::toLower(interfacePath);
  debugLog(u"SetupDevApi::getDevInfoByInterface source_interface_path=%s\n", source);
  bool matched = false;
  SetupDevice::DeviceRecord matchedRecord;
  device.enumerate([&](const SetupDevice::InterfaceData& data) {
    std::u16string path;
    SetupDevice::DeviceRecord record;
    if (!device.getInterfacePath(&data, path, record)) {
      debugLog(u"SetupDevApi::getDevInfoByInterface getInterfacePath fail\n");
      return true;
    }
    const std::u16string found = wide::toLower(path);
    debugLog(u"SetupDevApi::getDevInfoByInterface  found_interface_path=%s\n", found);
    if (found != source) return true;
    matched = true;
    matchedRecord = record;
    return false;
  });
  if (!matched) return false;
  return device.getDevicePropertyData(matchedRecord, sys::DeviceInterfaces::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME,
                                      deviceName);
}
