#include "volume/VolumeDeviceNotificatorThread.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

#include "common/Event.h"
#include "common/Thread.h"
#include "common/UtcDayClock.h"
#include "device/SetupDevApi.h"
#include "device/TimerTask.h"
#include "service/DebugLog.h"
#include "volume/RegTool.h"
#include "volume/VolumeDeviceNotificator.h"
#include "volume/VolumeUtils.h"

using namespace std::chrono_literals;

namespace {

// The identity that the virtual-disk driver gives its disks, compared whole.
constexpr char16_t kVendor[] = u"VELKAR/A";
constexpr char16_t kProduct[] = u"VKB_V_DISK";
constexpr char16_t kSerial[] = u"320A050564E94590AE3C6F348B43C4FE";

constexpr int kInquiryAttempts = 5;
// A probe older than this is ended by the watchdog.
constexpr uint32_t kOverdueSeconds = 200;
// Waits of a probe are cut into slices of this length, each a bounded wait.
constexpr std::chrono::seconds kWaitSlice{1};

}  // namespace

struct VolumeDeviceNotificatorThread::Probe {
  uint32_t id = 0;
  uint32_t startTime = 0;  // seconds of the UTC day at creation
  std::unique_ptr<std::u16string> parameter;
  Event resumed{Event::Reset::Manual};
  Event woken{Event::Reset::Manual};  // set when the probe is ended: its pauses return
  std::mutex writeMutex;              // an ending waits for a write in progress
  std::atomic<bool> ended{false};     // set under writeMutex

  // Runs `write` unless the probe was ended; false when it was.
  template <class Write>
  bool writeUnlessEnded(Write write) {
    std::lock_guard<std::mutex> guard(writeMutex);
    if (ended.load()) return false;
    write();
    return true;
  }
  template <class... Args>
  void log(const char16_t* format, const Args&... args) {
    if (!ended.load()) debugLog(format, args...);
  }
};

namespace {

using Probe = VolumeDeviceNotificatorThread::Probe;

// The probe lock: one probe works at a time. It belongs to a probe by its
// identifier, so that whoever ends a probe can pass its hold on at once; a
// probe that runs on after being ended finds the lock no longer its own.
class ProbeLock {
 public:
  // False when the probe was ended before it got the lock.
  bool acquire(const Probe& probe) {
    std::unique_lock<std::mutex> guard(mutex_);
    while (owner_ != 0 && !probe.ended.load()) released_.wait_for(guard, kWaitSlice);
    if (probe.ended.load()) return false;
    owner_ = probe.id;
    return true;
  }
  // Frees the lock if `id` holds it; wakes the waiters either way, so an
  // ended probe that waits sees that it was ended.
  void release(uint32_t id) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (owner_ == id) owner_ = 0;
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  uint32_t owner_ = 0;
};

struct Entry {
  std::shared_ptr<Probe> probe;
  std::unique_ptr<Thread> thread;
};

struct State {
  ProbeLock probeLock;
  std::mutex gateLock;
  VolumeDeviceNotificatorThread::RecordGate recordGate;  // guarded by gateLock
  std::mutex tableLock;
  std::map<uint32_t, Entry> table;  // guarded by tableLock
  std::atomic<uint32_t> lastId{0};
  std::atomic<int64_t> pauseMilliseconds{1000};
};

// Never freed: a probe left running at process exit still uses it.
State& state() {
  static auto* instance = new State;
  return *instance;
}

uint32_t nextId() {
  uint32_t id = ++state().lastId;
  while (id == 0) id = ++state().lastId;
  return id;
}

// Tells a probe that it is over. The caller holds the table lock and passes
// the probe's hold on the probe lock on once its whole walk is done: a probe
// waiting for the lock must not start on it when the same walk ends that
// probe too.
void endProbe(Probe& probe) {
  {
    std::lock_guard<std::mutex> guard(probe.writeMutex);
    probe.ended.store(true);
  }
  probe.resumed.set();
  probe.woken.set();
}

// Passes on the holds on the probe lock of the ended probes `ids`.
void passHoldsOn(const std::vector<uint32_t>& ids) {
  for (uint32_t id : ids) state().probeLock.release(id);
}

// Ends the probes at process exit, if any still run.
struct ShutdownAtExit {
  ~ShutdownAtExit() {
    bool empty = true;
    {
      std::lock_guard<std::mutex> guard(state().tableLock);
      empty = state().table.empty();
    }
    if (!empty) VolumeDeviceNotificatorThread::shutdown();
  }
} shutdownAtExit;

}  // namespace

