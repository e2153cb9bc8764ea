#include "volume/VolumeDeviceNotificatorThread.h"

#include <gtest/gtest.h>

#include "volume/VolumeDetectionFixture.h"

using namespace volume_detection;
using sys::DeviceNotifications;
using sys::Registry;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kArrival = DeviceNotifications::DBT_DEVICEARRIVAL;
const std::u16string kOurPath = kOurVolume.interfacePath;
const std::string kTaskRun = "VolumeDeviceNotificatorThread::taskRun ";

// What a probe of `volume` logs until its inquiry.
Lines lookupLines(const TestVolume& volume) {
  return {kTaskRun + "volume_dev_interface_path=" + utf8(volume.interfacePath),
          kTaskRun + "volume_device=" + utf8(volume.device), kTaskRun + "volume_guid=" + utf8(volume.guidPath)};
}

std::string identityLine(const std::string& vendor, const std::string& product, const std::string& revision,
                         const std::string& serial) {
  return kTaskRun + "vendor_id=" + vendor + "; product_id=" + product + "; product_revision=" + revision +
         "; serial_number=" + serial;
}

Lines operator+(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The bytes of a REG_MULTI_SZ of `strings`.
std::vector<uint8_t> regMultiSz(const std::vector<std::u16string>& strings) {
  std::u16string text;
  for (const std::u16string& s : strings) text += s + u'\0';
  return regSz(text);
}

size_t countCalls(const std::vector<std::string>& calls, const std::string& call) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

}  // namespace

TEST_F(VolumeDetectionTest, ProbeRecognisesOurVolumeAndRecordsIt) {
  addVolume(kOtherVolume, identity(kVendor, kProduct, "1.0", "0000"));
  addVolume(kOurVolume, ourIdentity());
  volumes_.mountPointsPerCall = {{u"E:\\", u"C:\\Mounts\\Backup\\"}};

  VolumeDeviceNotificator::processDevice(kArrival, event(kOurVolume).data());
  ASSERT_TRUE(probesFinished(1));

  const Lines expected = Lines{"VolumeDeviceNotificator::processDevice add device",
                                "VolumeDeviceNotificator::onDevArrive DEV_BROADCAST_DEVICEINTERFACE=" + utf8(kOurPath)} +
                          lookupLines(kOurVolume) +
                          Lines{identityLine(kVendor, kProduct, "1.0", kSerial), kTaskRun + "drive=E:\\",
                                kTaskRun + "drive=C:\\Mounts\\Backup\\",
                                "VolumeDeviceNotificatorThread::rmTask threadID=a start_time=1000", kFinished};
  EXPECT_EQ(withProbeNames(lines()), expected);
  // The interface path from the event is recorded, not the volume's GUID path.
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  EXPECT_FALSE(VolumeDeviceNotificator::isOurDevice(kOurVolume.guidPath));
  EXPECT_EQ(volumes_.openedPaths, std::vector<std::u16string>{openPath(kOurVolume)});
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedVolumeID"),
            (FakeRegistry::Value{Registry::REG_SZ, regSz(kOurVolume.guidPath)}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDeviceName"),
            (FakeRegistry::Value{Registry::REG_SZ, regSz(kOurVolume.device)}));
  EXPECT_EQ(registry_.value(kRecordKey, u"MountedDrives"),
            (FakeRegistry::Value{Registry::REG_MULTI_SZ, regMultiSz({u"E:\\", u"C:\\Mounts\\Backup\\"})}));
}

TEST_F(VolumeDetectionTest, ProbeComparesVendorProductAndSerialWholeAndIgnoresTheRevision) {
  struct Case {
    std::string vendor, product, revision, serial;
    bool recognised;
  };
  const std::vector<Case> cases{
      {"VELKAR/A ", kProduct, "1.0", kSerial, false},
      {"velkar/a", kProduct, "1.0", kSerial, false},
      {"VELKAR/", kProduct, "1.0", kSerial, false},
      {kVendor, "OTHER_DISK", "1.0", kSerial, false},
      {kVendor, kProduct, "1.0", "320A050564E94590AE3C6F348B43C4FF", false},
      {kVendor, kProduct, "1.0", "320a050564e94590ae3c6f348b43c4fe", false},
      {kVendor, kProduct, "", kSerial, true},
      {kVendor, kProduct, "9.99", kSerial, true},
  };
  addVolume(kOurVolume, ourIdentity());
  volumes_.mountPointsPerCall = {{u"F:\\"}};
  size_t probes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("vendor [" + c.vendor + "] product [" + c.product + "] revision [" + c.revision + "] serial [" +
                 c.serial + "]");
    VolumeDeviceNotificator::drop();
    volumes_.devices[openPath(kOurVolume)].descriptor = identity(c.vendor, c.product, c.revision, c.serial);
    const size_t mark = lines().size();
    const size_t registryCalls = registry_.calls().size();

    ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
    ASSERT_TRUE(probesFinished(++probes));

    const Lines drives = c.recognised ? Lines{kTaskRun + "drive=F:\\"} : Lines{};
    const Lines expected =
        lookupLines(kOurVolume) + Lines{identityLine(c.vendor, c.product, c.revision, c.serial)} + drives +
        Lines{"VolumeDeviceNotificatorThread::rmTask threadID=a start_time=1000", kFinished};
    EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
    EXPECT_EQ(VolumeDeviceNotificator::isOurDevice(kOurPath), c.recognised);
    EXPECT_EQ(registry_.calls().size() > registryCalls, c.recognised);
  }
}

