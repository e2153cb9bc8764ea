#pragma once

#include "sys/Tokens.h"

namespace sys::win32 {

// Process tokens and thread impersonation through the system's own calls;
// handles are the system's handles, errors its GetLastError() values.
class Win32Tokens final : public Tokens {
 public:
  uint32_t openProcess(uint32_t pid, Handle& process) override;
  uint32_t openProcessToken(Handle process, Handle& token) override;
  uint32_t isTokenUser(Handle token, const Sid& user, bool& same) override;
  uint32_t tokenUser(Handle token, std::optional<Sid>& user) override;
  uint32_t isTokenAdministrator(Handle token, bool& administrator) override;
  void closeHandle(Handle handle) override;
  uint32_t impersonateLoggedOnUser(Handle token) override;
  uint32_t revertToSelf() override;
  uint32_t currentThreadId() override;
  int32_t localClientPid(uint32_t& pid) override;
};

}  // namespace sys::win32
