#include "device/TimerTask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/Event.h"
#include "common/UtcDayClock.h"
#include "device/DriverRecords.h"
#include "disk/VirtualImageManager.h"
#include "fakes/FakeDevices.h"
#include "fakes/FakeDiskImage.h"
#include "fakes/FakePorts.h"
#include "fakes/FakeVolumes.h"
#include "lpc/LpcThread.h"
#include "service/DebugLog.h"
#include "support/Eventually.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"
#include "volume/VolumeDeviceNotificatorThread.h"

using namespace std::chrono_literals;
namespace records = driver_records;

namespace {

const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000";
constexpr auto kShortPeriod = 10ms;

// The debug log in a directory of its own, read while the watchdog writes it.
class WatchedLog {
 public:
  WatchedLog() { openDebugLog(dir_.file(u"debug.log").c_str()); }
  ~WatchedLog() { closeDebugLog(); }
  WatchedLog(const WatchedLog&) = delete;
  WatchedLog& operator=(const WatchedLog&) = delete;

  // The complete non-empty lines logged so far.
  std::vector<std::string> lines() const {
    const std::string text = readFileBytes(dir_.path() / "debug.log");
    const std::string end = VK_TEXT_LINE_END;
    std::vector<std::string> result;
    size_t from = 0;
    for (size_t at = text.find(end); at != std::string::npos; at = text.find(end, from)) {
      if (at > from) result.push_back(text.substr(from, at - from));
      from = at + end.size();
    }
    return result;
  }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& line : lines()) {
      if (line.starts_with(prefix)) result.push_back(line);
    }
    return result;
  }
  size_t count(const std::string& line) const {
    const std::vector<std::string> all = lines();
    return static_cast<size_t>(std::count(all.begin(), all.end(), line));
  }
  bool waitFor(const std::string& line) const {
    return eventually([&] { return count(line) > 0; });
  }
  bool waitForStart(const std::string& prefix) const {
    return eventually([&] { return !linesStartingWith(prefix).empty(); });
  }
  // Closes the log. What a thread did before its last line is then ordered
  // before what the test reads next: the log's lock passed between them.
  void close() { closeDebugLog(); }

 private:
  TempDir dir_;
};

