#include "sys/win32/Win32Security.h"

#include <windows.h>

#include "common/WideString.h"

namespace sys::win32 {

uint32_t Win32Security::adjustProcessPrivilege(const std::u16string& name, bool enable) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return GetLastError();
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  uint32_t error = ERROR_SUCCESS;
  if (!LookupPrivilegeValueW(nullptr, wide::toWchar(name).c_str(), &privileges.Privileges[0].Luid)) {
    error = GetLastError();
  } else if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
    error = GetLastError();
  } else {
    error = GetLastError();  // ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege
  }
  CloseHandle(token);
  return error;
}

uint32_t Win32Security::tryOpenForReading(const std::u16string& path) {
  const HANDLE file = CreateFileW(wide::toWchar(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return ERROR_SUCCESS;
}

uint32_t Win32Security::getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer,
                                        uint32_t size, uint32_t& needed) {
  DWORD length = 0;
  const BOOL ok = GetFileSecurityW(wide::toWchar(path).c_str(), information, buffer, size, &length);
  needed = length;
  return ok ? ERROR_SUCCESS : GetLastError();
}

uint32_t Win32Security::setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                                        uint32_t) {
  const auto security = const_cast<PSECURITY_DESCRIPTOR>(static_cast<const void*>(descriptor));
  return SetFileSecurityW(wide::toWchar(path).c_str(), information, security) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace sys::win32
