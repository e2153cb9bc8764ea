#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Event.h"
#include "common/UtcDayClock.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "device/TimerTask.h"
#include "fakes/FakeDeviceNotifications.h"
#include "fakes/FakeDevices.h"
#include "fakes/FakeRegistry.h"
#include "fakes/FakeVolumes.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"
#include "volume/VolumeDeviceNotificator.h"
#include "volume/VolumeDeviceNotificatorThread.h"

namespace volume_detection {

using namespace std::chrono_literals;

// A volume as the platform shows it.
struct TestVolume {
  std::u16string interfacePath;  // what arrival and removal events carry
  std::u16string device;         // its device object name
  std::u16string guidPath;       // "\\?\Volume{GUID}\"
};

inline const TestVolume kOurVolume{
    u"\\\\?\\STORAGE#Volume#{a3d1c2b4-5e6f-11ee-8c99-0242ac120002}#0000000000100000#"
    u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
    u"\\Device\\HarddiskVolume7", u"\\\\?\\Volume{6a1f0c3e-1b2d-4c5e-9f80-1234567890ab}\\"};
inline const TestVolume kOtherVolume{
    u"\\\\?\\STORAGE#Volume#{0b9e7d6c-1a2b-11ee-8c99-0242ac120002}#0000000000100000#"
    u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}",
    u"\\Device\\HarddiskVolume3", u"\\\\?\\Volume{c0ffee00-aaaa-4bbb-8ccc-0123456789ab}\\"};

// The identity the virtual-disk driver gives its disks.
inline const std::string kVendor = "VELKAR/A";
inline const std::string kProduct = "VKB_V_DISK";
inline const std::string kSerial = "320A050564E94590AE3C6F348B43C4FE";

inline const std::u16string kRecordKey = u"Software\\Velkara Software\\Velkara Backup";
inline const std::string kFinished = "VolumeDeviceNotificatorThread::taskRun finished";
constexpr sys::DeviceNotifications::ServiceHandle kService = 0x2A;
// Long enough that a probe in its pause stays there until it is ended.
constexpr std::chrono::milliseconds kLongPause = 60s;

// The bytes of a REG_SZ: the characters and a zero, as UTF-16LE.
inline std::vector<uint8_t> regSz(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text + u'\0') {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

inline std::string utf8(const std::u16string& text) { return wide::toUtf8(text); }

// Device notifications that several threads may use at once, with a journal
// of registrations and cancellations in the order they happened, and hooks
// that run before each call, outside the fake's lock.
class RecordingNotifications : public FakeDeviceNotifications {
 public:
  std::function<void()> beforeRegister;
  std::function<void()> beforeUnregister;

  std::vector<std::string> journal() {
    std::lock_guard<std::mutex> guard(mutex_);
    return journal_;
  }

  Handle registerDeviceNotification(ServiceHandle service, const std::vector<uint8_t>& filter, uint32_t flags,
                                    uint32_t& error) override {
    if (beforeRegister) beforeRegister();
    std::lock_guard<std::mutex> guard(mutex_);
    const Handle handle = FakeDeviceNotifications::registerDeviceNotification(service, filter, flags, error);
    journal_.push_back(handle == 0 ? "register failed" : "register " + hex(handle));
    return handle;
  }
  bool unregisterDeviceNotification(Handle notification, uint32_t& error) override {
    if (beforeUnregister) beforeUnregister();
    std::lock_guard<std::mutex> guard(mutex_);
    journal_.push_back("unregister " + hex(notification));
    return FakeDeviceNotifications::unregisterDeviceNotification(notification, error);
  }

 private:
  static std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
  }

  std::mutex mutex_;
  std::vector<std::string> journal_;
};

// The volume manager, where the first few storage queries can be made to
// fail, and the storage query of one volume can be made to stall until the
// test releases it. Set up before any probe starts.
class ProbeVolumes : public FakeVolumes {
 public:
  static constexpr Handle kStalledHandle = 9;

