#pragma once

#include "sys/ModuleInfo.h"

namespace sys::win32 {

// The program path and the VERSIONINFO resources of program files.
class Win32ModuleInfo final : public ModuleInfo {
 public:
  std::u16string programPath() override;
  uint32_t versionDataSize(const std::u16string& path) override;
  bool readVersionData(const std::u16string& path, uint8_t* data, uint32_t size) override;
  bool queryRootBlock(const uint8_t* data, uint32_t size, const void** value, uint32_t* length) override;
};

}  // namespace sys::win32
