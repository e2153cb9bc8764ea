#include "sys/win32/Win32Tokens.h"

#include <windows.h>
// windows.h first
#include <rpc.h>
#include <rpcdcep.h>

#include <vector>

#include "common/WinError.h"

namespace sys::win32 {
namespace {

HANDLE toHandle(Tokens::Handle handle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)); }

Tokens::Handle fromHandle(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }

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
  DWORD needed = 0;
  if (!GetTokenInformation(toHandle(token), TokenUser, nullptr, 0, &needed) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return GetLastError();
  }
  std::vector<uint8_t> information(needed);  // a TOKEN_USER and the SID it points into
  if (!GetTokenInformation(toHandle(token), TokenUser, information.data(), needed, &needed)) return GetLastError();
  std::vector<uint8_t> expected = user.bytes();
  same = EqualSid(reinterpret_cast<const TOKEN_USER*>(information.data())->User.Sid, expected.data()) != FALSE;
  return WinError::Success;
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
