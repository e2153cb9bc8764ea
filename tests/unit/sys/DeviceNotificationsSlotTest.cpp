// The platform's device notifications: the backend, or a test's fake while
// one is in place.
#include <gtest/gtest.h>

#include "fakes/FakeDeviceNotifications.h"
#include "sys/Platform.h"
#include "sys/ScopedFake.h"

TEST(DeviceNotificationsSlotTest, AFakeStandsInForTheBackendWhileInPlace) {
  sys::DeviceNotifications& backend = sys::platform().deviceNotifications();
  FakeDeviceNotifications fake;
  {
    sys::ScopedFake<sys::DeviceNotifications> guard(fake);
    EXPECT_EQ(&sys::platform().deviceNotifications(), &fake);
  }
  EXPECT_EQ(&sys::platform().deviceNotifications(), &backend);
}
