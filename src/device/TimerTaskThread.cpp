#include "device/TimerTask.h"

#include <optional>
#include <thread>

#include "com/MountSession.h"
#include "common/Event.h"
#include "common/Thread.h"
#include "common/UtcDayClock.h"
#include "device/DevInfo.h"
#include "device/IoctlDevManager.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcThread.h"
#include "service/DebugLog.h"
#include "volume/VolumeDeviceNotificatorThread.h"

using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds kDefaultPeriod = 30000ms;
constexpr std::chrono::milliseconds kStopWait = 1000ms;
// Between the device-exists check's first line and its query.
constexpr std::chrono::milliseconds kQueryPause = 1000ms;

std::atomic<std::chrono::milliseconds> period{kDefaultPeriod};

// Never freed: a thread left running past stop may still wait on it, and
// requestIsDevExistsCheck may set it while stop unpublishes it.
Event& wakeUpEvent() {
  static auto* event = new Event(Event::Reset::Manual);
  return *event;
}

// One step down, never below 0.
void lower(std::atomic<uint32_t>& count) {
  uint32_t value = count.load();
  while (value != 0 && !count.compare_exchange_weak(value, value - 1)) {
  }
}

}  // namespace

struct TimerTask::Session {
  std::atomic<bool> running{true};
  // Set when stop stopped waiting: the query under way is cancelled and no
  // further request is sent.
  std::atomic<bool> abandoned{false};
  // Set by stop; cuts the pause before a device-exists query short.
  Event stopRequested{Event::Reset::Manual};
  std::atomic<std::thread::id> threadId;

  // Whether the driver reports an active disk (false also when the query
  // fails); nothing once the watchdog is stopping, whose answer no one acts on.
  std::optional<bool> driverHasDisk() {
    if (!running) return std::nullopt;
    DevInfo scratch;
    uint32_t count = 0;
    const bool answered = IoctlDevManager::requestDevInfo(&scratch, &count, &abandoned);
    if (!running) return std::nullopt;
    return answered && count != 0;
  }
};

std::unique_ptr<Thread> TimerTask::thread_;
std::shared_ptr<TimerTask::Session> TimerTask::session_;

void TimerTask::start() {
  stop();  // a second start replaces the thread instead of leaving one behind
  lpcConnectPending_ = 0;
  devNotificatorTasks_ = 0;
  isDevExistsTasks_ = 0;
  wakeUpEvent().reset();
  setWakeUpEvent(&wakeUpEvent());
  auto session = std::make_shared<Session>();
  auto thread = std::make_unique<Thread>();
  if (!thread->start([session] { run(*session); })) return;
  session_ = std::move(session);
  thread_ = std::move(thread);
}

void TimerTask::stop() {
  if (!thread_) return;
  session_->running = false;
  session_->stopRequested.set();
  wakeUpEvent().set();
  if (!thread_->waitFor(kStopWait)) {
    // Still inside a task: set before the cancel, so that a request about to
    // start either sees it or is cancelled.
    session_->abandoned = true;
    IoctlDevManager::cancelRequestOf(session_->threadId.load());
  }
  thread_.reset();
  session_.reset();
  setWakeUpEvent(nullptr);
}

std::chrono::milliseconds TimerTask::swapPeriod(std::chrono::milliseconds newPeriod) {
  return period.exchange(newPeriod);
}

void TimerTask::run(Session& session) {
  session.threadId = std::this_thread::get_id();
  debugLog(u"TimerTask::run time=%u; started\n", UtcDayClock::now());
  Event& wakeUp = wakeUpEvent();
  // Start made the event afresh, so a signal that comes before the first
  // wait is kept.
  while (session.running) {
    const bool woken = wakeUp.wait(period.load());
    if (!session.running) break;
    runPass(session, woken);
    // A signal that came during the tasks is cleared; its marker stays raised
    // and is worked off at the next wake-up.
    wakeUp.reset();
  }
  debugLog(u"TimerTask::run finished\n");
}

void TimerTask::runPass(Session& session, bool woken) {
  const uint32_t now = UtcDayClock::now();
  if (woken) debugLog(u"TimerTask::run time=%u; interrupt\n", now);
  debugLog(u"TimerTask::run time=%u; timeout\n", now);
  if (lpcConnectPending_ != 0) {
    debugLog(u"TimerTask::run time=%u; processDriverTask\n", now);
    if (processDriverTask(session)) lpcConnectPending_ = 0;
  }
  if (devNotificatorTasks_ != 0) {
    debugLog(u"TimerTask::run time=%u; CheckDevNotificator task\n", now);
    VolumeDeviceNotificatorThread::checkForDeadThreads(now);
  }
  if (isDevExistsTasks_ != 0) {
    debugLog(u"TimerTask::run time=%u; CheckIsDevExists task\n", now);
    if (processIsDevExistsTask(session)) lower(isDevExistsTasks_);
  }
}

bool TimerTask::processDriverTask(Session& session) {
  MountSession& mount = MountSession::instance();
  const std::optional<uint64_t> state = mount.settledState();
  if (!state) {
    debugLog(u"TimerTask::processDriverTask a mount or unmount is in progress\n");
    return false;
  }
  if (!VirtualImageManager::isImageOpen()) {
    debugLog(u"TimerTask::processDriverTask image not present\n");
    return true;
  }
  debugLog(u"TimerTask::processDriverTask send request to driver\n");
  const std::optional<bool> hasDisk = session.driverHasDisk();
  if (!hasDisk) return false;
  if (*hasDisk) return true;
  debugLog(u"TimerTask::processDriverTask driver is not responding\n");
  return mount.actIfUnchanged(*state, [&mount] {
    // The port thread goes on as the user the mount acts as; only a port
    // thread that serves no mount's user goes on as the service.
    if (LpcThread* lpcThread = LpcThread::instance()) lpcThread->restart(mount.actor());
    if (VirtualImageManager::closeImage()) return true;
    debugLog(u"TimerTask::processDriverTask image not closed\n");
    return false;
  });
}

bool TimerTask::processIsDevExistsTask(Session& session) {
  MountSession& mount = MountSession::instance();
  const std::optional<uint64_t> state = mount.settledState();
  if (!state) {
    debugLog(u"TimerTask::processIsDevExistsTask a mount or unmount is in progress\n");
    return false;
  }
  if (!VirtualImageManager::isImageOpen()) {
    debugLog(u"TimerTask::processIsDevExistsTask image not present\n");
    return true;
  }
  debugLog(u"TimerTask::processIsDevExistsTask send request to driver\n");
  session.stopRequested.wait(kQueryPause);  // after a stop, driverHasDisk sends nothing
  const std::optional<bool> hasDisk = session.driverHasDisk();
  if (!hasDisk) return false;
  if (*hasDisk) return true;
  debugLog(u"TimerTask::processIsDevExistsTask driver is not responding\n");
  return mount.actIfUnchanged(*state, [] {
    if (VirtualImageManager::closeImage()) return true;
    debugLog(u"TimerTask::processIsDevExistsTask image not closed\n");
    return false;
  });
}
