#pragma once

#include "sys/ModuleInfo.h"

namespace sys::posix {

// The program path from /proc/self/exe; the version data is compiled into the
// program and belongs to the program's own file only.
class PosixModuleInfo final : public ModuleInfo {
 public:
  std::u16string programPath() override;
  uint32_t versionDataSize(const std::u16string& path) override;
  bool readVersionData(const std::u16string& path, uint8_t* data, uint32_t size) override;
  bool queryRootBlock(const uint8_t* data, uint32_t size, const void** value, uint32_t* length) override;
};

}  // namespace sys::posix
