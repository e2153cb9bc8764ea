#include "volume/VolumeDeviceNotificator.h"

#include <gtest/gtest.h>

#include <optional>

#include "common/Thread.h"
#include "volume/VolumeDetectionFixture.h"

using namespace volume_detection;
using sys::DeviceNotifications;
using sys::Registry;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kArrival = DeviceNotifications::DBT_DEVICEARRIVAL;
constexpr uint32_t kRemoval = DeviceNotifications::DBT_DEVICEREMOVECOMPLETE;

const std::u16string kOurPath = kOurVolume.interfacePath;

std::u16string upperCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

std::string removalLine(const std::u16string& path) {
  return "VolumeDeviceNotificator::onDevRemove DEV_BROADCAST_DEVICEINTERFACE=" + utf8(path);
}

}  // namespace

TEST_F(VolumeDetectionTest, EventsItDoesNotHandleAreLoggedAndChangeNothing) {
  struct Case {
    const char* label;
    uint32_t eventType;
    std::optional<std::vector<uint8_t>> record;
    Lines expected;
  };
  const std::vector<Case> cases{
      {"arrival without data", kArrival, std::nullopt, {"VolumeDeviceNotificator::processDevice err event_data=NULL"}},
      {"removal without data", kRemoval, std::nullopt, {"VolumeDeviceNotificator::processDevice err event_data=NULL"}},
      {"query remove", 0x8001, event(kOurVolume), {"DeviceNotificator::processDevice unknown event_type=8001"}},
      {"custom event", 0x8006, event(kOurVolume), {"DeviceNotificator::processDevice unknown event_type=8006"}},
      {"device nodes changed", 0x7, event(kOurVolume), {"DeviceNotificator::processDevice unknown event_type=7"}},
      {"arrival of a volume broadcast",
       kArrival,
       FakeDeviceNotifications::interfaceRecord(kOurPath, 2),
       {"VolumeDeviceNotificator::processDevice add device", "VolumeDeviceNotificator::onDevArrive undefined dev_type=0x2"}},
      {"removal of a port broadcast",
       kRemoval,
       FakeDeviceNotifications::interfaceRecord(kOurPath, 3),
       {"VolumeDeviceNotificator::processDevice remove device",
        "VolumeDeviceNotificator::onDevRemove undefined dev_type=0x3"}},
  };
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const size_t mark = lines().size();
    VolumeDeviceNotificator::processDevice(c.eventType, c.record ? c.record->data() : nullptr);
    EXPECT_EQ(linesFrom(mark), c.expected);
  }
  EXPECT_EQ(notifications_.journal(), Lines{"register 0x100"});
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u) << "a probe was started";
  EXPECT_EQ(checksRequested(), 0u);
  EXPECT_TRUE(registry_.calls().empty());
}

TEST_F(VolumeDetectionTest, ListenTwiceCancelsTheFirstRegistrationBeforeMakingTheSecond) {
  EXPECT_TRUE(VolumeDeviceNotificator::listen());
  EXPECT_TRUE(VolumeDeviceNotificator::listen());
  EXPECT_EQ(notifications_.journal(), (Lines{"register 0x100", "unregister 0x100", "register 0x101"}));
  EXPECT_EQ(lines(), (Lines{"VolumeDeviceNotificator::drop", "VolumeDeviceNotificator::listen OK",
                            "VolumeDeviceNotificator::drop", "VolumeDeviceNotificator::listen OK"}));
  ASSERT_EQ(notifications_.registrations.size(), 1u);
  const FakeDeviceNotifications::Registration& registration = notifications_.registrations.at(0x101);
  EXPECT_EQ(registration.service, kService);
  EXPECT_EQ(registration.flags, DeviceNotifications::DEVICE_NOTIFY_SERVICE_HANDLE);
  // DEV_BROADCAST_DEVICEINTERFACE_W: size 32, type 5, reserved 0, the volume
  // interface class {53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}, an empty name.
  const std::vector<uint8_t> filter{32,   0,    0,    0,    5,    0,    0,    0,    0,    0,    0,
                                    0,    0x0D, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2,
                                    0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B, 0,    0,    0,    0};
  EXPECT_EQ(registration.filter, filter);
}

