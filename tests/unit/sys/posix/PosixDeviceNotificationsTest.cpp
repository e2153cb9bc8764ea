// Device notifications on Linux against the kernel: a loop device whose
// partition comes and goes, and messages that must not be taken.
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/netlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "common/Event.h"
#include "common/Guid.h"
#include "common/LittleEndian.h"
#include "common/Thread.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "support/TempDir.h"
#include "sys/DeviceInterfaces.h"
#include "sys/posix/PosixDeviceInterfaces.h"
#include "sys/posix/PosixDeviceNotifications.h"
#include "sys/posix/UeventListener.h"
#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using sys::DeviceInterfaces;
using sys::DeviceNotifications;

namespace {

// Generous: the machine may be loaded; nothing is measured.
constexpr auto kEventWait = 60s;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool waitFor(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i) std::this_thread::sleep_for(10ms);
  return fs::exists(path);
}

// A new loop device with a free number far above the ones `losetup --find`
// hands out, so that no earlier holder's partition events can pass for the
// test's own; -1 when none could be made.
int addLoopDevice() {
  const sys::posix::UniqueFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> numbers(100000, 900000);
  for (int attempt = 0; control.valid() && attempt < 100; ++attempt) {
    const int number = numbers(random);
    if (ioctl(control.get(), LOOP_CTL_ADD, number) == number) return number;
  }
  return -1;
}

void removeLoopDevice(int number) {
  const sys::posix::UniqueFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (control.valid()) ioctl(control.get(), LOOP_CTL_REMOVE, number);
}

std::vector<uint8_t> volumeFilter(const Guid& interfaceClass = DeviceInterfaces::GUID_DEVINTERFACE_VOLUME) {
  std::vector<uint8_t> filter(32, 0);
  writeLittleEndian(filter.data(), 4, 32);
  writeLittleEndian(filter.data() + 4, 4, DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE);
  interfaceClass.toBytes(filter.data() + 12);
  return filter;
}

// The interface path PosixDeviceInterfaces lists for the volume whose device
// object is `deviceNode`; empty when it lists none.
std::string listedInterfacePath(const std::string& deviceNode) {
  sys::posix::PosixDeviceInterfaces interfaces;
  uint32_t error = 0;
  const auto set = interfaces.getClassDevs(DeviceInterfaces::GUID_DEVINTERFACE_VOLUME, error);
  std::string found;
  DeviceInterfaces::InterfaceData data;
  for (uint32_t i = 0; interfaces.enumDeviceInterfaces(set, DeviceInterfaces::GUID_DEVINTERFACE_VOLUME, i, data, error);
       ++i) {
    uint8_t detail[1024] = {};
    uint8_t name[1024] = {};
    DeviceInterfaces::DeviceRecord device;
    if (interfaces.getDeviceInterfaceDetail(set, data, detail, sizeof(detail), device, error) &&
        interfaces.getDeviceRegistryProperty(set, device, DeviceInterfaces::SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, name,
                                             sizeof(name), error) &&
        wide::toUtf8(readUtf16LittleEndian(name, 512)) == deviceNode) {
      found = wide::toUtf8(readUtf16LittleEndian(detail + 4, 510));
    }
  }
  interfaces.destroyDeviceInfoList(set);
  return found;
}

// The device events one service's handler received, as the record says them.
class EventRecorder {
 public:
  struct Event {
    uint32_t type;
    std::string name;
  };

