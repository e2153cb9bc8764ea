#include "device/IoctlDevManager.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "common/Lock.h"
#include "common/WinError.h"
#include "device/DriverRecords.h"
#include "device/SetupDevApi.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace records = driver_records;

namespace {

using Handle = sys::DeviceIo::Handle;
constexpr Handle kNone = sys::DeviceIo::kInvalidHandle;

// Longer than any one transaction, whose requests are each bounded by the
// device layer; a caller that still cannot get the channel gives up.
constexpr std::chrono::milliseconds kChannelWait{60000};

// The channel's lock, the request in flight under it, if any, and the flag by
// which the caller of the transaction under way gives up (null: it never does).
struct Channel {
  Lock lock;
  std::mutex inFlightMutex;
  Handle inFlightDevice = kNone;
  std::thread::id inFlightOwner;
  const std::atomic<bool>* abandoned = nullptr;
};

// Never destroyed: a worker left behind may still leave the channel at exit.
Channel& channel() {
  static Channel* instance = new Channel;
  return *instance;
}

// Runs one entry point: its opening line, the operation under the lock, "\n".
bool transaction(const char16_t* opening, const std::atomic<bool>* abandoned, const std::function<bool()>& operation) {
  ScopedLock guard(channel().lock, kChannelWait);
  if (!guard.locked()) {
    debugLog(u"IoctlDevManager::transaction driver channel busy\n");
    return false;
  }
  if (abandoned && abandoned->load()) return false;  // its caller gave up waiting
  channel().abandoned = abandoned;
  debugLog(opening);
  const bool result = operation();
  debugLog(u"\n");
  channel().abandoned = nullptr;
  return result;
}

// Whether the caller of the transaction under way has stopped waiting for it.
bool callerGaveUp() {
  const std::atomic<bool>* abandoned = channel().abandoned;
  return abandoned && abandoned->load();
}

// Closes the device on every way out of a request.
class OpenDevice {
 public:
  explicit OpenDevice(Handle device) : device_(device) {}
  ~OpenDevice() { close(); }
  OpenDevice(const OpenDevice&) = delete;
  OpenDevice& operator=(const OpenDevice&) = delete;
  Handle get() const { return device_; }
  // Hands the open device to the caller.
  Handle release() { return std::exchange(device_, kNone); }
  void close() {
    if (device_ != kNone) sys::platform().deviceIo().close(device_);
    device_ = kNone;
  }

 private:
  Handle device_;
};

// The four input bytes of a request that carries only its sub-command.
std::vector<uint8_t> subCommandInput(uint32_t subCommand) {
  return {static_cast<uint8_t>(subCommand), static_cast<uint8_t>(subCommand >> 8),
          static_cast<uint8_t>(subCommand >> 16), static_cast<uint8_t>(subCommand >> 24)};
}

}  // namespace

bool IoctlDevManager::createDev(const std::u16string& image_path, const std::u16string& connection_tag,
                                uint64_t volume_size, uint32_t sector_size, bool mount_flag) {
  return createDev(image_path, connection_tag, volume_size, sector_size, mount_flag, nullptr);
}

bool IoctlDevManager::removeDev(const std::u16string& connection_tag) { return removeDev(connection_tag, nullptr); }

bool IoctlDevManager::requestDevInfo(DevInfo* info, uint32_t* count) { return requestDevInfo(info, count, nullptr); }

bool IoctlDevManager::createDev(const std::u16string& image_path, const std::u16string& connection_tag,
                                uint64_t volume_size, uint32_t sector_size, bool mount_flag,
                                const std::atomic<bool>* abandoned) {
  return transaction(u"\nIoctlDevManager::createDev\n", abandoned,
                     [&] { return connectDevice(image_path, connection_tag, volume_size, sector_size, mount_flag); });
}

bool IoctlDevManager::removeDev(const std::u16string& connection_tag, const std::atomic<bool>* abandoned) {
  return transaction(u"\nIoctlDevManager::removeDev\n", abandoned, [&] { return disconnectDevice(connection_tag); });
}

bool IoctlDevManager::requestDevInfo(DevInfo* info, uint32_t* count, const std::atomic<bool>* abandoned) {
  return transaction(u"\nIoctlDevManager::requestDevInfo\n", abandoned, [&] { return getActiveDevice(info, count); });
}