  int failingQueries = 0;             // this many storage queries fail first
  std::u16string stalledPath;         // the opened path whose query stalls
  std::vector<uint8_t> stalledReply;  // what the stalled query answers once released
  Event stalled{Event::Reset::Manual};   // the stalled query has begun
  Event released{Event::Reset::Manual};  // set by the test
  // The stalled volume was closed: its caller's last call here. Not an
  // Event: the test may destroy the fake as soon as it sees this set.
  std::atomic<bool> closed{false};

  Handle open(const std::u16string& path, uint32_t& error) override {
    if (!stalledPath.empty() && path == stalledPath) return kStalledHandle;
    return FakeVolumes::open(path, error);
  }
  bool control(Handle volume, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
               uint32_t& bytesReturned, uint32_t& error) override {
    if (volume == kStalledHandle) {
      stalled.set();
      released.wait(120s);
      bytesReturned = std::min(outputSize, static_cast<uint32_t>(stalledReply.size()));
      std::memcpy(output, stalledReply.data(), bytesReturned);
      return true;
    }
    if (failingQueries > 0) {
      --failingQueries;
      bytesReturned = 0;
      error = WinError::GenFailure;
      return false;
    }
    return FakeVolumes::control(volume, code, input, inputSize, output, outputSize, bytesReturned, error);
  }
  void close(Handle volume) override {
    if (volume == kStalledHandle) {
      closed = true;
      return;
    }
    FakeVolumes::close(volume);
  }
};

// The volume detection with every platform facility it uses faked, a debug
// log of its own, a clock the test sets, no pause before inquiries, and the
// watchdog's probe count at 0. Every test leaves no probe that could still
// touch the fakes, no registration and no detected volume.
class VolumeDetectionTest : public ::testing::Test {
 protected:
  VolumeDetectionTest()
      : notificationsFake_(notifications_), devicesFake_(devices_), volumesFake_(volumes_), registryFake_(registry_) {
    logPath_ = dir_.file(u"volume-detection.log");
    openDebugLog(logPath_.c_str());
    drainProbeCount();
    checksBefore_ = TimerTask::isDevExistsTasks();
    previousPause_ = VolumeDeviceNotificatorThread::swapPause(0ms);
    previousClock_ = UtcDayClock::swapSource([this] { return clock_.load(); });
    VolumeDeviceNotificator::setServiceHandle(kService);
  }
  ~VolumeDetectionTest() override {
    VolumeDeviceNotificatorThread::shutdown();
    volumes_.released.set();
    if (volumes_.stalled.wait(0ms)) {
      EXPECT_TRUE(eventually([&] { return volumes_.closed.load(); })) << "a stalled probe never returned";
    }
    VolumeDeviceNotificator::drop();
    VolumeDeviceNotificator::setServiceHandle(0);
    VolumeDeviceNotificatorThread::swapPause(previousPause_);
    UtcDayClock::swapSource(previousClock_);
    drainProbeCount();
    closeDebugLog();
  }

  static void drainProbeCount() {
    while (TimerTask::devNotificatorTasks() != 0) TimerTask::removeDevNotificatorTask();
  }
  uint32_t checksRequested() const { return TimerTask::isDevExistsTasks() - checksBefore_; }

  // Makes `volume` known to the platform, its storage device answering
  // with `descriptor`.
  void addVolume(const TestVolume& volume, const std::vector<uint8_t>& descriptor) {
    devices_.classes[sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME].push_back(
        FakeDevices::interface(volume.interfacePath, volume.device));
    volumes_.steps.push_back(FakeVolumes::volume(volume.guidPath));
    volumes_.dosDevices[volume.guidPath.substr(4, volume.guidPath.size() - 5)] = volume.device;
    volumes_.devices[openPath(volume)] = FakeVolumes::Device{0, 0, descriptor};
  }
  static std::u16string openPath(const TestVolume& volume) {
    return volume.guidPath.substr(0, volume.guidPath.size() - 1);
  }
  static std::vector<uint8_t> identity(const std::string& vendor, const std::string& product,
                                       const std::string& revision, const std::string& serial) {
    return FakeVolumes::descriptor(vendor, product, revision, serial);
  }
  static std::vector<uint8_t> ourIdentity() { return identity(kVendor, kProduct, "1.0", kSerial); }
  static std::vector<uint8_t> event(const TestVolume& volume) {
    return FakeDeviceNotifications::interfaceRecord(volume.interfacePath);
  }