  // The event a record tells of.
  static Event read(uint32_t type, const uint8_t* record) {
    EXPECT_EQ(readLittleEndian(record + 4, 4), DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE);
    const size_t units = (readLittleEndian(record, 4) - DeviceNotifications::kInterfaceRecordHeader) / 2;
    return {type, wide::toUtf8(readUtf16LittleEndian(record + DeviceNotifications::kInterfaceRecordHeader, units))};
  }
  void add(const Event& event) {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_.size();
  }
  // Waits for an event of `type` whose name starts with `prefix`, at or after
  // position `from`; its name, or empty when none came.
  std::string waitFor(uint32_t type, const std::string& prefix, size_t from = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string name;
    changed_.wait_for(lock, kEventWait, [&] {
      for (size_t i = from; i < events_.size(); ++i) {
        if (events_[i].type == type && events_[i].name.rfind(prefix, 0) == 0) name = events_[i].name;
      }
      return !name.empty();
    });
    return name;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

TEST(PosixDeviceNotificationsTest, RefusesWhatItCannotWatch) {
  struct Case {
    const char* what;
    DeviceNotifications::ServiceHandle service;
    std::vector<uint8_t> filter;
    uint32_t flags;
    uint32_t error;
  };
  std::vector<uint8_t> bigSize = volumeFilter(), otherType = volumeFilter();
  writeLittleEndian(bigSize.data(), 4, 64);
  writeLittleEndian(otherType.data() + 4, 4, 2);
  const Guid otherClass{0x12345678, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
  const Case cases[] = {
      {"window handle flag", 1, volumeFilter(), 0, WinError::InvalidParameter},
      {"short filter", 1, std::vector<uint8_t>(12, 0), 1, WinError::InvalidData},
      {"size beyond the bytes", 1, bigSize, 1, WinError::InvalidData},
      {"not a device interface filter", 1, otherType, 1, WinError::InvalidData},
      {"another interface class", 1, volumeFilter(otherClass), 1, WinError::NotSupported},
      {"service without a handler", 2, volumeFilter(), 1, WinError::InvalidHandle},
  };
  sys::posix::PosixDeviceNotifications notifications;
  notifications.setEventHandler(1, [](uint32_t, const uint8_t*) {});
  for (const Case& c : cases) {
    uint32_t error = 0;
    EXPECT_EQ(notifications.registerDeviceNotification(c.service, c.filter, c.flags, error), 0u) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
  uint32_t error = 0;
  EXPECT_FALSE(notifications.unregisterDeviceNotification(7, error));
  EXPECT_EQ(error, WinError::InvalidHandle);
}

// A loop device with one partition, made by the test as root.
class PartitionEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !fs::exists("/dev/loop-control")) {
      GTEST_SKIP() << "a loop device partition needs root and loop devices";
    }
    notifications_.setEventHandler(
        kFirstService, [this](uint32_t type, const uint8_t* record) { first_.add(EventRecorder::read(type, record)); });
    notifications_.setEventHandler(kSecondService, [this](uint32_t type, const uint8_t* record) {
      const EventRecorder::Event event = EventRecorder::read(type, record);
      // As the service does when its volume goes: unregister from the handler.
      const std::string directory = watched();
      if (type == DeviceNotifications::DBT_DEVICEREMOVECOMPLETE && !directory.empty() &&
          event.name.rfind(directory, 0) == 0) {
        uint32_t error = 0;
        secondUnregistered_ = notifications_.unregisterDeviceNotification(secondHandle_, error);
      }
      second_.add(event);
    });
    notifications_.setDropLog([this](const std::string& reason) {
      std::lock_guard<std::mutex> guard(mutex_);
      drops_ += reason + "; ";
    });
  }
  void TearDown() override {
    if (loopNumber_ >= 0) detachLoop();
    std::lock_guard<std::mutex> guard(mutex_);
    EXPECT_EQ(drops_, "");
  }

  // The sysfs directory of the test's loop device, whose partitions are its
  // subdirectories.
  std::string loopName() const { return "loop" + std::to_string(loopNumber_); }
  std::string loopDirectory() const { return "/sys/devices/virtual/block/" + loopName() + "/"; }
  std::string watched() {
    std::lock_guard<std::mutex> guard(mutex_);
    return watched_;
  }

  void attachLoopWithPartition() {
    const std::string image = (dir_.path() / "disk.img").string();
    ASSERT_TRUE(run("truncate -s 16M " + image + " && printf 'label: gpt\\n,,L\\n' | sfdisk -q " + image));
    loopNumber_ = addLoopDevice();
    ASSERT_GE(loopNumber_, 0) << "no new loop device";
    loop_ = "/dev/" + loopName();
    ASSERT_TRUE(waitFor(loop_));
    ASSERT_TRUE(run("losetup --partscan " + loop_ + " " + image));
    // Kernels without a partition-table parser get the partition added by hand.
    if (!fs::exists(loopDirectory() + loopName() + "p1")) run("partx --add " + loop_);
    std::lock_guard<std::mutex> guard(mutex_);
    watched_ = loopDirectory();
  }
  void detachLoop() {
    run("partx --delete " + loop_ + " 2>/dev/null; losetup --detach " + loop_);
    removeLoopDevice(loopNumber_);
    loopNumber_ = -1;
  }

  static constexpr DeviceNotifications::ServiceHandle kFirstService = 0x11;
  static constexpr DeviceNotifications::ServiceHandle kSecondService = 0x22;
  TempDir dir_;
  int loopNumber_ = -1;
  std::string loop_;
  EventRecorder first_;
  EventRecorder second_;
  std::atomic<DeviceNotifications::Handle> secondHandle_{0};
  std::atomic<bool> secondUnregistered_{false};
  std::mutex mutex_;     // guards the two below
  std::string watched_;  // the removal that ends the second registration
  std::string drops_;
  sys::posix::PosixDeviceNotifications notifications_;  // ended first: its listener calls the recorders
};

TEST_F(PartitionEventsTest, ArrivalAndRemovalNameThePartitionsInterfacePath) {
  uint32_t error = 0;
  const auto firstHandle = notifications_.registerDeviceNotification(kFirstService, volumeFilter(), 1, error);
  ASSERT_NE(firstHandle, 0u) << error;
  secondHandle_ = notifications_.registerDeviceNotification(kSecondService, volumeFilter(), 1, error);
  ASSERT_NE(secondHandle_, 0u) << error;

  ASSERT_NO_FATAL_FAILURE(attachLoopWithPartition());
  const std::string directory = loopDirectory();
  const std::string arrived = first_.waitFor(DeviceNotifications::DBT_DEVICEARRIVAL, directory);
  ASSERT_FALSE(arrived.empty()) << "no arrival of a partition of " << loop_;
  EXPECT_EQ(second_.waitFor(DeviceNotifications::DBT_DEVICEARRIVAL, directory), arrived);
  EXPECT_EQ(arrived, listedInterfacePath(loop_ + "p1"));

  ASSERT_TRUE(notifications_.unregisterDeviceNotification(firstHandle, error)) << error;
  const size_t firstSeen = first_.count();
  const size_t secondSeen = second_.count();
  detachLoop();
  EXPECT_EQ(second_.waitFor(DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, directory, secondSeen), arrived);

  // The second registration ended itself inside its handler before it
  // recorded the removal; events are delivered one after the other, so
  // anything for the first would have come by now.
  EXPECT_TRUE(secondUnregistered_);
  EXPECT_EQ(first_.count(), firstSeen) << "an event after unregistering";
}

TEST_F(PartitionEventsTest, RegistersAgainAfterTheLastRegistrationEnded) {
  uint32_t error = 0;
  secondHandle_ = notifications_.registerDeviceNotification(kSecondService, volumeFilter(), 1, error);
  ASSERT_NE(secondHandle_, 0u) << error;
  ASSERT_NO_FATAL_FAILURE(attachLoopWithPartition());
  const std::string directory = loopDirectory();
  ASSERT_FALSE(second_.waitFor(DeviceNotifications::DBT_DEVICEARRIVAL, directory).empty());
  detachLoop();
  ASSERT_FALSE(second_.waitFor(DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, directory).empty());
  ASSERT_TRUE(secondUnregistered_);

  // A new listener after the one that stopped on its own thread.
  const auto handle = notifications_.registerDeviceNotification(kFirstService, volumeFilter(), 1, error);
  ASSERT_NE(handle, 0u) << error;
  ASSERT_NO_FATAL_FAILURE(attachLoopWithPartition());
  EXPECT_FALSE(first_.waitFor(DeviceNotifications::DBT_DEVICEARRIVAL, loopDirectory()).empty());
  EXPECT_TRUE(notifications_.unregisterDeviceNotification(handle, error)) << error;
}

// Shortens the bound that a listener's end waits for its thread, for one scope.
class ShortStopWait {
 public:
  ShortStopWait() : previous_(sys::posix::UeventListener::swapStopWait(100ms)) {}
  ~ShortStopWait() { sys::posix::UeventListener::swapStopWait(previous_); }
  ShortStopWait(const ShortStopWait&) = delete;
  ShortStopWait& operator=(const ShortStopWait&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

// What a test shares with its handlers and with the thread that unregisters,
// so that a thread left behind touches nothing the test has freed.
struct StalledDelivery {
  Event entered{Event::Reset::Manual};
  Event release{Event::Reset::Manual};
  std::atomic<int> stalledCalls{0};
  EventRecorder others;  // the events of the other service
  std::atomic<bool> unregistered{false};
};

// Releases the stalled handler when the test ends, however it ends.
class ReleaseAtEnd {
 public:
  explicit ReleaseAtEnd(StalledDelivery& delivery) : delivery_(delivery) {}
  ~ReleaseAtEnd() { delivery_.release.set(); }
  ReleaseAtEnd(const ReleaseAtEnd&) = delete;
  ReleaseAtEnd& operator=(const ReleaseAtEnd&) = delete;

 private:
  StalledDelivery& delivery_;
};

TEST_F(PartitionEventsTest, AHandlerThatDoesNotReturnHoldsUpNeitherUnregisteringNorTheEnd) {
  const ShortStopWait shortWait;
  const auto shared = std::make_shared<StalledDelivery>();
  auto notifications = std::make_shared<sys::posix::PosixDeviceNotifications>();
  notifications->setEventHandler(kFirstService, [shared](uint32_t, const uint8_t*) {
    ++shared->stalledCalls;
    shared->entered.set();
    shared->release.wait(2 * kEventWait);
  });
  notifications->setEventHandler(kSecondService, [shared](uint32_t type, const uint8_t* record) {
    shared->others.add(EventRecorder::read(type, record));
  });
  uint32_t error = 0;
  const auto stalledHandle = notifications->registerDeviceNotification(kFirstService, volumeFilter(), 1, error);
  ASSERT_NE(stalledHandle, 0u) << error;
  ReleaseAtEnd releaseAtEnd(*shared);
  ASSERT_NO_FATAL_FAILURE(attachLoopWithPartition());
  ASSERT_TRUE(shared->entered.wait(kEventWait)) << "no partition event came";

  // The last registration ends while its handler is still running.
  Thread unregistering;
  ASSERT_TRUE(unregistering.start([shared, notifications, stalledHandle]() mutable {
    uint32_t unregisterError = 0;
    shared->unregistered = notifications->unregisterDeviceNotification(stalledHandle, unregisterError);
    notifications.reset();  // so that the test's own reset ends the object
  }));
  ASSERT_TRUE(unregistering.waitFor(kEventWait)) << "unregistering waits for a handler that does not return";
  EXPECT_TRUE(shared->unregistered);

  // Registered anew while the thread left behind still has the removal below
  // to read; then the object ends with the handler still running.
  ASSERT_NE(notifications->registerDeviceNotification(kSecondService, volumeFilter(), 1, error), 0u) << error;
  detachLoop();
  notifications.reset();

  // Once released, the threads left behind end by themselves; the last of
  // them lets go of the handlers.
  shared->release.set();
  for (int i = 0; i < 6000 && shared.use_count() > 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(shared.use_count(), 1) << "a listener's thread did not end";
  EXPECT_EQ(shared->stalledCalls.load(), 1) << "an event after unregistering";
  EXPECT_EQ(shared->others.count(), 0u) << "an event after the end";
}

// Messages sent to the listener by a process instead of the kernel.
TEST(UeventListenerTest, DropsMessagesNotSentByTheKernel) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* reason;
  };
  const std::string partitionAdd =
      "add@/devices/virtual/block/loop7/loop7p1\0ACTION=add\0DEVPATH=/devices/virtual/block/loop7/loop7p1\0"
      "SUBSYSTEM=block\0DEVTYPE=partition\0"s;
  const Case cases[] = {
      {"a well-formed partition event", partitionAdd, "uevent not sent by the kernel"},
      {"an oversized message", std::string(20000, 'x'), "oversized uevent"},
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> drops;
  int delivered = 0;
  uint32_t error = 0;
  auto listener = sys::posix::UeventListener::start(
      [&](const sys::posix::UeventMessage&) {
        std::lock_guard<std::mutex> guard(mutex);
        ++delivered;
      },
      [&](const std::string& reason) {
        std::lock_guard<std::mutex> guard(mutex);
        drops.push_back(reason);
        changed.notify_all();
      },
      error);
  ASSERT_TRUE(listener) << error;

  sys::posix::UniqueFd sender(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  ASSERT_TRUE(sender.valid());
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = listener->portId();
  ASSERT_NE(to.nl_pid, 0u);
  for (const Case& c : cases) {
    if (sendto(sender.get(), c.bytes.data(), c.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0) {
      GTEST_SKIP() << "cannot send to a netlink port here: " << std::strerror(errno);
    }
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, kEventWait, [&] { return !drops.empty(); })) << c.what;
    EXPECT_EQ(drops, std::vector<std::string>{c.reason}) << c.what;
    drops.clear();
  }
  listener.reset();
  EXPECT_EQ(delivered, 0);
}

}  // namespace