TEST_F(VolumeDetectionTest, ProbeAsksForTheIdentityUpToFiveTimes) {
  struct Case {
    int failures;
    bool recognised;
  };
  addVolume(kOurVolume, ourIdentity());
  volumes_.mountPointsPerCall = {{u"E:\\"}};
  size_t probes = 0;
  for (const Case& c : {Case{5, false}, Case{2, true}}) {
    SCOPED_TRACE(c.failures);
    VolumeDeviceNotificator::drop();
    volumes_.failingQueries = c.failures;
    const size_t opens = volumes_.openedPaths.size();
    const size_t registryCalls = registry_.calls().size();
    const size_t mark = lines().size();

    ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
    ASSERT_TRUE(probesFinished(++probes));

    Lines expected = lookupLines(kOurVolume);
    for (int attempt = 0; attempt < c.failures; ++attempt) {
      expected.push_back(kTaskRun + "getVolumeDeviceInquiryInfo try=" + std::to_string(attempt) + " fail");
    }
    if (c.recognised) {
      expected = expected + Lines{identityLine(kVendor, kProduct, "1.0", kSerial), kTaskRun + "drive=E:\\"};
    } else {
      expected.push_back(identityLine("", "", "", ""));
    }
    expected = expected + Lines{"VolumeDeviceNotificatorThread::rmTask threadID=a start_time=1000", kFinished};
    EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
    EXPECT_EQ(volumes_.openedPaths.size() - opens, c.recognised ? static_cast<size_t>(c.failures) + 1 : 5u);
    EXPECT_EQ(VolumeDeviceNotificator::isOurDevice(kOurPath), c.recognised);
    EXPECT_EQ(registry_.calls().size() > registryCalls, c.recognised);
  }
}

TEST_F(VolumeDetectionTest, ProbeEndsAtAFailedLookup) {
  struct Case {
    const char* label;
    bool interfaceKnown;
    Lines expected;
  };
  const std::vector<Case> cases{
      {"interface unknown",
       false,
       {kTaskRun + "volume_dev_interface_path=" + utf8(kOurPath), kTaskRun + "getVolumeDeviceByInterface fail"}},
      {"no volume on the device",
       true,
       {kTaskRun + "volume_dev_interface_path=" + utf8(kOurPath), kTaskRun + "volume_device=" + utf8(kOurVolume.device),
        kTaskRun + "getVolumeGuidForDevice fail"}},
  };
  addVolume(kOtherVolume, ourIdentity());
  size_t probes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.interfaceKnown) {
      devices_.classes[sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME].push_back(
          FakeDevices::interface(kOurPath, kOurVolume.device));
    }
    const size_t mark = lines().size();
    ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
    ASSERT_TRUE(probesFinished(++probes));
    const Lines expected =
        c.expected + Lines{"VolumeDeviceNotificatorThread::rmTask threadID=a start_time=1000", kFinished};
    EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
  }
  EXPECT_TRUE(volumes_.openedPaths.empty());
  EXPECT_FALSE(VolumeDeviceNotificator::isDeviceDetected());
  EXPECT_TRUE(registry_.calls().empty());
}

