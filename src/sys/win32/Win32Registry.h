#pragma once

#include "sys/Registry.h"

namespace sys::win32 {

// The Windows registry itself.
class Win32Registry final : public Registry {
 public:
  uint32_t openKeyEx(Key parent, const std::u16string& subKey, uint32_t access, Key& key) override;
  uint32_t createKeyEx(Key parent, const std::u16string& subKey, uint32_t options, uint32_t access, Key& key) override;
  uint32_t setValueEx(Key key, const std::u16string& name, uint32_t type, const void* data, uint32_t size) override;
  uint32_t closeKey(Key key) override;
};

}  // namespace sys::win32
