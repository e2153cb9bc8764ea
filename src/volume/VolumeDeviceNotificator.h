#pragma once

#include <cstdint>
#include <string>

#include "sys/DeviceNotifications.h"

// Volume arrivals and removals for the service: registers the service status
// handle for notifications of the volume interface class, starts a probe for
// each arriving volume, and keeps the interface path of the one volume that a
// probe recognised as lying on the service's own disk. When that volume goes
// away it wakes the watchdog's device check, unregisters and empties the
// mounted-drive record. Process-wide; every operation is static and
// thread-safe. The notificator lock guards the detected path and the
// registration and is never held while another lock is taken or while the
// platform is called.
class VolumeDeviceNotificator {
 public:
  using ServiceHandle = sys::DeviceNotifications::ServiceHandle;

  static void setServiceHandle(ServiceHandle service);
  // Drops any earlier registration and registers anew; false without a
  // service handle or when the registration is refused.
  static bool listen();
  // Forgets the detected device and cancels the registration.
  static void drop();
  // One device event from the service's control handler: its type and its
  // DEV_BROADCAST record (null is logged and ignored).
  static void processDevice(uint32_t eventType, const uint8_t* eventData);
  static void onDevArrive(const uint8_t* record);
  static void onDevRemove(const uint8_t* record);

  static bool isDeviceDetected();
  // Whether `path` is the detected one, compared exactly, letter case included.
  static bool isOurDevice(const std::u16string& path);
  static void setDetectedDevice(const std::u16string& path);
};
