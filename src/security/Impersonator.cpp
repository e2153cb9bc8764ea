#include "security/Impersonator.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/Lock.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

// A holder that has not let go by then is wedged; the operation that waited
// fails with a log line rather than wait on.
constexpr std::chrono::milliseconds kLockTimeout{10000};

// Guards the token and thread list of every Impersonator. Created on first use
// and never destroyed, so that it outlives every Impersonator and every thread
// that still uses one while the process exits.
Lock& impersonationLock() {
  static Lock* const lock = new Lock;
  return *lock;
}

}  // namespace

Impersonator::~Impersonator() {
  resetImpersonation();
  if (token_ != 0) sys::platform().tokens().closeHandle(token_);
  debugLog(u"Impersonator::~Impersonator deleted\n");
}

bool Impersonator::logonAsProcess(uint32_t pid) {
  if (pid == 0) {
    debugLog(u"Impersonator::logonAsProcess err pid=0\n");
    return false;
  }
  sys::Tokens& tokens = sys::platform().tokens();
  sys::Tokens::Handle process = 0;
  if (const uint32_t error = tokens.openProcess(pid, process)) {
    debugLog(u"Impersonator::logonAsProcess OpenProcess err=0x%X\n", error);
    return false;
  }
  sys::Tokens::Handle token = 0;
  const uint32_t error = tokens.openProcessToken(process, token);
  tokens.closeHandle(process);
  if (error != 0) {
    debugLog(u"Impersonator::logonAsProcess OpenProcessToken err=0x%X\n", error);
    return false;
  }
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::logonAsProcess lock timeout\n");
    tokens.closeHandle(token);
    return false;
  }
  std::swap(token_, token);
  if (token != 0) tokens.closeHandle(token);  // the one of an earlier logon
  return true;
}

bool Impersonator::logonAsComClient() {
  const uint32_t pid = comClientPid();
  debugLog(u"Impersonator::logonAsComClient client_pid=%u\n", pid);
  const bool loggedOn = logonAsProcess(pid);
  if (loggedOn) debugLog(u"Impersonator::logonAsComClient OK\n");
  return loggedOn;
}

bool Impersonator::isLoggedOnAs(const Sid& user) {
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::isLoggedOnAs lock timeout\n");
    return false;
  }
  if (token_ == 0) {
    debugLog(u"Impersonator::isLoggedOnAs no logged user\n");
    return false;
  }
  bool same = false;
  if (const uint32_t error = sys::platform().tokens().isTokenUser(token_, user, same)) {
    debugLog(u"Impersonator::isLoggedOnAs GetTokenInformation err=0x%X\n", error);
    return false;
  }
  return same;
}

std::optional<Sid> Impersonator::loggedOnUser() {
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::loggedOnUser lock timeout\n");
    return std::nullopt;
  }
  if (token_ == 0) {
    debugLog(u"Impersonator::loggedOnUser no logged user\n");
    return std::nullopt;
  }
  std::optional<Sid> user;
  if (const uint32_t error = sys::platform().tokens().tokenUser(token_, user)) {
    debugLog(u"Impersonator::loggedOnUser GetTokenInformation err=0x%X\n", error);
  }
  return user;
}

bool Impersonator::isAdministrator() {
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::isAdministrator lock timeout\n");
    return false;
  }
  if (token_ == 0) {
    debugLog(u"Impersonator::isAdministrator no logged user\n");
    return false;
  }
  bool administrator = false;
  if (const uint32_t error = sys::platform().tokens().isTokenAdministrator(token_, administrator)) {
    debugLog(u"Impersonator::isAdministrator CheckTokenMembership err=0x%X\n", error);
  }
  return administrator;
}

bool Impersonator::impersonateToUser() {
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::impersonateToUser lock timeout\n");
    return false;
  }
  if (token_ == 0) {
    debugLog(u"Impersonator::impersonateToUser no logged user\n");
    return false;
  }
  sys::Tokens& tokens = sys::platform().tokens();
  if (const uint32_t error = tokens.impersonateLoggedOnUser(token_)) {
    debugLog(u"Impersonator::impersonateToUser ImpersonateLoggedOnUser err=0x%X\n", error);
    return false;
  }
  threads_.push_back(tokens.currentThreadId());
  return true;
}

bool Impersonator::resetImpersonation() {
  const ScopedLock lock(impersonationLock(), kLockTimeout);
  if (!lock.locked()) {
    debugLog(u"Impersonator::resetImpersonation lock timeout\n");
    return false;
  }
  sys::Tokens& tokens = sys::platform().tokens();
  if (std::erase(threads_, tokens.currentThreadId()) == 0) {
    debugLog(u"Impersonator::resetImpersonation thread not impersonated\n");
    return true;
  }
  if (const uint32_t error = tokens.revertToSelf()) {
    debugLog(u"Impersonator::resetImpersonation RevertToSelf err=0x%X\n", error);
    return false;
  }
  debugLog(u"Impersonator::resetImpersonation OK\n");
  return true;
}

uint32_t Impersonator::comClientPid() {
  uint32_t pid = 0;
  if (const int32_t status = sys::platform().tokens().localClientPid(pid)) {
    debugLog(u"Impersonator::getComClientPid I_RpcBindingInqLocalClientPID err rpc_status=0x%X\n", status);
    return 0;
  }
  return pid;
}
