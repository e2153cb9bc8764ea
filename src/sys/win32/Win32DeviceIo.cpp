#include "sys/win32/Win32DeviceIo.h"

#include <windows.h>

#include "common/WideString.h"

namespace sys::win32 {
namespace {

HANDLE toHandle(DeviceIo::Handle device) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(device)); }

}  // namespace

DeviceIo::Handle Win32DeviceIo::open(const std::u16string& path, uint32_t& error) {
  HANDLE device = CreateFileW(wide::toWchar(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kInvalidHandle;
  }
  return reinterpret_cast<uintptr_t>(device);
}

bool Win32DeviceIo::control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                            uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) {
  DWORD returned = 0;
  const BOOL done = DeviceIoControl(toHandle(device), controlCode, const_cast<void*>(input), inputSize, output,
                                    outputSize, &returned, nullptr);
  bytesReturned = returned;
  error = done ? ERROR_SUCCESS : GetLastError();
  return done != FALSE;
}

void Win32DeviceIo::cancel(Handle device) { CancelIoEx(toHandle(device), nullptr); }

void Win32DeviceIo::close(Handle device) { CloseHandle(toHandle(device)); }

}  // namespace sys::win32