TEST_F(VolumeDetectionTest, TwoArrivalsAtOnceRecordTheVolumeOnce) {
  addVolume(kOurVolume, ourIdentity());
  volumes_.mountPointsPerCall = {{u"E:\\"}};
  VolumeDeviceNotificator::processDevice(kArrival, event(kOurVolume).data());
  VolumeDeviceNotificator::processDevice(kArrival, event(kOurVolume).data());
  ASSERT_TRUE(probesFinished(2));

  Lines probeLines;
  for (const std::string& line : lines()) {
    if (line.starts_with(kTaskRun)) probeLines.push_back(line);
  }
  const Lines expected = lookupLines(kOurVolume) + Lines{identityLine(kVendor, kProduct, "1.0", kSerial),
                                                         kTaskRun + "drive=E:\\", kFinished,
                                                         kTaskRun + "device already detected", kFinished};
  EXPECT_EQ(probeLines, expected);
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  EXPECT_EQ(volumes_.openedPaths.size(), 1u);
  EXPECT_EQ(countCalls(registry_.calls(), "set MountedVolumeID 1 " + std::to_string((kOurVolume.guidPath.size() + 1) * 2)),
            1u);
}

// Run time is the distance on the clock face, the shorter way round:
// a probe is overdue after more than 200 s, also across midnight.
TEST_F(VolumeDetectionTest, CheckEndsAProbeRunningMoreThan200Seconds) {
  struct Case {
    uint32_t start, now, runTime;
    bool ended;
  };
  const std::vector<Case> cases{
      {1001, 1201, 200, false},
      {1000, 1201, 201, true},
      {86390, 20, 30, false},
      {86350, 151, 201, true},
  };
  addVolume(kOurVolume, ourIdentity());
  VolumeDeviceNotificatorThread::swapPause(kLongPause);
  size_t probes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("start " + std::to_string(c.start) + " now " + std::to_string(c.now));
    clock_ = c.start;
    ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
    ASSERT_TRUE(probesPausing(++probes));
    const size_t mark = lines().size();

    VolumeDeviceNotificatorThread::checkForDeadThreads(c.now);
    EXPECT_EQ(TimerTask::devNotificatorTasks(), c.ended ? 0u : 1u);
    VolumeDeviceNotificatorThread::shutdown();

    Lines expected{"VolumeDeviceNotificatorThread::checkForDeadThreads threadID=a; run_time=" +
                   std::to_string(c.runTime)};
    expected.push_back(c.ended ? "VolumeDeviceNotificatorThread::checkForDeadThreads terminated threadID=a"
                               : "VolumeDeviceNotificatorThread::shutdown terminated threadID=a");
    expected.push_back("VolumeDeviceNotificatorThread::shutdown OK");
    EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
    EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);
  }
  EXPECT_EQ(count(kFinished), 0u);
  EXPECT_TRUE(volumes_.openedPaths.empty());
}

// Probes a (in its pause, holding the probe lock), b and c (waiting for it);
// b is overdue. The walk starts again after b, so a is examined twice. The
// probes left are ended by the shutdown without any of them starting its
// inquiry, and the probe lock is free for the next one.
TEST_F(VolumeDetectionTest, CheckStartsItsWalkAgainAfterEndingAProbe) {
  addVolume(kOurVolume, ourIdentity());
  volumes_.mountPointsPerCall = {{u"E:\\"}};
  VolumeDeviceNotificatorThread::swapPause(kLongPause);
  clock_ = 1001;
  ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
  ASSERT_TRUE(probesPausing(1));
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 1u);
  clock_ = 1000;
  ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
  clock_ = 1050;
  ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 3u);
  const size_t mark = lines().size();

  VolumeDeviceNotificatorThread::checkForDeadThreads(1201);
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 2u);
  VolumeDeviceNotificatorThread::shutdown();
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);

  VolumeDeviceNotificatorThread::swapPause(0ms);
  clock_ = 1300;
  ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
  ASSERT_TRUE(probesFinished(1));

  const std::string check = "VolumeDeviceNotificatorThread::checkForDeadThreads ";
  const Lines expected =
      Lines{check + "threadID=a; run_time=200", check + "threadID=b; run_time=201", check + "terminated threadID=b",
            check + "threadID=a; run_time=200", check + "threadID=c; run_time=151",
            "VolumeDeviceNotificatorThread::shutdown terminated threadID=a",
            "VolumeDeviceNotificatorThread::shutdown terminated threadID=c",
            "VolumeDeviceNotificatorThread::shutdown OK"} +
      lookupLines(kOurVolume) +
      Lines{identityLine(kVendor, kProduct, "1.0", kSerial), kTaskRun + "drive=E:\\",
            "VolumeDeviceNotificatorThread::rmTask threadID=d start_time=1300", kFinished};
  EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
}

TEST_F(VolumeDetectionTest, ShutdownWithNoProbeLogsOnlyItsEnd) {
  VolumeDeviceNotificatorThread::shutdown();
  EXPECT_EQ(lines(), Lines{"VolumeDeviceNotificatorThread::shutdown OK"});
}

