#pragma once

#include <chrono>

#include "sys/DeviceIo.h"

namespace sys::win32 {

// Device control on the driver's device, opened for overlapped I/O as the
// driver expects. A control request that the driver pends is awaited for at
// most the reply bound, then cancelled; the call returns only once the system
// is done with the caller's buffers. Thread-safe; cancel may come from any thread.
class Win32DeviceIo final : public DeviceIo {
 public:
  // A driver that has not answered by then is taken as not answering.
  static constexpr std::chrono::milliseconds kReplyWait{15000};

  explicit Win32DeviceIo(std::chrono::milliseconds replyWait = kReplyWait);

  Handle open(const std::u16string& path, uint32_t& error) override;
  bool control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
               uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) override;
  void cancel(Handle device) override;
  void close(Handle device) override;

 private:
  const std::chrono::milliseconds replyWait_;
};

}  // namespace sys::win32
