#include "sys/win32/Win32Volumes.h"

#include <windows.h>

#include "common/WideString.h"

namespace sys::win32 {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the system's wide strings are UTF-16");

HANDLE toHandle(uint64_t handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }

wchar_t* toWchar(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

}  // namespace

Volumes::FindHandle Win32Volumes::findFirstVolume(char16_t* name, uint32_t length, uint32_t& error) {
  HANDLE search = FindFirstVolumeW(toWchar(name), length);
  if (search == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kInvalidFind;
  }
  return reinterpret_cast<uintptr_t>(search);
}

bool Win32Volumes::findNextVolume(FindHandle search, char16_t* name, uint32_t length, uint32_t& error) {
  if (FindNextVolumeW(toHandle(search), toWchar(name), length)) return true;
  error = GetLastError();
  return false;
}

void Win32Volumes::findVolumeClose(FindHandle search) { FindVolumeClose(toHandle(search)); }

uint32_t Win32Volumes::queryDosDevice(const std::u16string& deviceName, char16_t* targets, uint32_t length,
                                      uint32_t& error) {
  const DWORD stored = QueryDosDeviceW(wide::toWchar(deviceName).c_str(), toWchar(targets), length);
  if (stored == 0) error = GetLastError();
  return stored;
}

bool Win32Volumes::getVolumePathNamesForVolumeName(const std::u16string& volumeName, char16_t* names, uint32_t length,
                                                   uint32_t& returnLength, uint32_t& error) {
  DWORD needed = 0;
  const BOOL done =
      GetVolumePathNamesForVolumeNameW(wide::toWchar(volumeName).c_str(), toWchar(names), length, &needed);
  returnLength = needed;
  if (!done) error = GetLastError();
  return done != FALSE;
}

Volumes::Handle Win32Volumes::open(const std::u16string& path, uint32_t& error) {
  HANDLE volume = CreateFileW(wide::toWchar(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (volume == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return kInvalidHandle;
  }
  return reinterpret_cast<uintptr_t>(volume);
}

bool Win32Volumes::control(Handle volume, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                           uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) {
  DWORD returned = 0;
  const BOOL done = DeviceIoControl(toHandle(volume), controlCode, const_cast<void*>(input), inputSize, output,
                                    outputSize, &returned, nullptr);
  bytesReturned = returned;
  error = done ? ERROR_SUCCESS : GetLastError();
  return done != FALSE;
}

void Win32Volumes::close(Handle volume) { CloseHandle(toHandle(volume)); }

}  // namespace sys::win32
