// How mounts, unmounts, the watchdog and the service's stop meet through the
// mount session, with the platform's fakes: none undoes another's work, a
// mount in progress can be cancelled, and each caller is told what happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "com/CVirtualDisk.h"
#include "com/MountSession.h"
#include "common/Event.h"
#include "common/Thread.h"
#include "device/DriverRecords.h"
#include "device/TimerTask.h"
#include "disk/VirtualImageManager.h"
#include "fakes/MountingFakes.h"
#include "lpc/LpcThread.h"
#include "support/CapturedLog.h"
#include "support/Eventually.h"
#include "volume/VolumeDeviceNotificator.h"

namespace records = driver_records;
using namespace std::chrono_literals;

namespace {

const std::u16string kDriverPath = u"\\\\?\\root#vkvd#0000#{aaa4747f-f023-430c-80c1-6dbda4ec699d}";
const char16_t* const kImagePath = u"C:\\images\\vol.vkb";
constexpr uint32_t kClientPid = 4242;
constexpr sys::DeviceNotifications::ServiceHandle kService = 0x5E;
constexpr std::chrono::seconds kBound{10};
using Outcome = CVirtualDisk::UmountOutcome;

// The watchdog running every few milliseconds while it lives.
class RunningWatchdog {
 public:
  RunningWatchdog() : period_(TimerTask::swapPeriod(5ms)) { TimerTask::start(); }
  ~RunningWatchdog() {
    TimerTask::stop();
    TimerTask::swapPeriod(period_);
  }
  RunningWatchdog(const RunningWatchdog&) = delete;
  RunningWatchdog& operator=(const RunningWatchdog&) = delete;

 private:
  const std::chrono::milliseconds period_;
};

// A driver without a disk, a client whose user may read the image, a port
// thread, and a mount that can run on a thread of its own.
class MountLifecycleTest : public ::testing::Test {
 protected:
  MountLifecycleTest() {
    fakes_.tokens.currentThreadId();  // the test's own thread is thread 1
    VolumeDeviceNotificator::setServiceHandle(kService);
  }
  ~MountLifecycleTest() override {
    mounting_.waitFor(kBound);  // at once when no mount was started
    VolumeDeviceNotificator::drop();
    VolumeDeviceNotificator::setServiceHandle(0);
  }

  int32_t mount() { return disk_.mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr); }
  // Starts a mount on a thread of its own and waits until its image is opening.
  void startMount() {
    ASSERT_TRUE(mounting_.start([this] {
      CVirtualDisk own;
      mountResult_ = own.mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    }));
    ASSERT_TRUE(fakes_.image.entered.wait(kBound));
  }
  int32_t mountResult() {
    EXPECT_TRUE(mounting_.waitFor(kBound * 3));
    return mountResult_;
  }
  Outcome umount() {
    Outcome outcome = Outcome::NotUnmounted;
    EXPECT_EQ(disk_.umount(u"first_tag", &outcome), 0);
    return outcome;
  }

  size_t sent(uint32_t subCommand) {
    const auto& sent = fakes_.devices.sentSubCommands;
    return static_cast<size_t>(std::count(sent.begin(), sent.end(), subCommand));
  }
  bool diskHeld() { return fakes_.driver().activeCount == 1; }
  size_t logged(const std::string& line) {
    const std::string text = log_.sofar();
    size_t count = 0;
    for (size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) ++count;
    return count;
  }
  size_t impersonationsAs(const std::string& token) {
    const std::vector<std::string> calls = fakes_.tokens.calls();
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
      return call.starts_with("impersonate " + token + " ");
    }));
  }

  CapturedLog log_;
  MountingPlatform fakes_{kDriverPath, kClientPid};
  LpcThread port_;
  CVirtualDisk disk_;
  Thread mounting_;
  std::atomic<int32_t> mountResult_{99};
};

// A port connection refused while no image was open leaves its marker
// raised. The watchdog passes that come while the mount opens its image
// leave it alone; once the mount is done, the check finds the disk.
TEST_F(MountLifecycleTest, TheWatchdogLeavesAMountThatIsOpeningItsImageAlone) {
  fakes_.image.proceed = std::make_shared<Event>(Event::Reset::Manual);
  startMount();
  {
    const RunningWatchdog watchdog;
    TimerTask::setLpcConnectPending();
    ASSERT_TRUE(eventually(
        [&] { return logged("TimerTask::processDriverTask a mount or unmount is in progress") >= 2; }, kBound));
    fakes_.image.proceed->set();
    EXPECT_EQ(mountResult(), 0);
    EXPECT_TRUE(eventually([] { return TimerTask::lpcConnectPending() == 0; }, kBound))
        << "checked once the mount was done";
  }
  EXPECT_TRUE(VirtualImageManager::isImageOpen());
  EXPECT_TRUE(diskHeld());
  EXPECT_EQ(fakes_.ports.createdNames.size(), 1u) << "only the mount restarted the port thread";
  EXPECT_EQ(logged("TimerTask::processDriverTask driver is not responding"), 0u);
  EXPECT_EQ(MountSession::instance().phase(), MountSession::Phase::Mounted);
}

