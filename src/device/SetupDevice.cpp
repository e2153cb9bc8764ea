#include "device/SetupDevice.h"

#include "common/LittleEndian.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

constexpr uint32_t kMaxFailures = 100;
// The fixed part of SP_DEVICE_INTERFACE_DETAIL_DATA_W in a 32-bit program:
// its cbSize and the first character of the path.
constexpr uint32_t kDetailFixedSize = 6;

// The UTF-16LE text at `at`, up to its first zero unit or the end of `size` bytes.
std::u16string textAt(const uint8_t* at, uint32_t size) { return readUtf16LittleEndian(at, size / 2); }

}  // namespace

SetupDevice::SetupDevice() : detail_(kBufferSize) {}

SetupDevice::~SetupDevice() {
  if (set_ != sys::DeviceInterfaces::kInvalidSet) sys::platform().deviceInterfaces().destroyDeviceInfoList(set_);
  set_ = sys::DeviceInterfaces::kInvalidSet;
}

bool SetupDevice::open(const Guid& interfaceClass) {
  uint32_t error = 0;
  interfaceClass_ = interfaceClass;
  set_ = sys::platform().deviceInterfaces().getClassDevs(interfaceClass, error);
  if (set_ == sys::DeviceInterfaces::kInvalidSet) {
    debugLog(u"SetupDeviceHelper::open SetupDiGetClassDevs err=0x%X\n", error);
    return false;
  }
  return true;
}

void SetupDevice::enumerate(const std::function<bool(const InterfaceData&)>& handle) {
  sys::DeviceInterfaces& interfaces = sys::platform().deviceInterfaces();
  index_ = 0;
  failures_ = 0;
  for (;;) {
    InterfaceData data{};
    uint32_t error = 0;
    const bool found = interfaces.enumDeviceInterfaces(set_, interfaceClass_, index_, data, error);
    if (!found) {
      if (error == sys::DeviceInterfaces::ERROR_NO_MORE_ITEMS) return;
      ++failures_;
    }
    if (failures_ > kMaxFailures) return;
    ++index_;
    if (found && !handle(data)) return;
  }
}

bool SetupDevice::getInterfacePath(const InterfaceData* data, std::u16string& path, DeviceRecord& device) {
  path.clear();
  device = {};
  if (!data) return false;
  detail_.zero();
  detail_.data()[0] = kDetailFixedSize;
  uint32_t error = 0;
  if (!sys::platform().deviceInterfaces().getDeviceInterfaceDetail(set_, *data, detail_.data(),
                                                                   kBufferSize - kDetailFixedSize, device, error)) {
    debugLog(u"SetupDevice::getInterfacePath SetupDiGetDeviceInterfaceDetail err=0x%X\n", error);
    return false;
  }
  path = textAt(detail_.data() + 4, kBufferSize - kDetailFixedSize - 4);
  return true;
}

bool SetupDevice::getDevicePropertyData(const DeviceRecord& device, uint32_t property, std::u16string& value) {
  ByteBuffer buffer(kBufferSize);
  buffer.zero();
  uint32_t error = 0;
  if (!sys::platform().deviceInterfaces().getDeviceRegistryProperty(set_, device, property, buffer.data(), kBufferSize,
                                                                    error)) {
    debugLog(u"SetupDevice::getDevicePropertyData SetupDiGetDeviceRegistryProperty err=0x%X\n", error);
    return false;
  }
  value = textAt(buffer.data(), kBufferSize);
  return true;
}