TEST_F(VolumeDetectionTest, ListenWithoutAServiceHandleRegistersNothingAndKeepsTheDetectedVolume) {
  VolumeDeviceNotificator::setServiceHandle(0);
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  EXPECT_FALSE(VolumeDeviceNotificator::listen());
  EXPECT_EQ(lines(), Lines{"VolumeDeviceNotificator::listen service=NULL"});
  EXPECT_TRUE(notifications_.journal().empty());
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
}

TEST_F(VolumeDetectionTest, RefusedRegistrationIsLoggedWithItsErrorAndLeavesNothingRegistered) {
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  notifications_.registerError = WinError::InvalidData;
  EXPECT_FALSE(VolumeDeviceNotificator::listen());
  EXPECT_EQ(lines(), (Lines{"VolumeDeviceNotificator::drop", "VolumeDeviceNotificator::listen OK",
                            "VolumeDeviceNotificator::drop", "VolumeDeviceNotificator::listen err=D"}));
  EXPECT_TRUE(notifications_.registrations.empty());
  // The refused registration left no handle behind: the next listen has nothing to cancel.
  notifications_.registerError = 0;
  EXPECT_TRUE(VolumeDeviceNotificator::listen());
  EXPECT_EQ(notifications_.journal(),
            (Lines{"register 0x100", "unregister 0x100", "register failed", "register 0x101"}));
}

// A second listen registers while the first is still inside the platform's
// call: when both are done, one registration remains, and it is the one a
// drop cancels.
TEST_F(VolumeDetectionTest, RacingListensKeepOneRegistration) {
  std::atomic<int> registerCalls{0};
  Event firstInside(Event::Reset::Manual);
  Event letFirstGo(Event::Reset::Manual);
  notifications_.beforeRegister = [&] {
    if (registerCalls++ != 0) return;
    firstInside.set();
    letFirstGo.wait(20s);
  };
  std::atomic<bool> firstListened{false};
  Thread first;
  ASSERT_TRUE(first.start([&] { firstListened = VolumeDeviceNotificator::listen(); }));
  EXPECT_TRUE(firstInside.wait(20s));
  EXPECT_TRUE(VolumeDeviceNotificator::listen());
  letFirstGo.set();
  ASSERT_TRUE(first.waitFor(20s));
  EXPECT_TRUE(firstListened);
  EXPECT_EQ(notifications_.registrations.size(), 1u);
  VolumeDeviceNotificator::drop();
  EXPECT_TRUE(notifications_.registrations.empty()) << "a registration was lost";
}

// The platform may wait, while cancelling, for an event it is delivering;
// that delivery needs the notificator, so the cancel is made without its lock.
TEST_F(VolumeDetectionTest, CancellingTheRegistrationLetsADeliveryInProgressFinish) {
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  const std::vector<uint8_t> otherRemoval = event(kOtherVolume);
  Thread delivery;
  bool deliveredDuringCancel = false;
  notifications_.beforeUnregister = [&] {
    if (!delivery.start([&] { VolumeDeviceNotificator::processDevice(kRemoval, otherRemoval.data()); })) return;
    deliveredDuringCancel = delivery.waitFor(20s);
  };
  VolumeDeviceNotificator::drop();
  EXPECT_TRUE(delivery.waitFor(20s));
  EXPECT_TRUE(deliveredDuringCancel);
  // The detected volume was forgotten before the registration was cancelled.
  EXPECT_EQ(lines(), (Lines{"VolumeDeviceNotificator::drop", "VolumeDeviceNotificator::listen OK",
                            "VolumeDeviceNotificator::processDevice remove device", removalLine(kOtherVolume.interfacePath),
                            "VolumeDeviceNotificator::onDevRemove our device is not detected; wait for other device",
                            "VolumeDeviceNotificator::drop"}));
}

