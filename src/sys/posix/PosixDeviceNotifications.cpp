#include "sys/posix/PosixDeviceNotifications.h"

#include <chrono>

#include "common/Guid.h"
#include "common/LittleEndian.h"
#include "common/WinError.h"
#include "sys/DeviceInterfaces.h"

namespace sys::posix {
namespace {

// How long unregistering, or the next event, waits for a handler that is
// still running.
constexpr std::chrono::seconds kDeliveryWait{10};

// True on a thread while it runs a device-event handler.
thread_local bool inHandler = false;

uint32_t checkFilter(const std::vector<uint8_t>& filter) {
  if (filter.size() < DeviceNotifications::kInterfaceRecordHeader) return WinError::InvalidData;
  const uint64_t size = readLittleEndian(filter.data(), 4);
  if (size < DeviceNotifications::kInterfaceRecordHeader || size > filter.size()) return WinError::InvalidData;
  if (readLittleEndian(filter.data() + 4, 4) != DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE) {
    return WinError::InvalidData;
  }
  // Only volumes are watched here.
  if (Guid::fromBytes(filter.data() + 12) != DeviceInterfaces::GUID_DEVINTERFACE_VOLUME) return WinError::NotSupported;
  return WinError::Success;
}

}  // namespace

PosixDeviceNotifications::~PosixDeviceNotifications() {
  // Ended outside the lock: their threads take it.
  std::unique_ptr<UeventListener> listener, retired;
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    // Nothing reaches a handler or the log once this object is gone, not even
    // from a listener's thread that a handler holds up past its end.
    shared_->registrations.clear();
    shared_->dropLog = nullptr;
    listener = std::move(listener_);
    retired = std::move(retired_);
  }
}

void PosixDeviceNotifications::setEventHandler(ServiceHandle service, EventHandler handler) {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  shared_->handlers[service] = std::move(handler);
}

void PosixDeviceNotifications::setDropLog(DropLog log) {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  shared_->dropLog = std::move(log);
}

DeviceNotifications::Handle PosixDeviceNotifications::registerDeviceNotification(ServiceHandle service,
                                                                                 const std::vector<uint8_t>& filter,
                                                                                 uint32_t flags, uint32_t& error) {
  if (flags != DEVICE_NOTIFY_SERVICE_HANDLE) {
    error = WinError::InvalidParameter;
    return 0;
  }
  error = checkFilter(filter);
  if (error != WinError::Success) return 0;
  takeRetiredListener().reset();  // ended outside the lock: its thread may be waiting for it

  std::lock_guard<std::mutex> guard(shared_->mutex);
  if (shared_->handlers.count(service) == 0) {
    error = WinError::InvalidHandle;
    return 0;
  }
  if (!listener_) {
    listener_ =
        UeventListener::start([shared = shared_](const UeventMessage& message) { shared->deliver(message); },
                              [shared = shared_](const std::string& reason) { shared->reportDrop(reason); }, error);
    if (!listener_) return 0;
  }
  const Handle handle = next_++;
  shared_->registrations[handle] = service;
  return handle;
}

bool PosixDeviceNotifications::unregisterDeviceNotification(Handle notification, uint32_t& error) {
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (shared_->registrations.erase(notification) == 0) {
      error = WinError::InvalidHandle;
      return false;
    }
  }
  // Ending the listener waits for its delivery in progress; otherwise that
  // delivery is waited for here.
  std::unique_ptr<UeventListener> stopped = takeStoppedListener();
  if (!stopped && !inHandler) {
    const ScopedLock delivered(shared_->delivery, kDeliveryWait);
  }
  stopped.reset();
  takeRetiredListener().reset();
  return true;
}

std::unique_ptr<UeventListener> PosixDeviceNotifications::takeStoppedListener() {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  if (!shared_->registrations.empty() || !listener_) return nullptr;
  // Asked now, so that it takes no further event once the lock is released.
  listener_->requestStop();
  if (!listener_->onListenerThread()) return std::move(listener_);
  std::unique_ptr<UeventListener> earlier = std::move(retired_);
  retired_ = std::move(listener_);
  return earlier;
}

std::unique_ptr<UeventListener> PosixDeviceNotifications::takeRetiredListener() {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  if (!retired_ || retired_->onListenerThread()) return nullptr;
  return std::move(retired_);
}

void PosixDeviceNotifications::Shared::deliver(const UeventMessage& message) {
  const ScopedLock delivering(delivery, kDeliveryWait);
  if (!delivering.locked()) return reportDrop("uevent dropped: a handler did not return");
  std::vector<Handle> targets;
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (const auto& [handle, service] : registrations) targets.push_back(handle);
  }
  const std::vector<uint8_t> record = volumeInterfaceRecord(message.interfacePath);
  for (const Handle handle : targets) {
    EventHandler handler;
    {
      // Registered when the event came and still now.
      std::lock_guard<std::mutex> guard(mutex);
      const auto registration = registrations.find(handle);
      if (registration == registrations.end()) continue;
      handler = handlers[registration->second];
    }
    inHandler = true;
    try {
      handler(message.eventType, record.data());
    } catch (...) {
      reportDrop("a device-event handler failed");
    }
    inHandler = false;
  }
}

void PosixDeviceNotifications::Shared::reportDrop(const std::string& reason) {
  DropLog log;
  {
    std::lock_guard<std::mutex> guard(mutex);
    log = dropLog;
  }
  if (log) log(reason);
}

}  // namespace sys::posix
