#include "sys/win32/Win32Tokens.h"

#include <windows.h>
// windows.h first
#include <rpc.h>
#include <rpcdcep.h>

#include <optional>
#include <span>
#include <vector>

#include "common/WinError.h"

namespace sys::win32 {
namespace {

HANDLE toHandle(Tokens::Handle handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }

Tokens::Handle fromHandle(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

// BUILTIN\Administrators, S-1-5-32-544.
constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kBuiltinDomainRid = 32;
constexpr uint32_t kAdministratorsRid = 544;

// The token's TOKEN_USER and the SID it points into.
uint32_t readTokenUser(Tokens::Handle token, std::vector<uint8_t>& information) {
  DWORD needed = 0;
  if (!GetTokenInformation(toHandle(token), TokenUser, nullptr, 0, &needed) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return GetLastError();
  }
  information.assign(needed, 0);
  if (!GetTokenInformation(toHandle(token), TokenUser, information.data(), needed, &needed)) return GetLastError();
  return WinError::Success;
}

PSID userSidOf(std::vector<uint8_t>& information) {
  return reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
}

}  // namespace

uint32_t Win32Tokens::openProcess(uint32_t pid, Handle& process) {
  const HANDLE opened = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  process = fromHandle(opened);
  return opened ? WinError::Success : GetLastError();
}

uint32_t Win32Tokens::openProcessToken(Handle process, Handle& token) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(toHandle(process), TOKEN_READ | TOKEN_DUPLICATE, &opened)) {
    token = 0;
    return GetLastError();
  }
  token = fromHandle(opened);
  return WinError::Success;
}

uint32_t Win32Tokens::isTokenUser(Handle token, const Sid& user, bool& same) {
  same = false;
  std::vector<uint8_t> information;
  if (const uint32_t error = readTokenUser(token, information)) return error;
  std::vector<uint8_t> expected = user.bytes();
  same = EqualSid(userSidOf(information), expected.data()) != FALSE;
  return WinError::Success;
}

uint32_t Win32Tokens::tokenUser(Handle token, std::optional<Sid>& user) {
  user.reset();
  std::vector<uint8_t> information;
  if (const uint32_t error = readTokenUser(token, information)) return error;
  const PSID sid = userSidOf(information);
  user = Sid::fromBytes(std::span(static_cast<const uint8_t*>(sid), GetLengthSid(sid)));
  return user ? WinError::Success : WinError::InvalidSid;
}

uint32_t Win32Tokens::isTokenAdministrator(Handle token, bool& administrator) {
  administrator = false;
  std::optional<Sid> user;
  if (const uint32_t error = tokenUser(token, user)) return error;
  if (*user == Sid::localSystem()) {
    administrator = true;
    return WinError::Success;
  }
  // Group membership is checked on an identification token made from the primary one.
  HANDLE identification = nullptr;
  if (!DuplicateToken(toHandle(token), SecurityIdentification, &identification)) return GetLastError();
  std::vector<uint8_t> administrators = Sid(kNtAuthority, {kBuiltinDomainRid, kAdministratorsRid}).bytes();
  BOOL member = FALSE;
  const BOOL checked = CheckTokenMembership(identification, administrators.data(), &member);
  const uint32_t error = checked ? WinError::Success : GetLastError();
  CloseHandle(identification);
  administrator = checked && member;
  return error;
}

void Win32Tokens::closeHandle(Handle handle) {
  if (handle != 0) CloseHandle(toHandle(handle));
}

uint32_t Win32Tokens::impersonateLoggedOnUser(Handle token) {
  return ImpersonateLoggedOnUser(toHandle(token)) ? WinError::Success : GetLastError();
}

uint32_t Win32Tokens::revertToSelf() { return RevertToSelf() ? WinError::Success : GetLastError(); }

uint32_t Win32Tokens::currentThreadId() { return GetCurrentThreadId(); }

int32_t Win32Tokens::localClientPid(uint32_t& pid) {
  unsigned long clientPid = 0;
  const RPC_STATUS status = I_RpcBindingInqLocalClientPID(nullptr, &clientPid);
  pid = status == RPC_S_OK ? clientPid : 0;
  return status;
}

}  // namespace sys::win32