void IoctlDevManager::cancelRequestOf(std::thread::id requester) {
  Channel& c = channel();
  std::lock_guard<std::mutex> guard(c.inFlightMutex);
  if (c.inFlightDevice != kNone && c.inFlightOwner == requester) sys::platform().deviceIo().cancel(c.inFlightDevice);
}

bool IoctlDevManager::control(Handle device, uint32_t subCommand, const void* input, uint32_t inputSize, void* output,
                              uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) {
  Channel& c = channel();
  {
    // The caller gives up before it cancels: a request either sees that here or is cancelled.
    std::lock_guard<std::mutex> guard(c.inFlightMutex);
    if (callerGaveUp()) {
      error = WinError::OperationAborted;
      return false;
    }
    c.inFlightDevice = device;
    c.inFlightOwner = std::this_thread::get_id();
  }
  const std::vector<uint8_t> command = subCommandInput(subCommand);
  if (!input) {
    input = command.data();
    inputSize = static_cast<uint32_t>(command.size());
  }
  const bool done = sys::platform().deviceIo().control(device, records::IOCTL_MINIPORT_PROCESS_SERVICE_IRP, input,
                                                       inputSize, output, outputSize, bytesReturned, error);
  std::lock_guard<std::mutex> guard(c.inFlightMutex);
  c.inFlightDevice = kNone;
  return done;
}

Handle IoctlDevManager::getDriverHandle(const std::u16string* dev_path) {
  if (!dev_path) {
    debugLog(u"IoctlDevManager::getDriverHandle dev_path=NULL\n");
    return kNone;
  }
  debugLog(u"IoctlDevManager::getDriverHandle dev_path=%s\n", *dev_path);
  uint32_t error = 0;
  OpenDevice device(sys::platform().deviceIo().open(*dev_path, error));
  if (device.get() == kNone) {
    debugLog(u"IoctlDevManager::getDriverHandle CreateFile err=0x%X\n", error);
    return kNone;
  }
  uint8_t guidBytes[16] = {};
  uint32_t returned = 0;
  if (!control(device.get(), records::CMD_GET_DRIVER_GUID, nullptr, 0, guidBytes, sizeof(guidBytes), returned, error)) {
    debugLog(u"IoctlDevManager::getDriverHandle DeviceIoControl err=0x%X\n", error);
    return kNone;
  }
  const Guid driverGuid = Guid::fromBytes(guidBytes);
  debugLog(u"IoctlDevManager::getDriverHandle  driver_guid=%s\n", driverGuid.toString());
  debugLog(u"IoctlDevManager::getDriverHandle control_guid=%s\n", records::DRIVER_CONTROL_GUID.toString());
  if (driverGuid != records::DRIVER_CONTROL_GUID) {
    debugLog(u"IoctlDevManager::getDriverHandle guid not equals\n");
    return kNone;
  }
  debugLog(u"IoctlDevManager::getDriverHandle driver found OK\n");
  return device.release();
}

Handle IoctlDevManager::openDevice() {
  std::vector<std::u16string> paths;
  if (!SetupDevApi::getDeviceInterfaceList(records::VIRTUAL_DISK_INTERFACE_GUID, paths)) {
    debugLog(u"IoctlDevManager::openDevice getDeviceInterfaceList failed\n");
    return kNone;
  }
  debugLog(u"IoctlDevManager::openDevice found interface_count=%u\n", static_cast<uint32_t>(paths.size()));
  for (const std::u16string& path : paths) {
    if (callerGaveUp()) {
      debugLog(u"IoctlDevManager::openDevice caller gave up\n");
      return kNone;
    }
    const Handle device = getDriverHandle(&path);
    if (device != kNone) return device;
    debugLog(u"IoctlDevManager::openDevice try next interface\n");
  }
  debugLog(u"IoctlDevManager::openDevice no devices\n");
  return kNone;
}

