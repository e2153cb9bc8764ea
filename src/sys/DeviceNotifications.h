#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sys {

// Device-interface notifications for a service: RegisterDeviceNotificationW
// with a service status handle and DEVICE_NOTIFY_SERVICE_HANDLE, and
// UnregisterDeviceNotification. Each device event reaches the device-event
// handler of the service status handle with its event type and a
// DEV_BROADCAST_DEVICEINTERFACE_W record laid out as Windows lays it out.
// Errors are Win32 errors.
class DeviceNotifications {
 public:
  using Handle = uint64_t;         // 0: none
  using ServiceHandle = uint64_t;  // a SERVICE_STATUS_HANDLE
  // Called with the event type and the broadcast record.
  using EventHandler = std::function<void(uint32_t eventType, const uint8_t* eventData)>;
  // Told, for the debug log, why a platform message about devices was dropped.
  using DropLog = std::function<void(const std::string& reason)>;

  static constexpr uint32_t DEVICE_NOTIFY_SERVICE_HANDLE = 1;
  static constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
  static constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
  static constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
  // The fixed part of a DEV_BROADCAST_DEVICEINTERFACE_W: size, device type,
  // reserved and class GUID; the zero-terminated name follows.
  static constexpr uint32_t kInterfaceRecordHeader = 28;

  virtual ~DeviceNotifications() = default;

  // Names the handler that receives the device events of `service`. On
  // Windows the control manager calls the service's HandlerEx instead.
  virtual void setEventHandler(ServiceHandle service, EventHandler handler) = 0;
  virtual void setDropLog(DropLog log) = 0;

  // `filter` is the bytes of a DEV_BROADCAST_DEVICEINTERFACE_W.
  virtual Handle registerDeviceNotification(ServiceHandle service, const std::vector<uint8_t>& filter, uint32_t flags,
                                            uint32_t& error) = 0;
  virtual bool unregisterDeviceNotification(Handle notification, uint32_t& error) = 0;
};

}  // namespace sys
