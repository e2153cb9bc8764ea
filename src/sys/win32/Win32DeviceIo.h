#pragma once

#include "sys/DeviceIo.h"

namespace sys::win32 {

class Win32DeviceIo final : public DeviceIo {
 public:
  Handle open(const std::u16string& path, uint32_t& error) override;
  bool control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
               uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) override;
  void cancel(Handle device) override;
  void close(Handle device) override;
};

}  // namespace sys::win32
