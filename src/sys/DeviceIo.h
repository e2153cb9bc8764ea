#pragma once

#include <cstdint>
#include <string>

namespace sys {

// Device I/O control on a device path: CreateFileW (read and write,
// exclusive, OPEN_EXISTING), DeviceIoControl, CloseHandle. Every request is
// answered within a bound; cancel (CancelIoEx) ends one that another thread
// waits in. Errors are Win32 errors.
class DeviceIo {
 public:
  using Handle = uint64_t;
  static constexpr Handle kInvalidHandle = ~uint64_t{0};

  virtual ~DeviceIo() = default;

  virtual Handle open(const std::u16string& path, uint32_t& error) = 0;
  virtual bool control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                       uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) = 0;
  virtual void cancel(Handle device) = 0;
  virtual void close(Handle device) = 0;
};

}  // namespace sys
