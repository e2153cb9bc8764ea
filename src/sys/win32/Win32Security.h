#pragma once

#include "sys/Security.h"

namespace sys::win32 {

// The calling thread's privileges and file security through the system's own
// calls; errors are its GetLastError() values. A privilege is switched in the
// token the thread acts with: the client's token while it impersonates one;
// otherwise the thread is first given a copy of the process token of its own
// (ImpersonateSelf), so that other threads keep theirs. The copy lasts until
// the thread next reverts to itself.
class Win32Security final : public Security {
 public:
  uint32_t adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) override;
  uint32_t tryOpenForReading(const std::u16string& path) override;
  uint32_t getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer, uint32_t size,
                           uint32_t& needed) override;
  uint32_t setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                           uint32_t size) override;
};

}  // namespace sys::win32