// The check is requested, then the registration dropped, then the record emptied.
TEST_F(VolumeDetectionTest, RemovalOfOurVolumeChecksTheDriverDropsAndEmptiesTheRecordInThatOrder) {
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  const size_t mark = lines().size();
  std::optional<std::pair<uint32_t, size_t>> atCancel;  // checks requested, registry calls
  notifications_.beforeUnregister = [&] { atCancel.emplace(checksRequested(), registry_.calls().size()); };

  VolumeDeviceNotificator::processDevice(kRemoval, event(kOurVolume).data());

  EXPECT_EQ(linesFrom(mark),
            (Lines{"VolumeDeviceNotificator::processDevice remove device", removalLine(kOurPath),
                   "VolumeDeviceNotificator::onDevRemove our device detected; check the driver response",
                   "VolumeDeviceNotificator::drop"}));
  ASSERT_TRUE(atCancel.has_value());
  EXPECT_EQ(atCancel->first, 1u) << "the check was not requested before the drop";
  EXPECT_EQ(atCancel->second, 0u) << "the record was emptied before the drop";
  EXPECT_EQ(checksRequested(), 1u);
  EXPECT_EQ(notifications_.journal(), (Lines{"register 0x100", "unregister 0x100"}));
  EXPECT_FALSE(VolumeDeviceNotificator::isDeviceDetected());
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedVolumeID"), (FakeRegistry::Value{Registry::REG_SZ, regSz(u"")}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDeviceName"), (FakeRegistry::Value{Registry::REG_SZ, regSz(u"")}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDrives"),
            (FakeRegistry::Value{Registry::REG_MULTI_SZ, std::vector<uint8_t>(4, 0)}));
}

TEST_F(VolumeDetectionTest, RemovalOfAnyOtherPathChangesNothing) {
  struct Case {
    const char* label;
    std::u16string path;
  };
  const std::vector<Case> cases{
      {"another volume", kOtherVolume.interfacePath},
      {"ours in lower case", wide::toLower(kOurPath)},
      {"ours in upper case", upperCase(kOurPath)},
      {"ours less its last character", kOurPath.substr(0, kOurPath.size() - 1)},
  };
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NE(c.path, kOurPath);
    EXPECT_FALSE(VolumeDeviceNotificator::isOurDevice(c.path));
    const size_t mark = lines().size();
    VolumeDeviceNotificator::processDevice(kRemoval, FakeDeviceNotifications::interfaceRecord(c.path).data());
    EXPECT_EQ(linesFrom(mark), (Lines{"VolumeDeviceNotificator::processDevice remove device", removalLine(c.path)}));
  }
  EXPECT_EQ(notifications_.journal(), Lines{"register 0x100"});
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  EXPECT_EQ(checksRequested(), 0u);
  EXPECT_TRUE(registry_.calls().empty());
}

TEST_F(VolumeDetectionTest, RemovalWhileNoVolumeIsDetectedChangesNothing) {
  ASSERT_TRUE(VolumeDeviceNotificator::listen());
  const size_t mark = lines().size();
  VolumeDeviceNotificator::processDevice(kRemoval, event(kOurVolume).data());
  EXPECT_EQ(linesFrom(mark),
            (Lines{"VolumeDeviceNotificator::processDevice remove device", removalLine(kOurPath),
                   "VolumeDeviceNotificator::onDevRemove our device is not detected; wait for other device"}));
  EXPECT_EQ(notifications_.journal(), Lines{"register 0x100"});
  EXPECT_EQ(checksRequested(), 0u);
  EXPECT_TRUE(registry_.calls().empty());
}

TEST_F(VolumeDetectionTest, ArrivalWhileOurVolumeIsDetectedStillStartsAProbeThatStopsAtOnce) {
  addVolume(kOtherVolume, ourIdentity());
  VolumeDeviceNotificator::setDetectedDevice(kOurPath);
  VolumeDeviceNotificator::processDevice(kArrival, event(kOtherVolume).data());
  ASSERT_TRUE(probesFinished(1));
  EXPECT_EQ(withProbeNames(lines()),
            (Lines{"VolumeDeviceNotificator::processDevice add device",
                   "VolumeDeviceNotificator::onDevArrive DEV_BROADCAST_DEVICEINTERFACE=" + utf8(kOtherVolume.interfacePath),
                   "VolumeDeviceNotificatorThread::taskRun device already detected",
                   "VolumeDeviceNotificatorThread::rmTask threadID=a start_time=1000", kFinished}));
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  EXPECT_TRUE(volumes_.openedPaths.empty());
  EXPECT_TRUE(registry_.calls().empty());
}
