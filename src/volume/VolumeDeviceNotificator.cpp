#include "volume/VolumeDeviceNotificator.h"

#include <mutex>
#include <vector>

#include "common/LittleEndian.h"
#include "device/TimerTask.h"
#include "service/DebugLog.h"
#include "sys/DeviceInterfaces.h"
#include "sys/Platform.h"
#include "volume/RegTool.h"
#include "volume/VolumeDeviceNotificatorThread.h"

namespace {

using sys::DeviceNotifications;

struct State {
  std::mutex lock;  // the notificator lock
  DeviceNotifications::ServiceHandle service = 0;
  DeviceNotifications::Handle notification = 0;
  std::u16string detectedDevice;
};

// Never freed: a probe left running at process exit may still ask it.
State& state() {
  static auto* instance = new State;
  return *instance;
}

// Forgets the registration at process exit.
struct DropAtExit {
  ~DropAtExit() { VolumeDeviceNotificator::drop(); }
} dropAtExit;

uint32_t deviceType(const uint8_t* record) { return static_cast<uint32_t>(readLittleEndian(record + 4, 4)); }

// The interface path of a DEV_BROADCAST_DEVICEINTERFACE_W: up to its zero,
// never past the record's own size.
std::u16string interfaceName(const uint8_t* record) {
  const uint64_t size = readLittleEndian(record, 4);
  std::u16string name;
  for (uint64_t at = DeviceNotifications::kInterfaceRecordHeader; at + 2 <= size; at += 2) {
    const auto unit = static_cast<char16_t>(readLittleEndian(record + at, 2));
    if (unit == 0) break;
    name.push_back(unit);
  }
  return name;
}

std::vector<uint8_t> volumeInterfaceFilter() {
  std::vector<uint8_t> filter(32, 0);
  writeLittleEndian(filter.data(), 4, filter.size());
  writeLittleEndian(filter.data() + 4, 4, DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE);
  sys::DeviceInterfaces::GUID_DEVINTERFACE_VOLUME.toBytes(filter.data() + 12);
  return filter;
}

// Takes the registration out under the lock and cancels it after: the
// platform may wait for an event being delivered, and that delivery may be
// waiting for the lock.
void unregister(DeviceNotifications::Handle notification) {
  if (notification == 0) return;
  uint32_t error = 0;
  sys::platform().deviceNotifications().unregisterDeviceNotification(notification, error);
}

}  // namespace

void VolumeDeviceNotificator::setServiceHandle(ServiceHandle service) {
  std::lock_guard<std::mutex> guard(state().lock);
  state().service = service;
}

bool VolumeDeviceNotificator::listen() {
  ServiceHandle service = 0;
  {
    std::lock_guard<std::mutex> guard(state().lock);
    service = state().service;
  }
  if (service == 0) {
    debugLog(u"VolumeDeviceNotificator::listen service=NULL\n");
    return false;
  }
  drop();
  uint32_t error = 0;
  const DeviceNotifications::Handle notification = sys::platform().deviceNotifications().registerDeviceNotification(
      service, volumeInterfaceFilter(), DeviceNotifications::DEVICE_NOTIFY_SERVICE_HANDLE, error);
  if (notification == 0) {
    debugLog(u"VolumeDeviceNotificator::listen err=%X\n", error);
    return false;
  }
  DeviceNotifications::Handle earlier = 0;
  {
    std::lock_guard<std::mutex> guard(state().lock);
    // Another listen may have registered meanwhile: one registration is kept.
    earlier = state().notification;
    state().notification = notification;
  }
  unregister(earlier);
  debugLog(u"VolumeDeviceNotificator::listen OK\n");
  return true;
}

void VolumeDeviceNotificator::drop() {
  DeviceNotifications::Handle notification = 0;
  {
    std::lock_guard<std::mutex> guard(state().lock);
    state().detectedDevice.clear();
    notification = state().notification;
    state().notification = 0;
  }
  unregister(notification);
  debugLog(u"VolumeDeviceNotificator::drop\n");
}

void VolumeDeviceNotificator::processDevice(uint32_t eventType, const uint8_t* eventData) {
  if (!eventData) {
    debugLog(u"VolumeDeviceNotificator::processDevice err event_data=NULL\n");
    return;
  }
  switch (eventType) {
    case DeviceNotifications::DBT_DEVICEARRIVAL:
      debugLog(u"VolumeDeviceNotificator::processDevice add device\n");
      onDevArrive(eventData);
      break;
    case DeviceNotifications::DBT_DEVICEREMOVECOMPLETE:
      debugLog(u"VolumeDeviceNotificator::processDevice remove device\n");
      onDevRemove(eventData);
      break;
    default:
      debugLog(u"DeviceNotificator::processDevice unknown event_type=%X\n", eventType);
  }
}

void VolumeDeviceNotificator::onDevArrive(const uint8_t* record) {
  if (deviceType(record) != DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE) {
    debugLog(u"VolumeDeviceNotificator::onDevArrive undefined dev_type=0x%X\n", deviceType(record));
    return;
  }
  const std::u16string name = interfaceName(record);
  debugLog(u"VolumeDeviceNotificator::onDevArrive DEV_BROADCAST_DEVICEINTERFACE=%s\n", name);
  if (!VolumeDeviceNotificatorThread::scheduleTask(name)) {
    debugLog(u"VolumeDeviceNotificator::onDevArrive scheduleTask fail\n");
  }
}

void VolumeDeviceNotificator::onDevRemove(const uint8_t* record) {
  if (deviceType(record) != DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE) {
    debugLog(u"VolumeDeviceNotificator::onDevRemove undefined dev_type=0x%X\n", deviceType(record));
    return;
  }
  const std::u16string name = interfaceName(record);
  debugLog(u"VolumeDeviceNotificator::onDevRemove DEV_BROADCAST_DEVICEINTERFACE=%s\n", name);
  if (!isDeviceDetected()) {
    debugLog(u"VolumeDeviceNotificator::onDevRemove our device is not detected; wait for other device\n");
    return;
  }
  if (!isOurDevice(name)) return;
  debugLog(u"VolumeDeviceNotificator::onDevRemove our device detected; check the driver response\n");
  TimerTask::requestIsDevExistsCheck();
  drop();
  RegTool::clearMountedParams();
}

bool VolumeDeviceNotificator::isDeviceDetected() {
  std::lock_guard<std::mutex> guard(state().lock);
  return !state().detectedDevice.empty();
}

bool VolumeDeviceNotificator::isOurDevice(const std::u16string& path) {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().detectedDevice == path;
}

void VolumeDeviceNotificator::setDetectedDevice(const std::u16string& path) {
  std::lock_guard<std::mutex> guard(state().lock);
  state().detectedDevice = path;
}
