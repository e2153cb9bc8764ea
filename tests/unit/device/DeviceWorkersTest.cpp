#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "device/CreateDevWorker.h"
#include "device/DriverRecords.h"
#include "device/IoctlDevManager.h"
#include "device/RemoveDevWorker.h"
#include "device/RequestDevInfoWorker.h"
#include "fakes/FakeDevices.h"
#include "sys/ScopedFake.h"

namespace records = driver_records;

namespace {

const std::u16string kDriverPath = u"\\\\?\\vkvd";
// Long enough for the requests before a stalled one, short enough to keep the tests quick.
constexpr std::chrono::milliseconds kShortWait{1000};

// Shortens the bound that worker callers wait with, for one scope.
class ShortWait {
 public:
  ShortWait() : previous_(ThreadWorker::swapWait(kShortWait)) {}
  ~ShortWait() { ThreadWorker::swapWait(previous_); }
  ShortWait(const ShortWait&) = delete;
  ShortWait& operator=(const ShortWait&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

// Returns once no transaction holds the driver channel, sending nothing: the
// call's caller has given up before it starts.
void waitForTheChannel() {
  const std::atomic<bool> gaveUp{true};
  DevInfo info;
  uint32_t count = 0;
  IoctlDevManager::requestDevInfo(&info, &count, &gaveUp);
}

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
  const ShortWait wait;
  devices_.drivers[kDriverPath].neverCompletes = true;
  const auto start = std::chrono::steady_clock::now();
  DevInfo info;
  uint32_t count = 0;
  EXPECT_FALSE(RequestDevInfoWorker::requestDevInfo(&info, &count));
  EXPECT_GE(std::chrono::steady_clock::now() - start, kShortWait);
  EXPECT_TRUE(devices_.cancelled);

  devices_.drivers[kDriverPath].neverCompletes = false;
  EXPECT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count)) << "the next request gets the channel";
}

// A connect whose driver stalls past the bound is given up: the stalled
// request is cancelled, and the worker neither opens the device again (there
// is a second interface to try) nor sends anything more, wherever it stalled.
TEST_F(DeviceWorkersTest, AnAbandonedConnectSendsNothingMore) {
  const ShortWait wait;
  const std::u16string secondPath = u"\\\\?\\vkvd-second";
  devices_.classes[records::VIRTUAL_DISK_INTERFACE_GUID].push_back(FakeDevices::interface(secondPath));
  devices_.drivers[secondPath] = {};
  const struct {
    size_t stalledRequest;
    const char* what;
  } cases[] = {
      {0, "the driver GUID query of the count"},
      {1, "the count query"},
      {2, "the driver GUID query of the connect"},
      {3, "the connect"},
  };
  for (const auto& c : cases) {
    devices_.stalledRequest = c.stalledRequest;
    devices_.sentSubCommands.clear();
    devices_.sentRecords.clear();
    devices_.cancelled = false;
    devices_.callsAfterCancel = 0;
    EXPECT_FALSE(CreateDevWorker::createDev(u"C:\\vol.img", u"first_tag", 1 << 20, 512, false)) << c.what;
    waitForTheChannel();
    EXPECT_TRUE(devices_.cancelled) << c.what;
    EXPECT_EQ(devices_.sentSubCommands.size(), c.stalledRequest + 1) << c.what;
    EXPECT_EQ(devices_.callsAfterCancel, 0) << c.what;
    EXPECT_TRUE(devices_.sentRecords.empty()) << c.what;
    EXPECT_EQ(devices_.closes, devices_.opens) << c.what;
  }
}
