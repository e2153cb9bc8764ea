#include "sys/win32/Win32DeviceInterfaces.h"

#include <windows.h>
// windows.h first
#include <setupapi.h>

#include <cstring>

namespace sys::win32 {
namespace {

GUID toGuid(const Guid& guid) {
  GUID native;
  uint8_t bytes[16];
  guid.toBytes(bytes);
  std::memcpy(&native, bytes, sizeof(native));
  return native;
}

Guid fromGuid(const GUID& native) {
  uint8_t bytes[16];
  std::memcpy(bytes, &native, sizeof(bytes));
  return Guid::fromBytes(bytes);
}

HDEVINFO toSet(DeviceInterfaces::InfoSet set) { return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(set)); }

SP_DEVICE_INTERFACE_DATA toNative(const DeviceInterfaces::InterfaceData& data) {
  SP_DEVICE_INTERFACE_DATA native{};
  native.cbSize = sizeof(native);
  native.InterfaceClassGuid = toGuid(data.interfaceClass);
  native.Flags = data.flags;
  native.Reserved = static_cast<ULONG_PTR>(data.reserved);
  return native;
}

SP_DEVINFO_DATA toNative(const DeviceInterfaces::DeviceRecord& device) {
  SP_DEVINFO_DATA native{};
  native.cbSize = sizeof(native);
  native.ClassGuid = toGuid(device.deviceClass);
  native.DevInst = device.devInst;
  native.Reserved = static_cast<ULONG_PTR>(device.reserved);
  return native;
}

}  // namespace

DeviceInterfaces::InfoSet Win32DeviceInterfaces::getClassDevs(const Guid& interfaceClass, uint32_t& error) {
  const GUID native = toGuid(interfaceClass);
  HDEVINFO set = SetupDiGetClassDevsW(&native, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kInvalidSet;
  }
  return reinterpret_cast<uintptr_t>(set);
}

bool Win32DeviceInterfaces::enumDeviceInterfaces(InfoSet set, const Guid& interfaceClass, uint32_t index,
                                                 InterfaceData& data, uint32_t& error) {
  const GUID native = toGuid(interfaceClass);
  SP_DEVICE_INTERFACE_DATA found{};
  found.cbSize = sizeof(found);
  if (!SetupDiEnumDeviceInterfaces(toSet(set), nullptr, &native, index, &found)) {
    error = GetLastError();
    return false;
  }
  data = {fromGuid(found.InterfaceClassGuid), found.Flags, found.Reserved};
  return true;
}

bool Win32DeviceInterfaces::getDeviceInterfaceDetail(InfoSet set, const InterfaceData& data, uint8_t* detail,
                                                     uint32_t detailSize, DeviceRecord& device, uint32_t& error) {
  SP_DEVICE_INTERFACE_DATA native = toNative(data);
  SP_DEVINFO_DATA record{};
  record.cbSize = sizeof(record);
  // The caller gives the fixed part's size in a 32-bit program (6); the
  // system takes only its own build's (8 in a 64-bit program).
  const DWORD detailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  std::memcpy(detail, &detailFixedSize, sizeof(detailFixedSize));
  if (!SetupDiGetDeviceInterfaceDetailW(toSet(set), &native,
                                        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail), detailSize,
                                        nullptr, &record)) {
    error = GetLastError();
    return false;
  }
  device = {fromGuid(record.ClassGuid), record.DevInst, record.Reserved};
  return true;
}

bool Win32DeviceInterfaces::getDeviceRegistryProperty(InfoSet set, const DeviceRecord& device, uint32_t property,
                                                      uint8_t* buffer, uint32_t size, uint32_t& error) {
  SP_DEVINFO_DATA record = toNative(device);
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(toSet(set), &record, property, &type, buffer, size, nullptr)) {
    error = GetLastError();
    return false;
  }
  return true;
}

void Win32DeviceInterfaces::destroyDeviceInfoList(InfoSet set) { SetupDiDestroyDeviceInfoList(toSet(set)); }

}  // namespace sys::win32
