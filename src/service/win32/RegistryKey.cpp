#include "service/win32/RegistryKey.h"

#include <utility>
#include <vector>

RegistryKey::~RegistryKey() {
  if (key_) RegCloseKey(key_);
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    if (key_) RegCloseKey(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

LSTATUS RegistryKey::create(HKEY parent, const std::wstring& path, RegistryKey& key) {
  HKEY created = nullptr;
  const LSTATUS result =
      RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &created, nullptr);
  if (result == ERROR_SUCCESS) key = RegistryKey(created);
  return result;
}

LSTATUS RegistryKey::open(HKEY parent, const std::wstring& path, REGSAM access, RegistryKey& key) {
  HKEY opened = nullptr;
  const LSTATUS result = RegOpenKeyExW(parent, path.c_str(), 0, access, &opened);
  if (result == ERROR_SUCCESS) key = RegistryKey(opened);
  return result;
}

LSTATUS RegistryKey::setString(const std::wstring& name, const std::wstring& value) const {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key_, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

LSTATUS RegistryKey::getString(const std::wstring& name, size_t maxLength, std::wstring& value) const {
  std::vector<wchar_t> buffer(maxLength + 1, L'\0');
  DWORD bytes = static_cast<DWORD>(maxLength * sizeof(wchar_t));
  DWORD type = 0;
  const LSTATUS result = RegQueryValueExW(key_, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                                          reinterpret_cast<BYTE*>(buffer.data()), &bytes);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  value.assign(buffer.data());
  return ERROR_SUCCESS;
}

LSTATUS RegistryKey::deleteValue(const std::wstring& name) const { return RegDeleteValueW(key_, name.c_str()); }
