#pragma once

#include "sys/Security.h"

namespace sys::win32 {

// The process token's privileges and file security through the system's own
// calls; errors are its GetLastError() values.
class Win32Security final : public Security {
 public:
  uint32_t adjustProcessPrivilege(const std::u16string& name, bool enable) override;
  uint32_t tryOpenForReading(const std::u16string& path) override;
  uint32_t getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer, uint32_t size,
                           uint32_t& needed) override;
  uint32_t setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                           uint32_t size) override;
};

}  // namespace sys::win32
