#pragma once

#include "sys/DeviceNotifications.h"

namespace sys::win32 {

// Device notifications through the control manager: it passes each device
// event to the HandlerEx the service registered, so the handler named here is
// not needed, and nothing is ever dropped on the way.
class Win32DeviceNotifications final : public DeviceNotifications {
 public:
  void setEventHandler(ServiceHandle, EventHandler) override {}
  void setDropLog(DropLog) override {}
  Handle registerDeviceNotification(ServiceHandle service, const std::vector<uint8_t>& filter, uint32_t flags,
                                    uint32_t& error) override;
  bool unregisterDeviceNotification(Handle notification, uint32_t& error) override;
};

}  // namespace sys::win32