bool VolumeDeviceNotificatorThread::scheduleTask(const std::u16string& interfacePath) {
  auto probe = std::make_shared<Probe>();
  probe->id = nextId();
  probe->startTime = UtcDayClock::now();
  probe->parameter = std::make_unique<std::u16string>(interfacePath);
  auto thread = std::make_unique<Thread>();
  const bool started = thread->start([probe] {
    // Runs only once its entry is in the table, as a thread created suspended.
    while (!probe->resumed.wait(kWaitSlice)) {
    }
    taskRun(probe);
  });
  if (!started) {
    debugLog(u"VolumeDeviceNotificatorThread::scheduleTask CreateThread err=0x%X\n",
             static_cast<uint32_t>(thread->startError()));
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(state().tableLock);
    state().table[probe->id] = Entry{probe, std::move(thread)};
  }
  TimerTask::addDevNotificatorTask();
  probe->resumed.set();
  return true;
}

uint32_t VolumeDeviceNotificatorThread::taskRun(const std::shared_ptr<Probe>& probe) {
  if (!state().probeLock.acquire(*probe)) return 0;
  const std::unique_ptr<std::u16string> parameter = std::move(probe->parameter);
  const auto pause = std::chrono::milliseconds(state().pauseMilliseconds.load());
  [&] {
    if (!parameter) return;
    const std::u16string path = *parameter;
    if (VolumeDeviceNotificator::isDeviceDetected()) {
      probe->log(u"VolumeDeviceNotificatorThread::taskRun device already detected\n");
      return;
    }
    probe->log(u"VolumeDeviceNotificatorThread::taskRun volume_dev_interface_path=%s\n", path);
    std::u16string device;
    if (!SetupDevApi::getDevInfoByInterface(path, device)) {
      probe->log(u"VolumeDeviceNotificatorThread::taskRun getVolumeDeviceByInterface fail\n");
      return;
    }
    probe->log(u"VolumeDeviceNotificatorThread::taskRun volume_device=%s\n", device);
    std::u16string volumeGuid;
    if (!VolumeUtils::getVolumeGuidForDevice(device, volumeGuid)) {
      probe->log(u"VolumeDeviceNotificatorThread::taskRun getVolumeGuidForDevice fail\n");
      return;
    }
    probe->log(u"VolumeDeviceNotificatorThread::taskRun volume_guid=%s\n", volumeGuid);
    std::u16string vendor, product, revision, serial;
    for (uint32_t attempt = 0; attempt < kInquiryAttempts; ++attempt) {
      probe->woken.wait(pause);
      if (probe->ended.load()) return;
      if (VolumeUtils::getVolumeDeviceInquiryInfo(volumeGuid, vendor, product, revision, serial)) break;
      vendor.clear(), product.clear(), revision.clear(), serial.clear();
      probe->log(u"VolumeDeviceNotificatorThread::taskRun getVolumeDeviceInquiryInfo try=%u fail\n", attempt);
    }
    probe->log(
        u"VolumeDeviceNotificatorThread::taskRun vendor_id=%s; product_id=%s; product_revision=%s; "
        u"serial_number=%s\n",
        vendor, product, revision, serial);
    if (vendor != kVendor || product != kProduct || serial != kSerial) return;
    recordOurVolume(*probe, path, device, volumeGuid);
  }();
  rmTask(probe->id);
  probe->log(u"VolumeDeviceNotificatorThread::taskRun finished\n");
  state().probeLock.release(probe->id);
  return 0;
}

