// Device notifications through the system's own calls. Device events never
// reach a test program (the control manager delivers them to a running
// service), so these are the refusals, which every system gives the same.
#include <gtest/gtest.h>

#include <vector>

#include "common/LittleEndian.h"
#include "common/WinError.h"
#include "sys/DeviceInterfaces.h"
#include "sys/win32/Win32DeviceNotifications.h"

using sys::DeviceNotifications;

namespace {

std::vector<uint8_t> volumeFilter(uint32_t declaredSize = 32) {
  std::vector<uint8_t> filter(32, 0);
  writeLittleEndian(filter.data(), 4, declaredSize);
  writeLittleEndian(filter.data() + 4, 4, DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE);
  sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME.toBytes(filter.data() + 12);
  return filter;
}

TEST(Win32DeviceNotificationsTest, RefusedRegistrationsGiveTheirError) {
  struct Case {
    const char* what;
    std::vector<uint8_t> filter;
    uint32_t flags;
    uint32_t expectedError;  // 0: whatever error the system gives
  };
  const Case cases[] = {
      {"filter shorter than a broadcast header", std::vector<uint8_t>(8, 0), 1, WinError::InvalidData},
      {"filter size beyond its bytes", volumeFilter(64), 1, WinError::InvalidData},
      {"window handle that is no window", volumeFilter(), 0, 0},
  };
  sys::win32::Win32DeviceNotifications notifications;
  for (const Case& c : cases) {
    uint32_t error = 0;
    EXPECT_EQ(notifications.registerDeviceNotification(0x1234, c.filter, c.flags, error), 0u) << c.what;
    if (c.expectedError != 0) {
      EXPECT_EQ(error, c.expectedError) << c.what;
    } else {
      EXPECT_NE(error, 0u) << c.what;
    }
  }
}

TEST(Win32DeviceNotificationsTest, UnregisteringNoRegistrationFails) {
  sys::win32::Win32DeviceNotifications notifications;
  uint32_t error = 0;
  EXPECT_FALSE(notifications.unregisterDeviceNotification(0, error));
  EXPECT_NE(error, 0u);
}

}  // namespace
