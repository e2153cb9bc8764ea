#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "common/Sid.h"

namespace sys {

// Process tokens and the calling thread's impersonation (OpenProcess,
// OpenProcessToken, GetTokenInformation with EqualSid, CheckTokenMembership,
// ImpersonateLoggedOnUser, RevertToSelf, CloseHandle, GetCurrentThreadId,
// I_RpcBindingInqLocalClientPID).
// Results are Win32 errors (0 success), the client-pid query's an RPC status.
class Tokens {
 public:
  using Handle = uint64_t;  // 0: none

  virtual ~Tokens() = default;

  // A process handle with PROCESS_QUERY_INFORMATION.
  virtual uint32_t openProcess(uint32_t pid, Handle& process) = 0;
  // The process's primary token, with TOKEN_READ | TOKEN_DUPLICATE.
  virtual uint32_t openProcessToken(Handle process, Handle& token) = 0;
  // Whether the token's user is `user`, such as the user a client's
  // connection reports; `same` is false on failure.
  virtual uint32_t isTokenUser(Handle token, const Sid& user, bool& same) = 0;
  // The token's user; none on failure.
  virtual uint32_t tokenUser(Handle token, std::optional<Sid>& user) = 0;
  // Whether the token's user may act for any user of the machine: root on
  // Linux; on Windows LocalSystem or an enabled member of the Administrators
  // group (a token filtered by user account control is not). False on failure.
  virtual uint32_t isTokenAdministrator(Handle token, bool& administrator) = 0;
  virtual void closeHandle(Handle handle) = 0;
  // Makes the calling thread, and only it, act as the token's user.
  virtual uint32_t impersonateLoggedOnUser(Handle token) = 0;
  // Gives the calling thread back the process's own identity.
  virtual uint32_t revertToSelf() = 0;
  virtual uint32_t currentThreadId() = 0;
  // The process id of the local client whose call this thread serves.
  virtual int32_t localClientPid(uint32_t& pid) = 0;

  // The call the calling thread serves, to be carried to a thread that works
  // on it for the calling one; null when it serves none. The default carries
  // nothing: only a backend whose driver learns the caller needs it.
  using Call = std::shared_ptr<const void>;
  virtual Call currentCall() { return nullptr; }
  // Makes the calling thread serve `call` until the returned guard goes (on
  // the same thread); null for a null call.
  virtual std::shared_ptr<void> serveCall(const Call& call) {
    (void)call;
    return nullptr;
  }
};

}  // namespace sys
