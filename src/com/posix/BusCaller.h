#pragma once

#include <sdbus-c++/IProxy.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "sys/posix/PosixTokens.h"

// Who called a method: the connection the call came from, the user and the
// process that the bus daemon saw when that connection was made (not what
// the message claims), and the identity of that process, read once when the
// call arrived. The process stands for the client whose user a mount acts
// as, as the COM caller's process does on Windows; its identity is used
// from then on, and its pid never looked up again.
class BusCaller {
 public:
  static constexpr std::chrono::seconds kQueryTimeout{5};

  // Asks the bus daemon (GetConnectionCredentials) about the connection
  // `sender`, and reads its process's identity; none when the daemon cannot
  // tell, as for a connection already gone.
  static std::optional<BusCaller> identify(sdbus::IProxy& busDaemon, const std::string& sender);

  // The identity of process `pid` while its real user is `uid`; none when
  // there is no such process or another user runs it, so that a reused pid
  // never lends its identity.
  static std::optional<sys::posix::Identity> identityOf(uint32_t pid, uint32_t uid);

  const std::string& uniqueName() const { return uniqueName_; }
  uint32_t uid() const { return uid_; }
  uint32_t pid() const { return pid_; }
  // The caller's process's identity as read when the call arrived; none
  // when that process was gone or run by another user.
  const std::optional<sys::posix::Identity>& identity() const { return identity_; }

 private:
  BusCaller(std::string uniqueName, uint32_t uid, uint32_t pid)
      : uniqueName_(std::move(uniqueName)), uid_(uid), pid_(pid), identity_(identityOf(pid, uid)) {}

  std::string uniqueName_;
  uint32_t uid_;
  uint32_t pid_;
  std::optional<sys::posix::Identity> identity_;
};
