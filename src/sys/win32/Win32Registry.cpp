#include "sys/win32/Win32Registry.h"

#include <windows.h>

#include "common/WideString.h"
#include "common/WinError.h"

namespace sys::win32 {
namespace {

// Predefined roots are 32-bit values that Windows sign-extends into a handle.
HKEY toNative(Registry::Key key) {
  if (key >> 31 == 1) return reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(key)));
  return reinterpret_cast<HKEY>(static_cast<uintptr_t>(key));
}

Registry::Key fromNative(HKEY key) { return reinterpret_cast<uintptr_t>(key); }

// The API takes zero-terminated names: one with a zero inside would name
// another key or value, so it is refused.
bool holdsZero(const std::u16string& name) { return name.find(u'\0') != std::u16string::npos; }

}  // namespace

uint32_t Win32Registry::openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) {
  key = 0;
  if (holdsZero(subKey)) return WinError::InvalidParameter;
  HKEY opened = nullptr;
  const LSTATUS status = RegOpenKeyExW(toNative(parent), wide::toWchar(subKey).c_str(), 0, access, &opened);
  if (status == ERROR_SUCCESS) key = fromNative(opened);
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access,
                                    Key& key) {
  key = 0;
  if (holdsZero(subKey)) return WinError::InvalidParameter;
  HKEY created = nullptr;
  const LSTATUS status = RegCreateKeyExW(toNative(parent), wide::toWchar(subKey).c_str(), 0, nullptr, options, access,
                                         nullptr, &created, nullptr);
  if (status == ERROR_SUCCESS) key = fromNative(created);
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data,
                                   uint32_t size) {
  if (holdsZero(name)) return WinError::InvalidParameter;
  return static_cast<uint32_t>(
      RegSetValueExW(toNative(key), wide::toWchar(name).c_str(), 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t Win32Registry::closeKey(Key key) { return static_cast<uint32_t>(RegCloseKey(toNative(key))); }

}  // namespace sys::win32