  std::string wholeLog() { return readFileBytes(std::filesystem::path(logPath_)); }
  // The lines of the log written by the volume detection itself, without
  // those of the utilities it calls.
  std::vector<std::string> lines() {
    const std::string text = wholeLog();
    const std::string lineEnd = VK_TEXT_LINE_END;
    std::vector<std::string> own;
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find(lineEnd, at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      if (line.starts_with("VolumeDeviceNotificator") || line.starts_with("DeviceNotificator::")) {
        own.push_back(line);
      }
      at = end + lineEnd.size();
    }
    return own;
  }
  std::vector<std::string> linesFrom(size_t first) {
    std::vector<std::string> all = lines();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
  }
  size_t count(const std::string& line) {
    const std::vector<std::string> all = lines();
    return static_cast<size_t>(std::count(all.begin(), all.end(), line));
  }

  // Polls `condition` for up to 20 s.
  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  }
  // Waits until the probes have left (the count is back to 0, which also
  // orders their calls of the fakes before the test's) and `finished` of
  // them have said so.
  bool probesFinished(size_t finished) {
    return eventually([&] { return TimerTask::devNotificatorTasks() == 0 && count(kFinished) >= finished; });
  }
  // Waits until `probes` probes have begun their inquiry pause, after their
  // last call of a fake before it.
  bool probesPausing(size_t probes) {
    return eventually([&] { return countStarting("VolumeDeviceNotificatorThread::taskRun volume_guid=") >= probes; });
  }
  size_t countStarting(const std::string& prefix) {
    const std::vector<std::string> all = lines();
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
  }

  // The lines with each "threadID=<n>" written as "threadID=<letter>": "a"
  // for the lowest identifier in them, "b" for the next number, and so on.
  static std::vector<std::string> withProbeNames(std::vector<std::string> lines) {
    const std::string key = "threadID=";
    unsigned long lowest = ~0ul;
    for (const std::string& line : lines) {
      const size_t at = line.find(key);
      if (at != std::string::npos) lowest = std::min(lowest, std::stoul(line.substr(at + key.size())));
    }
    for (std::string& line : lines) {
      const size_t at = line.find(key);
      if (at == std::string::npos) continue;
      const size_t digits = line.find_first_not_of("0123456789", at + key.size());
      const size_t length = (digits == std::string::npos ? line.size() : digits) - at - key.size();
      const unsigned long id = std::stoul(line.substr(at + key.size(), length));
      line.replace(at + key.size(), length, std::string(1, static_cast<char>('a' + (id - lowest))));
    }
    return lines;
  }

  std::atomic<uint32_t> clock_{1000};  // the time of day the probes are created at
  TempDir dir_;
  std::u16string logPath_;
  RecordingNotifications notifications_;
  FakeDevices devices_;
  ProbeVolumes volumes_;
  FakeRegistry registry_;
  sys::ScopedFake<sys::DeviceNotifications> notificationsFake_;
  sys::ScopedFake<sys::DeviceInterfaces> devicesFake_;
  sys::ScopedFake<sys::Volumes> volumesFake_;
  sys::ScopedFake<sys::Registry> registryFake_;

 private:
  uint32_t checksBefore_ = 0;
  std::chrono::milliseconds previousPause_{0};
  UtcDayClock::Source previousClock_;
};

}  // namespace volume_detection
