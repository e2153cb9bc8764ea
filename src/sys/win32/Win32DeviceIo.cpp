#include "sys/win32/Win32DeviceIo.h"

#include <windows.h>

#include <memory>

#include "common/WideString.h"

namespace sys::win32 {
namespace {

using EventHandle = std::unique_ptr<void, decltype(&CloseHandle)>;

HANDLE toHandle(DeviceIo::Handle device) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(device)); }

}  // namespace

Win32DeviceIo::Win32DeviceIo(std::chrono::milliseconds replyWait) : replyWait_(replyWait) {}

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
  bytesReturned = 0;
  const EventHandle completed(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseHandle);
  if (!completed) {
    error = GetLastError();
    return false;
  }
  const HANDLE file = toHandle(device);
  OVERLAPPED request{};
  request.hEvent = completed.get();
  if (!DeviceIoControl(file, controlCode, const_cast<void*>(input), inputSize, output, outputSize, nullptr, &request) &&
      GetLastError() != ERROR_IO_PENDING) {
    error = GetLastError();
    return false;
  }
  const bool timedOut = !HasOverlappedIoCompleted(&request) &&
                        WaitForSingleObject(completed.get(), static_cast<DWORD>(replyWait_.count())) != WAIT_OBJECT_0;
  if (timedOut) CancelIoEx(file, &request);
  // Until the request has ended, cancelled or not, the system may still write
  // the output and the request's status: so its end is awaited.
  DWORD returned = 0;
  const BOOL done = GetOverlappedResult(file, &request, &returned, TRUE);
  bytesReturned = returned;
  error = done ? ERROR_SUCCESS : GetLastError();
  if (timedOut && error == ERROR_OPERATION_ABORTED) error = ERROR_TIMEOUT;
  return done != FALSE;
}

void Win32DeviceIo::cancel(Handle device) { CancelIoEx(toHandle(device), nullptr); }

void Win32DeviceIo::close(Handle device) { CloseHandle(toHandle(device)); }

}  // namespace sys::win32