bool IoctlDevManager::getActiveDevice(DevInfo* info, uint32_t* count) {
  if (!info || !count) return false;
  *count = 0;
  info->volume_size = 0;
  OpenDevice device(openDevice());
  if (device.get() == kNone) {
    debugLog(u"IoctlDevManager::getActiveDevice openDevice fail\n");
    return false;
  }
  std::vector<uint8_t> reply;
  try {
    reply.resize(records::kActiveDeviceReplySize);
  } catch (const std::bad_alloc&) {
    debugLog(u"IoctlDevManager::getActiveDevice failed to allocate memory\n");
    return false;
  }
  uint32_t returned = 0;
  uint32_t error = 0;
  const bool done = control(device.get(), records::CMD_GET_ACTIVE_DEVICE, nullptr, 0, reply.data(),
                            records::kActiveDeviceReplySize, returned, error);
  device.close();
  if (!done) {
    debugLog(u"IoctlDevManager::getActiveDevice DeviceIoControl err=0x%X\n", error);
    return false;
  }
  const uint32_t active = records::replyCount(reply.data());
  if (returned != 0 && active != 0) {
    const DevInfo first = records::replyFirstDevice(reply.data());
    info->connection_tag = first.connection_tag;
    info->image_path = first.image_path;
    info->volume_size = first.volume_size;
    info->sector_size = first.sector_size;
    *count = active;
  }
  return true;
}

int32_t IoctlDevManager::getConnectionCount() {
  DevInfo scratch;
  uint32_t count = 0;
  return getActiveDevice(&scratch, &count) ? static_cast<int32_t>(count) : -1;
}

bool IoctlDevManager::connectDevice(const std::u16string& image_path, const std::u16string& connection_tag,
                                    uint64_t volume_size, uint32_t sector_size, bool mount_flag) {
  if (image_path.size() > records::kMaxPathLength) {
    debugLog(u"IoctlDevManager::connectDevice image_path incorrect size\n");
    return false;
  }
  if (connection_tag.size() > records::kMaxTagLength) {
    debugLog(u"IoctlDevManager::connectDevice connection_tag incorrect size\n");
    return false;
  }
  if (volume_size == 0) {
    debugLog(u"IoctlDevManager::connectDevice volume_size==0\n");
    return false;
  }
  if (sector_size == 0) {
    debugLog(u"IoctlDevManager::connectDevice sector_size==0\n");
    return false;
  }
  const int32_t connections = getConnectionCount();
  if (connections > 0) {
    debugLog(u"IoctlDevManager::connectDevice connection limit excided\n");
    return false;
  }
  if (connections < 0) {
    // Without the driver's count a second disk cannot be ruled out.
    debugLog(u"IoctlDevManager::connectDevice connection count unknown\n");
    return false;
  }
  const std::vector<uint8_t> record = records::makeConnectRecord(records::CMD_CONNECT_DEVICE, connection_tag,
                                                                 image_path, volume_size, sector_size, mount_flag);
  OpenDevice device(openDevice());
  if (device.get() == kNone) {
    debugLog(u"IoctlDevManager::connectDevice openDevice fail\n");
    return false;
  }
  uint8_t status[4] = {};
  uint32_t returned = 0;
  uint32_t error = 0;
  const bool done = control(device.get(), records::CMD_CONNECT_DEVICE, record.data(),
                            static_cast<uint32_t>(record.size()), status, sizeof(status), returned, error);
  device.close();
  const uint32_t dbgStatus = status[0] | status[1] << 8 | status[2] << 16 | static_cast<uint32_t>(status[3]) << 24;
  debugLog(u"IoctlDevManager::connectDevice DeviceIoControl dbg_status=%u\n", dbgStatus);
  if (!done) {
    debugLog(u"IoctlDevManager::connectDevice DeviceIoControl err=0x%X\n", error);
    return false;
  }
  return true;
}

bool IoctlDevManager::disconnectDevice(const std::u16string& connection_tag) {
  if (connection_tag.size() > records::kMaxTagLength) {
    debugLog(u"IoctlDevManager::disconnectDevice connection_tag incorrect size\n");
    return false;
  }
  if (getConnectionCount() < 1) {
    debugLog(u"IoctlDevManager::disconnectDevice no connection found\n");
    return false;
  }
  const std::vector<uint8_t> record =
      records::makeConnectRecord(records::CMD_DISCONNECT_DEVICE, connection_tag, u"", 0, 0, false);
  OpenDevice device(openDevice());
  if (device.get() == kNone) {
    debugLog(u"IoctlDevManager::disconnectDevice openDevice fail\n");
    return false;
  }
  uint32_t returned = 0;
  uint32_t error = 0;
  const bool done = control(device.get(), records::CMD_DISCONNECT_DEVICE, record.data(),
                            static_cast<uint32_t>(record.size()), nullptr, 0, returned, error);
  device.close();
  if (!done) {
    debugLog(u"IoctlDevManager::disconnectDevice DeviceIoControl err=0x%X\n", error);
    return false;
  }
  return true;
}
