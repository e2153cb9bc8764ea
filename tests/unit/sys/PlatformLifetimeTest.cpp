#include <gtest/gtest.h>

#include <cstdlib>

#include "sys/Platform.h"

// This program touches the platform only inside the test's own child process,
// so that the child's first use comes after the exit handler it registers.

namespace {

sys::DeviceInterfaces::InfoSet openSet;

// Runs after every static destructor registered later: a thread the service
// abandoned may call the platform just as late.
void useThePlatformAtExit() {
  uint32_t error = 0;
  sys::DeviceInterfaces::InterfaceData data;
  sys::platform().deviceInterfaces().enumDeviceInterfaces(openSet, data.interfaceClass, 0, data, error);
  sys::platform().deviceInterfaces().destroyDeviceInfoList(openSet);
}

TEST(PlatformLifetime, BackendsOutliveStaticDestruction) {
  EXPECT_EXIT(
      {
        std::atexit(useThePlatformAtExit);
        uint32_t error = 0;
        openSet =
            sys::platform().deviceInterfaces().getClassDevs(sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME, error);
        std::exit(openSet == sys::DeviceInterfaces::kInvalidSet ? 2 : 0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
