#pragma once

#include <cstdint>

namespace sys::posix {

// Marks the calling thread as serving a call of the local client process
// `clientPid` for the guard's scope, so that the token backend can name the
// caller as the RPC run time does on Windows. Guards nest: each restores the
// context it found.
class ScopedCallContext {
 public:
  explicit ScopedCallContext(uint32_t clientPid);
  ~ScopedCallContext();
  ScopedCallContext(const ScopedCallContext&) = delete;
  ScopedCallContext& operator=(const ScopedCallContext&) = delete;

  // The client pid of the call the calling thread serves; 0 when none.
  static uint32_t currentClientPid();

 private:
  uint32_t previous_;
};

}  // namespace sys::posix
