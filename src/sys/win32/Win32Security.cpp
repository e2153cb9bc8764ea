#include "sys/win32/Win32Security.h"

#include <windows.h>

#include "common/WideString.h"

namespace sys::win32 {
namespace {

constexpr DWORD kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;

// The token the calling thread acts with, made its own first when it has none.
uint32_t openThreadToken(HANDLE& token) {
  if (OpenThreadToken(GetCurrentThread(), kTokenAccess, TRUE, &token)) return ERROR_SUCCESS;
  if (GetLastError() != ERROR_NO_TOKEN) return GetLastError();
  if (!ImpersonateSelf(SecurityImpersonation)) return GetLastError();
  return OpenThreadToken(GetCurrentThread(), kTokenAccess, TRUE, &token) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

uint32_t Win32Security::adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) {
  changed = false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  if (!LookupPrivilegeValueW(nullptr, wide::toWchar(name).c_str(), &privileges.Privileges[0].Luid)) {
    return GetLastError();
  }
  HANDLE token = nullptr;
  if (const uint32_t error = openThreadToken(token); error != ERROR_SUCCESS) return error;
  // The system lists the privilege in the previous state only when it changed; Wine lists it always.
  TOKEN_PRIVILEGES previous{};
  DWORD previousSize = 0;
  const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, &previous, &previousSize);
  const uint32_t error = GetLastError();  // ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege
  CloseHandle(token);
  if (!adjusted || error != ERROR_SUCCESS) return error;
  changed = previous.PrivilegeCount == 1 && ((previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0) != enable;
  return ERROR_SUCCESS;
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