void VolumeDeviceNotificatorThread::recordOurVolume(Probe& probe, const std::u16string& path,
                                                    const std::u16string& device, const std::u16string& volumeGuid) {
  if (!probe.writeUnlessEnded([&] { VolumeDeviceNotificator::setDetectedDevice(path); })) return;
  std::vector<std::u16string> drives;
  if (!VolumeUtils::getVolumeDrives(volumeGuid.c_str(), drives)) drives.clear();
  for (const std::u16string& drive : drives) probe.log(u"VolumeDeviceNotificatorThread::taskRun drive=%s\n", drive);
  const RecordGate gate = recordGate();
  probe.writeUnlessEnded([&] {
    const std::function<void()> write = [&] { RegTool::setMountedParams(volumeGuid, device, drives); };
    if (!gate) {
      write();
    } else if (!gate(write)) {
      debugLog(u"VolumeDeviceNotificatorThread::taskRun the disk is going, the record is not written\n");
    }
  });
}

void VolumeDeviceNotificatorThread::setRecordGate(RecordGate gate) {
  const std::lock_guard<std::mutex> guard(state().gateLock);
  state().recordGate = std::move(gate);
}

VolumeDeviceNotificatorThread::RecordGate VolumeDeviceNotificatorThread::recordGate() {
  const std::lock_guard<std::mutex> guard(state().gateLock);
  return state().recordGate;
}

void VolumeDeviceNotificatorThread::rmTask(uint32_t threadId) {
  std::unique_ptr<Thread> finished;  // destroyed after the lock: it may be the caller's own thread
  std::lock_guard<std::mutex> guard(state().tableLock);
  const auto entry = state().table.find(threadId);
  if (entry == state().table.end()) return;
  TimerTask::removeDevNotificatorTask();
  debugLog(u"VolumeDeviceNotificatorThread::rmTask threadID=%u start_time=%u\n", threadId,
           getThreadStartTime(*entry->second.probe));
  finished = std::move(entry->second.thread);
  state().table.erase(entry);
}

void VolumeDeviceNotificatorThread::checkForDeadThreads(uint32_t now) {
  std::lock_guard<std::mutex> guard(state().tableLock);
  auto& table = state().table;
  std::vector<uint32_t> ended;
  for (auto entry = table.begin(); entry != table.end();) {
    const uint32_t runTime = UtcDayClock::distance(getThreadStartTime(*entry->second.probe), now);
    debugLog(u"VolumeDeviceNotificatorThread::checkForDeadThreads threadID=%u; run_time=%u\n", entry->first, runTime);
    if (runTime <= kOverdueSeconds) {
      ++entry;
      continue;
    }
    TimerTask::removeDevNotificatorTask();
    endProbe(*entry->second.probe);
    ended.push_back(entry->first);
    debugLog(u"VolumeDeviceNotificatorThread::checkForDeadThreads terminated threadID=%u\n", entry->first);
    table.erase(entry);
    entry = table.begin();
  }
  passHoldsOn(ended);
}

uint32_t VolumeDeviceNotificatorThread::getThreadStartTime(const Probe& probe) { return probe.startTime; }

void VolumeDeviceNotificatorThread::shutdown() {
  std::lock_guard<std::mutex> guard(state().tableLock);
  std::vector<uint32_t> ended;
  for (auto& [id, entry] : state().table) {
    TimerTask::removeDevNotificatorTask();
    endProbe(*entry.probe);
    ended.push_back(id);
    debugLog(u"VolumeDeviceNotificatorThread::shutdown terminated threadID=%u\n", id);
  }
  state().table.clear();
  passHoldsOn(ended);
  debugLog(u"VolumeDeviceNotificatorThread::shutdown OK\n");
}

std::chrono::milliseconds VolumeDeviceNotificatorThread::swapPause(std::chrono::milliseconds pause) {
  return std::chrono::milliseconds(state().pauseMilliseconds.exchange(pause.count()));
}