// The driver lost the mounted disk: the watchdog closes the image and
// restarts the port thread as the user the mount acts as (the client's
// token, 2), never as the service in its place.
TEST_F(MountLifecycleTest, TheWatchdogRestartsThePortAsTheMountsUser) {
  ASSERT_EQ(mount(), 0);
  const size_t asClient = impersonationsAs("2");
  fakes_.driver().activeCount = 0;
  {
    const RunningWatchdog watchdog;
    TimerTask::setLpcConnectPending();
    ASSERT_TRUE(eventually([] { return TimerTask::lpcConnectPending() == 0; }, kBound));
  }
  EXPECT_EQ(logged("TimerTask::processDriverTask driver is not responding"), 1u);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(fakes_.ports.createdNames.size(), 2u);
  EXPECT_EQ(impersonationsAs("2"), asClient + 1) << "the new port thread acts as the client";
  EXPECT_EQ(MountSession::instance().phase(), MountSession::Phase::Idle);
}

// An unmount during a long index pass cancels the mount: the mount's client
// is told it was cancelled, the unmount's that it cancelled a mount, and
// nothing of the mount is left.
TEST_F(MountLifecycleTest, AnUnmountDuringAMountCancelsItAndBothAreToldSo) {
  fakes_.image.indexing = true;
  startMount();
  EXPECT_EQ(umount(), Outcome::CancelledMount);
  EXPECT_EQ(mountResult(), CVirtualDisk::kCancelled);
  EXPECT_EQ(sent(records::CMD_CONNECT_DEVICE), 0u) << "no disk was asked for";
  EXPECT_FALSE(diskHeld());
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(logged("CVirtualDisk::umount cancels the mount in progress"), 1u);
  EXPECT_EQ(logged("CVirtualDisk::mount cancelled"), 1u);
  EXPECT_EQ(MountSession::instance().phase(), MountSession::Phase::Idle);
  fakes_.image.indexing = false;
  EXPECT_EQ(mount(), 0) << "the next mount proceeds";
}

// Another user can neither cancel nor unmount a mount in progress: it goes on
// and ends mounted.
TEST_F(MountLifecycleTest, AnotherUserCannotCancelAMountInProgress) {
  fakes_.image.proceed = std::make_shared<Event>(Event::Reset::Manual);
  startMount();
  fakes_.tokens.clientPid = kClientPid + 1000;  // a process of another user
  EXPECT_FALSE(CVirtualDisk::cancelMount());
  Outcome outcome = Outcome::Unmounted;
  EXPECT_EQ(disk_.umount(u"first_tag", &outcome), CVirtualDisk::kAnotherUsersMount);
  EXPECT_EQ(outcome, Outcome::Refused);
  fakes_.image.proceed->set();
  EXPECT_EQ(mountResult(), 0);
  EXPECT_TRUE(diskHeld());
  EXPECT_EQ(logged("CVirtualDisk::cancelMount refused: the mount is another user's"), 1u);
}

// An object whose client has gone cancels its own mount, and no other.
TEST_F(MountLifecycleTest, AnObjectWhoseClientIsGoneCancelsItsOwnMountOnly) {
  fakes_.image.indexing = true;
  CVirtualDisk mounter;
  ASSERT_TRUE(mounting_.start(
      [&] { mountResult_ = mounter.mount(kImagePath, nullptr, 0, nullptr, nullptr, nullptr, nullptr); }));
  ASSERT_TRUE(fakes_.image.entered.wait(kBound));
  disk_.cancelOwnMount();
  EXPECT_FALSE(MountSession::instance().cancelRequested()) << "another object's mount was cancelled";
  mounter.cancelOwnMount();
  EXPECT_EQ(mountResult(), CVirtualDisk::kCancelled);
  EXPECT_EQ(logged("CVirtualDisk::cancelOwnMount the object's client is gone: its mount is cancelled"), 1u);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  mounter.cancelOwnMount();  // nothing runs: nothing to cancel, and the next mount proceeds
  fakes_.image.indexing = false;
  EXPECT_EQ(mount(), 0);
}