// The time of day as the test sets it, for the guard's scope.
class ScopedClock {
 public:
  explicit ScopedClock(uint32_t now) : now_(std::make_shared<std::atomic<uint32_t>>(now)) {
    previous_ = UtcDayClock::swapSource([now = now_] { return now->load(); });
  }
  ~ScopedClock() { UtcDayClock::swapSource(previous_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

  void set(uint32_t now) { now_->store(now); }

 private:
  std::shared_ptr<std::atomic<uint32_t>> now_;
  UtcDayClock::Source previous_;
};

class ScopedPeriod {
 public:
  explicit ScopedPeriod(std::chrono::milliseconds period) : previous_(TimerTask::swapPeriod(period)) {}
  ~ScopedPeriod() { TimerTask::swapPeriod(previous_); }
  ScopedPeriod(const ScopedPeriod&) = delete;
  ScopedPeriod& operator=(const ScopedPeriod&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

class ScopedImageLockWait {
 public:
  explicit ScopedImageLockWait(std::chrono::milliseconds wait)
      : previous_(VirtualImageManager::swapImageLockWait(wait)) {}
  ~ScopedImageLockWait() { VirtualImageManager::swapImageLockWait(previous_); }
  ScopedImageLockWait(const ScopedImageLockWait&) = delete;
  ScopedImageLockWait& operator=(const ScopedImageLockWait&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

class ScopedProbePause {
 public:
  explicit ScopedProbePause(std::chrono::milliseconds pause)
      : previous_(VolumeDeviceNotificatorThread::swapPause(pause)) {}
  ~ScopedProbePause() { VolumeDeviceNotificatorThread::swapPause(previous_); }
  ScopedProbePause(const ScopedProbePause&) = delete;
  ScopedProbePause& operator=(const ScopedProbePause&) = delete;

 private:
  std::chrono::milliseconds previous_;
};

// The watchdog, running for the guard's scope.
// The watchdog for a scope. Its end waits, with a generous bound, for the
// thread's last line: on a loaded machine the thread may leave after stop's
// own bound, and the test reads the log next.
class RunningWatchdog {
 public:
  explicit RunningWatchdog(const WatchedLog& log) : log_(log) { TimerTask::start(); }
  ~RunningWatchdog() {
    TimerTask::stop();
    log_.waitFor("TimerTask::run finished");
  }
  RunningWatchdog(const RunningWatchdog&) = delete;
  RunningWatchdog& operator=(const RunningWatchdog&) = delete;

 private:
  const WatchedLog& log_;
};

// The service's driver behind the device fakes; by default it answers that it
// has no disk.
struct ScopedDriver {
  FakeDevices devices;
  sys::ScopedFake<sys::DeviceInterfaces> interfaces{devices};
  sys::ScopedFake<sys::DeviceIo> io{devices};

  ScopedDriver() {
    devices.classes[records::VIRTUAL_DISK_INTERFACE_GUID] = {FakeDevices::interface(kDriverPath)};
    devices.drivers[kDriverPath] = {};
  }
  FakeDevices::Driver& driver() { return devices.drivers[kDriverPath]; }
  size_t queries() const {
    return static_cast<size_t>(
        std::count(devices.sentSubCommands.begin(), devices.sentSubCommands.end(), records::CMD_GET_ACTIVE_DEVICE));
  }
};

// An image open through a fake provider, closed at the guard's end.
struct ScopedOpenImage {
  FakeDiskImage image;
  ScopedFakeImageFactory factory{&image};

  ScopedOpenImage() {
    image.data.resize(65536);
    uint64_t size = 0;
    uint32_t block = 512;
    EXPECT_EQ(VirtualImageManager::openImage(u"vol.img", u"", size, block, nullptr), 0);
  }
};

// A read of the disk that stays inside the provider, holding the image lock,
// until released (or a generous bound passes).
class HeldImageLock {
 public:
  explicit HeldImageLock(FakeDiskImage& image) : image_(image) {
    image_.duringRead = [this] {
      inside_.set();
      leave_.wait(60s);
    };
    reader_ = std::thread([] {
      uint8_t sector[512];
      VirtualImageManager::read(sector, 34 * 512, sizeof(sector));
    });
  }
  ~HeldImageLock() { release(); }
  HeldImageLock(const HeldImageLock&) = delete;
  HeldImageLock& operator=(const HeldImageLock&) = delete;

  bool waitUntilInside() { return inside_.wait(60s); }
  void release() {
    if (!reader_.joinable()) return;
    leave_.set();
    reader_.join();
    image_.duringRead = nullptr;
  }

 private:
  FakeDiskImage& image_;
  Event inside_{Event::Reset::Manual};
  Event leave_{Event::Reset::Manual};
  std::thread reader_;
};

}  // namespace

TEST(TimerTaskThread, StartZeroesTheMarkersAndStopEndsTheWait) {
  WatchedLog log;
  ScopedClock clock(4242);
  TimerTask::setLpcConnectPending();
  TimerTask::addDevNotificatorTask();
  TimerTask::requestIsDevExistsCheck();
  TimerTask::start();
  EXPECT_EQ(TimerTask::lpcConnectPending(), 0u);
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);
  EXPECT_EQ(TimerTask::isDevExistsTasks(), 0u);
  ASSERT_TRUE(log.waitFor("TimerTask::run time=4242; started"));

  TimerTask::stop();
  ASSERT_TRUE(log.waitFor("TimerTask::run finished"));
  EXPECT_EQ(log.linesStartingWith("TimerTask::"),
            (std::vector<std::string>{"TimerTask::run time=4242; started", "TimerTask::run finished"}))
      << "the thread left its wait without a pass";

  const std::vector<std::string> before = log.lines();
  TimerTask::stop();
  EXPECT_EQ(log.lines(), before) << "a second stop does nothing";
}

// All three tasks due at one wake-up: they run in their fixed order, and
// without an image neither check asks the driver.
TEST(TimerTaskThread, WithoutAnImageEachDueTaskOnlySaysSoAndIsWorkedOff) {
  WatchedLog log;
  ScopedClock clock(4242);
  ScopedDriver driver;
  {
    RunningWatchdog watchdog(log);
    TimerTask::setLpcConnectPending();
    TimerTask::addDevNotificatorTask();
    TimerTask::requestIsDevExistsCheck();
    ASSERT_TRUE(eventually([] { return TimerTask::lpcConnectPending() == 0 && TimerTask::isDevExistsTasks() == 0; }));
  }
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 1u) << "only the probes lower their count";
  TimerTask::removeDevNotificatorTask();
  EXPECT_EQ(log.linesStartingWith("TimerTask::"), (std::vector<std::string>{
                                                      "TimerTask::run time=4242; started",
                                                      "TimerTask::run time=4242; interrupt",
                                                      "TimerTask::run time=4242; timeout",
                                                      "TimerTask::run time=4242; processDriverTask",
                                                      "TimerTask::processDriverTask image not present",
                                                      "TimerTask::run time=4242; CheckDevNotificator task",
                                                      "TimerTask::run time=4242; CheckIsDevExists task",
                                                      "TimerTask::processIsDevExistsTask image not present",
                                                      "TimerTask::run finished",
                                                  }));
  EXPECT_TRUE(driver.devices.sentSubCommands.empty());
}

// Both checks against each answer of the driver: only a driver that reports
// its disk keeps the image open; the driver task also restarts the port thread.
TEST(TimerTaskThread, ChecksCloseTheImageUnlessTheDriverHasItsDisk) {
  enum class Answer { HasDisk, NoDisk, QueryFails };
  struct Case {
    bool driverTask;
    Answer answer;
  };
  const Case cases[] = {{true, Answer::HasDisk},  {true, Answer::NoDisk},  {true, Answer::QueryFails},
                        {false, Answer::HasDisk}, {false, Answer::NoDisk}, {false, Answer::QueryFails}};
  for (const Case& c : cases) {
    const std::string task = c.driverTask ? "TimerTask::processDriverTask" : "TimerTask::processIsDevExistsTask";
    SCOPED_TRACE(task + " answer " + std::to_string(static_cast<int>(c.answer)));
    WatchedLog log;
    ScopedClock clock(4242);
    ScopedDriver driver;
    if (c.answer == Answer::HasDisk) FakeDevices::activate(driver.driver(), u"tag", u"vol.img", 1 << 20, 512);
    driver.driver().openFails = c.answer == Answer::QueryFails;
    ScopedOpenImage image;
    FakePorts ports;
    sys::ScopedFake<sys::Ports> portsFake(ports);
    LpcThread lpcThread;
    ASSERT_TRUE(lpcThread.start(nullptr));
    // The driver task is not woken by anything: it waits for a pass by time.
    ScopedPeriod period(c.driverTask ? kShortPeriod : 30000ms);
    {
      RunningWatchdog watchdog(log);
      if (c.driverTask) {
        TimerTask::setLpcConnectPending();
        ASSERT_TRUE(eventually([] { return TimerTask::lpcConnectPending() == 0; }));
      } else {
        TimerTask::requestIsDevExistsCheck();
        ASSERT_TRUE(eventually([] { return TimerTask::isDevExistsTasks() == 0; }));
      }
    }
    const bool notResponding = c.answer != Answer::HasDisk;
    EXPECT_EQ(VirtualImageManager::isImageOpen(), !notResponding);
    EXPECT_EQ(ports.createdNames.size(), c.driverTask && notResponding ? 2u : 1u) << "port threads started";
    EXPECT_EQ(driver.queries(), c.answer == Answer::QueryFails ? 0u : 1u);

    std::vector<std::string> taskLines{task + " send request to driver"};
    if (notResponding) taskLines.push_back(task + " driver is not responding");
    EXPECT_EQ(log.linesStartingWith(task), taskLines);
    const std::vector<std::string> all = log.lines();
    const auto sent = std::find(all.begin(), all.end(), task + " send request to driver");
    EXPECT_NE(std::find(sent, all.end(), "IoctlDevManager::requestDevInfo"), all.end()) << "the query follows";
    if (!c.driverTask) {
      // Woken by the removal at once, not by the end of the period.
      std::vector<std::string> expected{"TimerTask::run time=4242; started", "TimerTask::run time=4242; interrupt",
                                        "TimerTask::run time=4242; timeout",
                                        "TimerTask::run time=4242; CheckIsDevExists task"};
      expected.insert(expected.end(), taskLines.begin(), taskLines.end());
      expected.push_back("TimerTask::run finished");
      EXPECT_EQ(log.linesStartingWith("TimerTask::"), expected);
    }
  }
}

TEST(TimerTaskThread, PendingDeviceChecksRunOnePerWakeUp) {
  WatchedLog log;
  ScopedDriver driver;
  FakeDevices::activate(driver.driver(), u"tag", u"vol.img", 1 << 20, 512);
  ScopedOpenImage image;
  ScopedPeriod period(kShortPeriod);
  {
    RunningWatchdog watchdog(log);
    for (int i = 0; i < 3; ++i) TimerTask::requestIsDevExistsCheck();
    ASSERT_TRUE(eventually([] { return TimerTask::isDevExistsTasks() == 0; }));
  }
  EXPECT_EQ(driver.queries(), 3u);
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  // Each pass begins with its "timeout" line.
  int checksInPass = 0;
  int checks = 0;
  for (const std::string& line : log.linesStartingWith("TimerTask::run ")) {
    if (line.ends_with("; timeout")) checksInPass = 0;
    if (line.ends_with("; CheckIsDevExists task")) {
      ++checks;
      EXPECT_EQ(++checksInPass, 1) << "one check per wake-up";
    }
  }
  EXPECT_EQ(checks, 3);
}

// A closing that finds the image lock busy leaves the image open: the check
// stays due and runs again until the image is closed.
TEST(TimerTaskThread, ACheckThatCannotCloseTheImageRunsAgain) {
  for (const bool driverTask : {true, false}) {
    const std::string task = driverTask ? "TimerTask::processDriverTask" : "TimerTask::processIsDevExistsTask";
    SCOPED_TRACE(task);
    const auto marker = driverTask ? &TimerTask::lpcConnectPending : &TimerTask::isDevExistsTasks;
    WatchedLog log;
    ScopedDriver driver;
    ScopedOpenImage image;
    ScopedPeriod period(kShortPeriod);
    HeldImageLock held(image.image);
    ASSERT_TRUE(held.waitUntilInside());
    ScopedImageLockWait shortWait(20ms);
    {
      RunningWatchdog watchdog(log);
      if (driverTask) {
        TimerTask::setLpcConnectPending();
      } else {
        TimerTask::requestIsDevExistsCheck();
      }
      ASSERT_TRUE(log.waitFor(task + " image not closed"));
      EXPECT_EQ(marker(), 1u);
      EXPECT_TRUE(VirtualImageManager::isImageOpen());
      held.release();
      ASSERT_TRUE(eventually([&] { return marker() == 0; }));
    }
    EXPECT_FALSE(VirtualImageManager::isImageOpen());
    EXPECT_TRUE(image.image.released);
    EXPECT_GE(log.count(task + " driver is not responding"), 2u);
  }
}

// A stop while the driver does not answer: the query is cancelled, the
// thread ends by itself, and nothing acts on the failed query.
TEST(TimerTaskThread, StopCancelsAQueryThatDoesNotReturn) {
  WatchedLog log;
  ScopedDriver driver;
  driver.driver().neverCompletes = true;
  ScopedOpenImage image;
  TimerTask::start();
  TimerTask::requestIsDevExistsCheck();
  ASSERT_TRUE(log.waitForStart("IoctlDevManager::getDriverHandle dev_path="));
  TimerTask::stop();
  ASSERT_TRUE(log.waitFor("TimerTask::run finished"));
  log.close();
  EXPECT_TRUE(driver.devices.cancelled);
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(log.count("TimerTask::processIsDevExistsTask driver is not responding"), 0u);
}

// The probe checks that logged the given run time.
size_t checkedRunTimes(const WatchedLog& log, const std::string& runTime) {
  const std::vector<std::string> checks =
      log.linesStartingWith("VolumeDeviceNotificatorThread::checkForDeadThreads threadID=");
  return static_cast<size_t>(
      std::count_if(checks.begin(), checks.end(), [&](const std::string& line) { return line.ends_with(runTime); }));
}

// The probe check hands over the watchdog's time of day: a probe is ended
// once it has run more than 200 s by that time.
TEST(TimerTaskThread, ProbesAreEndedByTheWatchdogsTime) {
  const std::u16string volumeInterface = u"\\\\?\\storage#volume#1";
  const std::u16string volumeDevice = u"\\Device\\HarddiskVolume9";
  WatchedLog log;
  ScopedClock clock(1000);
  FakeDevices devices;
  sys::ScopedFake<sys::DeviceInterfaces> interfacesFake(devices);
  devices.classes[sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME] = {
      FakeDevices::interface(volumeInterface, volumeDevice)};
  FakeVolumes volumes;
  sys::ScopedFake<sys::Volumes> volumesFake(volumes);
  volumes.steps = {FakeVolumes::volume(u"\\\\?\\Volume{0001}\\")};
  volumes.dosDevices[u"Volume{0001}"] = volumeDevice;
  ScopedProbePause pause(60000ms);  // the probe waits before its inquiry
  ScopedPeriod period(kShortPeriod);
  {
    RunningWatchdog watchdog(log);
    ASSERT_TRUE(VolumeDeviceNotificatorThread::scheduleTask(volumeInterface));
    ASSERT_TRUE(log.waitForStart("VolumeDeviceNotificatorThread::taskRun volume_guid="));
    clock.set(1200);
    ASSERT_TRUE(eventually([&] { return log.count("TimerTask::run time=1200; CheckDevNotificator task") > 0; }));
    ASSERT_TRUE(eventually([&] { return checkedRunTimes(log, "; run_time=200") > 0; }));
    EXPECT_EQ(TimerTask::devNotificatorTasks(), 1u) << "200 s are not too long";
    clock.set(1201);
    ASSERT_TRUE(eventually([] { return TimerTask::devNotificatorTasks() == 0; }));
  }
  EXPECT_EQ(log.count("TimerTask::run time=1201; CheckDevNotificator task"), 1u);
  EXPECT_EQ(checkedRunTimes(log, "; run_time=201"), 1u);
  EXPECT_EQ(log.linesStartingWith("VolumeDeviceNotificatorThread::checkForDeadThreads terminated").size(), 1u);
}
