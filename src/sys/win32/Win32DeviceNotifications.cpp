#include "sys/win32/Win32DeviceNotifications.h"

#include <windows.h>

#include <dbt.h>

#include "common/LittleEndian.h"
#include "common/WinError.h"

namespace sys::win32 {

DeviceNotifications::Handle Win32DeviceNotifications::registerDeviceNotification(ServiceHandle service,
                                                                                 const std::vector<uint8_t>& filter,
                                                                                 uint32_t flags, uint32_t& error) {
  // The system reads as many bytes as the record's own size says.
  if (filter.size() < sizeof(DEV_BROADCAST_HDR) || readLittleEndian(filter.data(), 4) > filter.size()) {
    error = WinError::InvalidData;
    return 0;
  }
  HDEVNOTIFY notification = RegisterDeviceNotificationW(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(service)),
                                                        const_cast<uint8_t*>(filter.data()), flags);
  if (!notification) {
    error = GetLastError();
    return 0;
  }
  return reinterpret_cast<uintptr_t>(notification);
}

bool Win32DeviceNotifications::unregisterDeviceNotification(Handle notification, uint32_t& error) {
  if (!UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(static_cast<uintptr_t>(notification)))) {
    error = GetLastError();
    return false;
  }
  return true;
}

}  // namespace sys::win32
