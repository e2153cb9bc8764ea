#pragma once

#include <windows.h>

#include <string>

// An open registry key, closed with its owner. Errors are Win32 error codes.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Creates or opens `path` below `parent` for writing.
  static LSTATUS create(HKEY parent, const std::wstring& path, RegistryKey& key);
  // Opens `path` below `parent` with `access`.
  static LSTATUS open(HKEY parent, const std::wstring& path, REGSAM access, RegistryKey& key);

  // Writes string value `name` (empty: the key's default value).
  LSTATUS setString(const std::wstring& name, const std::wstring& value) const;
  // Reads string value `name`, at most `maxLength` characters.
  LSTATUS getString(const std::wstring& name, size_t maxLength, std::wstring& value) const;
  LSTATUS deleteValue(const std::wstring& name) const;

  HKEY get() const { return key_; }

 private:
  explicit RegistryKey(HKEY key) : key_(key) {}

  HKEY key_ = nullptr;
};
