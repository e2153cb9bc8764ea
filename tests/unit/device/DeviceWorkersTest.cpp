#include <gtest/gtest.h>

#include <chrono>

#include "device/CreateDevWorker.h"
#include "device/DriverRecords.h"
#include "device/RemoveDevWorker.h"
#include "device/RequestDevInfoWorker.h"
#include "fakes/FakeDevices.h"
#include "sys/ScopedFake.h"

namespace records = driver_records;

namespace {

const std::u16string kDriverPath = u"\\\\?\\vkvd";

class DeviceWorkersTest : public ::testing::Test {
 protected:
  DeviceWorkersTest() : interfacesFake_(devices_), ioFake_(devices_) {
    devices_.classes[records::VIRTUAL_DISK_INTERFACE_GUID] = {FakeDevices::interface(kDriverPath)};
    devices_.drivers[kDriverPath] = {};
  }

  FakeDevices devices_;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake_;
  sys::ScopedFake<sys::DeviceIo> ioFake_;
};

}  // namespace

TEST_F(DeviceWorkersTest, ReturnTheChannelsAnswer) {
  DevInfo info;
  info.sector_size = 77;
  uint32_t count = 3;
  ASSERT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count)) << "a query that finds no device succeeds";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(info.sector_size, 77u) << "left as the caller set it";

  ASSERT_TRUE(CreateDevWorker::createDev(u"C:\\vol.img", u"first_tag", 1 << 20, 512, false));
  FakeDevices::activate(devices_.drivers[kDriverPath], u"first_tag", u"C:\\vol.img", 1 << 20, 512);
  ASSERT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(info.image_path, u"C:\\vol.img");
  EXPECT_TRUE(RemoveDevWorker::removeDev(u"first_tag"));
  EXPECT_FALSE(RequestDevInfoWorker::requestDevInfo(nullptr, &count));
}

// A driver that never answers: the call gives up after its bound, the pending
// request is cancelled (not the thread killed), and the channel is free again.
TEST_F(DeviceWorkersTest, ARequestThatNeverCompletesIsCancelled) {
  devices_.drivers[kDriverPath].neverCompletes = true;
  const auto start = std::chrono::steady_clock::now();
  DevInfo info;
  uint32_t count = 0;
  EXPECT_FALSE(RequestDevInfoWorker::requestDevInfo(&info, &count));
  EXPECT_GE(std::chrono::steady_clock::now() - start, ThreadWorker::kWait);
  EXPECT_TRUE(devices_.cancelled);

  devices_.drivers[kDriverPath].neverCompletes = false;
  EXPECT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count)) << "the next request gets the channel";
}