// A cancel that comes while the driver makes the disk takes the disk away again.
TEST_F(MountLifecycleTest, ACancelWhileTheDiskIsMadeTakesItAwayAgain) {
  fakes_.devices.onConnect = [] { CVirtualDisk::cancelMount(); };
  EXPECT_EQ(mount(), CVirtualDisk::kCancelled);
  EXPECT_EQ(sent(records::CMD_CONNECT_DEVICE), 1u);
  EXPECT_EQ(sent(records::CMD_DISCONNECT_DEVICE), 1u);
  EXPECT_FALSE(diskHeld());
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(MountSession::instance().phase(), MountSession::Phase::Idle);
}

// The service's stop cancels the mount in progress and waits for it: no disk
// is asked for after it, and no mount begins.
TEST_F(MountLifecycleTest, TheStopCancelsAMountInProgressAndLetsNoneBegin) {
  fakes_.image.indexing = true;
  startMount();
  EXPECT_TRUE(MountSession::instance().stop(MountSession::kStopWait));
  EXPECT_EQ(mountResult(), CVirtualDisk::kCancelled);
  fakes_.image.indexing = false;
  EXPECT_EQ(mount(), CVirtualDisk::kDeviceFailure);
  EXPECT_EQ(logged("CVirtualDisk::mount refused: the service is stopping"), 1u);
  EXPECT_EQ(sent(records::CMD_CONNECT_DEVICE), 0u);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
}

// What an unmount says it did, as it finds the service.
class UmountOutcomeTest;
struct UmountCase {
  const char* name;
  std::function<void(UmountOutcomeTest&)> before;
  Outcome outcome;
};

class UmountOutcomeTest : public MountLifecycleTest, public ::testing::WithParamInterface<UmountCase> {
 public:
  using MountLifecycleTest::fakes_;
  using MountLifecycleTest::mount;
};

const UmountCase kUmountCases[] = {
    {"NothingMounted", [](UmountOutcomeTest&) {}, Outcome::NothingMounted},
    {"Mounted", [](UmountOutcomeTest& test) { ASSERT_EQ(test.mount(), 0); }, Outcome::Unmounted},
    {"DriverGoneAway",
     [](UmountOutcomeTest& test) {
       ASSERT_EQ(test.mount(), 0);
       test.fakes_.driver().openFails = true;
     },
     Outcome::NotUnmounted},
};

TEST_P(UmountOutcomeTest, TheOutcomeIsWhatHappened) {
  GetParam().before(*this);
  EXPECT_EQ(umount(), GetParam().outcome);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
  EXPECT_EQ(MountSession::instance().phase(), MountSession::Phase::Idle);
}

INSTANTIATE_TEST_SUITE_P(Cases, UmountOutcomeTest, ::testing::ValuesIn(kUmountCases),
                         [](const ::testing::TestParamInfo<UmountCase>& each) { return each.param.name; });

// A mount that does not reach its next step within the unmount's wait: the
// unmount says it did not unmount, and the mount still ends cancelled.
TEST_F(MountLifecycleTest, AMountThatHoldsOnPastTheWaitEndsCancelledAnyway) {
  fakes_.image.proceed = std::make_shared<Event>(Event::Reset::Manual);
  startMount();
  const auto previousWait = CVirtualDisk::swapUmountWait(50ms);
  EXPECT_EQ(umount(), Outcome::NotUnmounted);
  CVirtualDisk::swapUmountWait(previousWait);
  EXPECT_EQ(logged("CVirtualDisk::umount another mount or unmount is in progress"), 1u);
  fakes_.image.proceed->set();
  EXPECT_EQ(mountResult(), CVirtualDisk::kCancelled);
  EXPECT_EQ(sent(records::CMD_CONNECT_DEVICE), 0u);
  EXPECT_FALSE(VirtualImageManager::isImageOpen());
}

// A probe that recognises the volume of a disk being unmounted writes no record.
TEST_F(MountLifecycleTest, NoRecordIsWrittenForADiskThatIsGone) {
  bool wrote = false;
  EXPECT_FALSE(MountSession::instance().writeWhileMounted([&] { wrote = true; }));
  ASSERT_EQ(mount(), 0);
  EXPECT_TRUE(MountSession::instance().writeWhileMounted([&] { wrote = true; }));
  EXPECT_TRUE(wrote);
  EXPECT_EQ(umount(), Outcome::Unmounted);
  wrote = false;
  EXPECT_FALSE(MountSession::instance().writeWhileMounted([&] { wrote = true; }));
  EXPECT_FALSE(wrote);
}

}  // namespace
