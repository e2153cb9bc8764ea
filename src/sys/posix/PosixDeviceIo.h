#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "sys/DeviceIo.h"

namespace sys::posix {

// Device control on Linux: opening an interface connects to the driver's
// socket, and each control request is one message out and one back
// (DeviceProtocol.h), answered within a bound. Handles are table entries:
// cancelling or closing one shuts its socket down, which ends a request that
// another thread waits in; the descriptor goes with the last user. A driver
// that does not take a connection within `connectWait` cannot be opened.
class PosixDeviceIo final : public DeviceIo {
 public:
  static constexpr std::chrono::milliseconds kConnectWait{5000};

  explicit PosixDeviceIo(std::chrono::milliseconds connectWait = kConnectWait);
  ~PosixDeviceIo() override;

  Handle open(const std::u16string& path, uint32_t& error) override;
  bool control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
               uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) override;
  void cancel(Handle device) override;
  void close(Handle device) override;

 private:
  struct Connection;

  std::shared_ptr<Connection> find(Handle device);

  const std::chrono::milliseconds connectWait_;
  std::mutex mutex_;
  std::map<Handle, std::shared_ptr<Connection>> connections_;
  Handle next_ = 1;
};

}  // namespace sys::posix
