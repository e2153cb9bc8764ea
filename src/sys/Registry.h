#pragma once

#include <cstdint>
#include <string>

namespace sys {

// The registry: keys under a predefined root, and typed values in them
// (RegOpenKeyExW, RegCreateKeyExW, RegSetValueExW, RegCloseKey). Sub-key
// paths are relative to the key given, with backslashes between the parts;
// names are matched without regard to case. Access masks are passed through.
// Results are Win32 errors (0 success).
class Registry {
 public:
  using Key = uint64_t;  // an open key or a predefined root; 0: none

  static constexpr Key HKEY_LOCAL_MACHINE = 0x80000002;

  static constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
  static constexpr uint32_t KEY_SET_VALUE = 0x0002;
  static constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
  static constexpr uint32_t KEY_WRITE = 0x20006;

  static constexpr uint32_t REG_OPTION_NON_VOLATILE = 0;

  static constexpr uint32_t REG_SZ = 1;
  static constexpr uint32_t REG_MULTI_SZ = 7;

  virtual ~Registry() = default;

  // Opens an existing key; a missing one is error 2 (ERROR_FILE_NOT_FOUND).
  virtual uint32_t openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) = 0;
  // Opens the key, creating it and any missing key above it; no class and
  // default security.
  virtual uint32_t createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access,
                               Key& key) = 0;
  // Stores `size` bytes of `data` (null only with size 0) as the value `name`
  // of `type`, replacing any value of that name.
  virtual uint32_t setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data, uint32_t size) = 0;
  virtual uint32_t closeKey(Key key) = 0;
};

}  // namespace sys