TEST_F(VolumeDetectionTest, RemovingAnUnknownProbeDoesNothing) {
  addVolume(kOurVolume, ourIdentity());
  VolumeDeviceNotificatorThread::swapPause(kLongPause);
  ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(kOurPath));
  ASSERT_TRUE(probesPausing(1));
  const size_t mark = lines().size();
  VolumeDeviceNotificatorThread::rmTask(0);
  VolumeDeviceNotificatorThread::rmTask(0xFFFFFFFF);
  EXPECT_TRUE(linesFrom(mark).empty());
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 1u);
  VolumeDeviceNotificatorThread::shutdown();
  EXPECT_EQ(withProbeNames(linesFrom(mark)), (Lines{"VolumeDeviceNotificatorThread::shutdown terminated threadID=a",
                                                    "VolumeDeviceNotificatorThread::shutdown OK"}));
}

// A probe stuck in a storage query that does not return is ended; the next
// probe runs at once and recognises its volume; when the stuck query finally
// answers (with our identity), the ended probe writes and logs nothing.
class StuckProbeTest : public VolumeDetectionTest {
 protected:
  StuckProbeTest() {
    addVolume(kOtherVolume, {});
    addVolume(kOurVolume, ourIdentity());
    volumes_.mountPointsPerCall = {{u"E:\\"}};
    volumes_.stalledPath = openPath(kOtherVolume);
    volumes_.stalledReply = ourIdentity();
  }

  // Starts the probe of the other volume, which gets stuck.
  bool startStuckProbe() {
    clock_ = 1000;
    VolumeDeviceNotificator::processDevice(kArrival, event(kOtherVolume).data());
    return volumes_.stalled.wait(20s);
  }
  void arriveOurs() {
    clock_ = 1100;
    VolumeDeviceNotificator::processDevice(kArrival, event(kOurVolume).data());
  }
  // Waits for the probe of our volume, then lets the stuck query answer.
  void expectOursRecognisedAndTheStuckProbeSilent() {
    ASSERT_TRUE(probesFinished(1));
    EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
    EXPECT_EQ(registry_.value(kRecordKey, u"MountedVolumeID"),
              (FakeRegistry::Value{Registry::REG_SZ, regSz(kOurVolume.guidPath)}));
    const std::string logged = wholeLog();
    const std::vector<std::string> registryCalls = registry_.calls();

    volumes_.released.set();
    ASSERT_TRUE(eventually([&] { return volumes_.closed.load(); }));
    EXPECT_EQ(wholeLog(), logged);
    EXPECT_EQ(registry_.calls(), registryCalls);
    EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(kOurPath));
  }
  static Lines oursRecognised() {
    return lookupLines(kOurVolume) + Lines{identityLine(kVendor, kProduct, "1.0", kSerial), kTaskRun + "drive=E:\\",
                                           "VolumeDeviceNotificatorThread::rmTask threadID=b start_time=1100",
                                           kFinished};
  }
};

TEST_F(StuckProbeTest, AnOverdueStuckProbeLetsTheWaitingProbeRun) {
  ASSERT_TRUE(startStuckProbe());
  arriveOurs();
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 2u);
  const size_t mark = lines().size();
  VolumeDeviceNotificatorThread::checkForDeadThreads(1201);
  expectOursRecognisedAndTheStuckProbeSilent();
  const std::string check = "VolumeDeviceNotificatorThread::checkForDeadThreads ";
  const Lines expected =
      Lines{check + "threadID=a; run_time=201", check + "terminated threadID=a", check + "threadID=b; run_time=101"} +
      oursRecognised();
  EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
}

TEST_F(StuckProbeTest, AStuckProbeEndedByShutdownLetsTheNextProbeRun) {
  ASSERT_TRUE(startStuckProbe());
  const size_t mark = lines().size();
  VolumeDeviceNotificatorThread::shutdown();
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);
  arriveOurs();
  expectOursRecognisedAndTheStuckProbeSilent();
  const Lines expected =
      Lines{"VolumeDeviceNotificatorThread::shutdown terminated threadID=a",
            "VolumeDeviceNotificatorThread::shutdown OK", "VolumeDeviceNotificator::processDevice add device",
            "VolumeDeviceNotificator::onDevArrive DEV_BROADCAST_DEVICEINTERFACE=" + utf8(kOurPath)} +
      oursRecognised();
  EXPECT_EQ(withProbeNames(linesFrom(mark)), expected);
}
