#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/LittleEndian.h"
#include "common/WinError.h"
#include "sys/DeviceNotifications.h"

// Device notifications scripted by the test: a registration succeeds with the
// next handle unless `registerError` is set; the test sends device events with
// `sendEvent` to the handler of every registered service, as the control
// manager would.
class FakeDeviceNotifications : public sys::DeviceNotifications {
 public:
  struct Registration {
    ServiceHandle service = 0;
    std::vector<uint8_t> filter;
    uint32_t flags = 0;
  };

  uint32_t registerError = 0;  // non-zero: registering fails with it
  Handle nextHandle = 0x100;

  // What the caller did.
  std::map<Handle, Registration> registrations;  // the ones still registered
  int registerCalls = 0;
  std::vector<Handle> unregistered;
  std::map<ServiceHandle, EventHandler> handlers;
  DropLog dropLog;

  void setEventHandler(ServiceHandle service, EventHandler handler) override { handlers[service] = std::move(handler); }
  void setDropLog(DropLog log) override { dropLog = std::move(log); }

  Handle registerDeviceNotification(ServiceHandle service, const std::vector<uint8_t>& filter, uint32_t flags,
                                    uint32_t& error) override {
    ++registerCalls;
    if (registerError != 0) {
      error = registerError;
      return 0;
    }
    registrations[nextHandle] = {service, filter, flags};
    return nextHandle++;
  }
  bool unregisterDeviceNotification(Handle notification, uint32_t& error) override {
    unregistered.push_back(notification);
    if (registrations.erase(notification) == 0) {
      error = WinError::InvalidHandle;
      return false;
    }
    return true;
  }

  // A DEV_BROADCAST_DEVICEINTERFACE_W naming `name`, of `deviceType`.
  static std::vector<uint8_t> interfaceRecord(const std::u16string& name,
                                              uint32_t deviceType = DBT_DEVTYP_DEVICEINTERFACE) {
    std::vector<uint8_t> record(kInterfaceRecordHeader + (name.size() + 1) * 2, 0);
    writeLittleEndian(record.data(), 4, record.size());
    writeLittleEndian(record.data() + 4, 4, deviceType);
    for (size_t i = 0; i < name.size(); ++i)
      writeLittleEndian(record.data() + kInterfaceRecordHeader + 2 * i, 2, name[i]);
    return record;
  }

  // Delivers one event to the handler of each registration's service.
  void sendEvent(uint32_t eventType, const std::vector<uint8_t>& record) {
    const std::map<Handle, Registration> current = registrations;  // a handler may unregister
    for (const auto& [handle, registration] : current) {
      if (registrations.count(handle) == 0) continue;
      const auto handler = handlers.find(registration.service);
      if (handler != handlers.end()) handler->second(eventType, record.data());
    }
  }
};
