#pragma once

#include <sdbus-c++/IProxy.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

// Who called a method: the connection the call came from, and the user and
// the process that the bus daemon saw when that connection was made (not
// what the message claims). The process stands for the client whose user a
// mount acts as, as the COM caller's process does on Windows.
class BusCaller {
 public:
  static constexpr std::chrono::seconds kQueryTimeout{5};

  // Asks the bus daemon (GetConnectionCredentials) about the connection
  // `sender`; none when it cannot tell, as for a connection already gone.
  static std::optional<BusCaller> identify(sdbus::IProxy& busDaemon, const std::string& sender);

  // The process to act as: the caller's process while it is still run by
  // the caller's user; 0 (no client) when it is gone, or when its pid now
  // names a process of another user, so that a reused pid never lends its
  // identity.
  uint32_t processToActAs() const;
  // Whether process `pid` exists and is run by user `uid` (its real user, as
  // its token names it).
  static bool processRunBy(uint32_t pid, uint32_t uid);

  const std::string& uniqueName() const { return uniqueName_; }
  uint32_t uid() const { return uid_; }
  uint32_t pid() const { return pid_; }

 private:
  BusCaller(std::string uniqueName, uint32_t uid, uint32_t pid)
      : uniqueName_(std::move(uniqueName)), uid_(uid), pid_(pid) {}

  std::string uniqueName_;
  uint32_t uid_;
  uint32_t pid_;
};
