#pragma once

#include <cstdint>
#include <optional>

#include "sys/posix/PosixTokens.h"

namespace sys::posix {

// Marks the calling thread as serving a call of the local client process
// `clientPid` for the guard's scope, so that the token backend can name the
// caller as the RPC run time does on Windows. The client's identity was
// taken once, when its call arrived; opening the client's pid gives that
// identity, never that of a process which holds the pid by now. A client
// without an identity (its process was gone, or run by another user than
// its connection's) is no client. Guards nest: each restores the context it
// found.
class ScopedCallContext {
 public:
  ScopedCallContext(uint32_t clientPid, std::optional<Identity> client);
  ~ScopedCallContext();
  ScopedCallContext(const ScopedCallContext&) = delete;
  ScopedCallContext& operator=(const ScopedCallContext&) = delete;

  // The client pid of the call the calling thread serves; 0 when none.
  static uint32_t currentClientPid();
  // The identity of the client of the call the calling thread serves; none
  // when it serves none.
  static std::optional<Identity> currentClient();
  // The identity of the call's client when `pid` is its pid; none otherwise.
  static std::optional<Identity> clientIdentity(uint32_t pid);

 private:
  const uint32_t clientPid_;
  const std::optional<Identity> client_;
  const ScopedCallContext* const previous_;
};

}  // namespace sys::posix
