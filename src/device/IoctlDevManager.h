#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "device/DevInfo.h"
#include "sys/DeviceIo.h"

// The service's control channel to the virtual-disk driver: finds the
// driver's device, proves its identity, and creates, removes or queries the
// one disk. Each request opens the device afresh and closes it again. The
// entry points serialize all driver traffic of the process on one lock, which
// they wait for with a bound; a request that another thread gave up on can be
// cancelled, so the lock never stays held by it. Thread-safe.
class IoctlDevManager {
 public:
  static bool createDev(const std::u16string& image_path, const std::u16string& connection_tag, uint64_t volume_size,
                        uint32_t sector_size, bool mount_flag);
  static bool removeDev(const std::u16string& connection_tag);
  static bool requestDevInfo(DevInfo* info, uint32_t* count);

  // The same, for a caller that may give up: once `abandoned` is set, the
  // call opens the device no more and sends no further request.
  static bool createDev(const std::u16string& image_path, const std::u16string& connection_tag, uint64_t volume_size,
                        uint32_t sector_size, bool mount_flag, const std::atomic<bool>* abandoned);
  static bool removeDev(const std::u16string& connection_tag, const std::atomic<bool>* abandoned);
  static bool requestDevInfo(DevInfo* info, uint32_t* count, const std::atomic<bool>* abandoned);

  // Cancels the request that thread `requester` waits in, if it holds the channel.
  static void cancelRequestOf(std::thread::id requester);

 private:
  static sys::DeviceIo::Handle getDriverHandle(const std::u16string* dev_path);
  static sys::DeviceIo::Handle openDevice();
  static bool getActiveDevice(DevInfo* info, uint32_t* count);
  static int32_t getConnectionCount();
  static bool connectDevice(const std::u16string& image_path, const std::u16string& connection_tag,
                            uint64_t volume_size, uint32_t sector_size, bool mount_flag);
  static bool disconnectDevice(const std::u16string& connection_tag);
  // One control request on an open device, cancellable by cancelRequestOf and
  // not sent once the caller gave up; without `input` the request carries only
  // its sub-command.
  static bool control(sys::DeviceIo::Handle device, uint32_t subCommand, const void* input, uint32_t inputSize,
                      void* output, uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error);
};
