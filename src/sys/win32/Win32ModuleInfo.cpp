#include "sys/win32/Win32ModuleInfo.h"

#include <windows.h>

#include "common/WideString.h"

namespace sys::win32 {

std::u16string Win32ModuleInfo::programPath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0) return {};
  return wide::fromWchar(std::wstring_view(path, length < MAX_PATH ? length : MAX_PATH - 1));
}

uint32_t Win32ModuleInfo::versionDataSize(const std::u16string& path) {
  DWORD ignored = 0;
  return GetFileVersionInfoSizeW(wide::toWchar(path).c_str(), &ignored);
}

bool Win32ModuleInfo::readVersionData(const std::u16string& path, uint8_t* data, uint32_t size) {
  return GetFileVersionInfoW(wide::toWchar(path).c_str(), 0, size, data) != FALSE;
}

bool Win32ModuleInfo::queryRootBlock(const uint8_t* data, uint32_t, const void** value, uint32_t* length) {
  void* found = nullptr;
  UINT foundLength = 0;
  if (!VerQueryValueW(data, L"\\", &found, &foundLength)) return false;
  *value = found;
  *length = foundLength;
  return true;
}

}  // namespace sys::win32
