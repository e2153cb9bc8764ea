#include "sys/posix/UeventMessage.h"

#include <cstring>
#include <map>

#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "sys/DeviceInterfaces.h"
#include "sys/DeviceNotifications.h"

namespace sys::posix {
namespace {

// What udev's daemon sends on its own netlink group starts with this.
constexpr char kUdevMagic[] = "libudev";

UeventMessage malformed(std::string reason) {
  UeventMessage message;
  message.kind = UeventMessage::Kind::Malformed;
  message.reason = std::move(reason);
  return message;
}

// The KEY=VALUE fields after the header.
std::map<std::string, std::string> fields(const char* data, size_t size) {
  std::map<std::string, std::string> found;
  for (size_t at = std::strlen(data) + 1; at < size; at += std::strlen(data + at) + 1) {
    const std::string field(data + at);
    const size_t equals = field.find('=');
    if (equals != std::string::npos) found.emplace(field.substr(0, equals), field.substr(equals + 1));
  }
  return found;
}

// A DEVPATH the kernel gives: absolute, no "." or ".." steps.
bool isPlainDevicePath(const std::string& path) {
  return path.size() > 1 && path[0] == '/' && path.find("/./") == std::string::npos &&
         path.find("/../") == std::string::npos && path.find("//") == std::string::npos && path.back() != '.';
}

}  // namespace

UeventMessage UeventMessage::parse(const char* data, size_t size) {
  if (size >= sizeof(kUdevMagic) && std::memcmp(data, kUdevMagic, sizeof(kUdevMagic)) == 0) return {};
  if (size == 0 || data[size - 1] != '\0') return malformed("no terminating zero");
  if (!std::strchr(data, '@')) return malformed("no header");
  const std::map<std::string, std::string> values = fields(data, size);
  const auto action = values.find("ACTION");
  const auto devicePath = values.find("DEVPATH");
  if (action == values.end() || devicePath == values.end()) return malformed("no ACTION or DEVPATH");
  if (!isPlainDevicePath(devicePath->second)) return malformed("bad DEVPATH");

  const auto subsystem = values.find("SUBSYSTEM");
  const auto deviceType = values.find("DEVTYPE");
  if (subsystem == values.end() || subsystem->second != "block") return {};
  if (deviceType == values.end() || deviceType->second != "partition") return {};
  UeventMessage message;
  if (action->second == "add") {
    message.eventType = DeviceNotifications::DBT_DEVICEARRIVAL;
  } else if (action->second == "remove") {
    message.eventType = DeviceNotifications::DBT_DEVICEREMOVECOMPLETE;
  } else {
    return message;
  }
  message.kind = Kind::PartitionEvent;
  message.interfacePath = "/sys" + devicePath->second;
  return message;
}

std::vector<uint8_t> volumeInterfaceRecord(const std::string& interfacePath) {
  const std::u16string name = wide::fromUtf8(interfacePath);
  const size_t size = DeviceNotifications::kInterfaceRecordHeader + (name.size() + 1) * 2;
  std::vector<uint8_t> record(size, 0);
  writeLittleEndian(record.data(), 4, size);
  writeLittleEndian(record.data() + 4, 4, DeviceNotifications::DBT_DEVTYP_DEVICEINTERFACE);
  DeviceInterfaces::GUID_DEVINTERFACE_VOLUME.toBytes(record.data() + 12);
  for (size_t i = 0; i < name.size(); ++i) writeLittleEndian(record.data() + 28 + 2 * i, 2, name[i]);
  return record;
}

}  // namespace sys::posix
