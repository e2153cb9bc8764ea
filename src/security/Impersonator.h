#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sys/Tokens.h"

// Lets threads act as the user of a client process: it takes the token of
// that process once, then makes threads impersonate it and reverts only the
// threads it made impersonate. Shared (std::shared_ptr) by every thread that
// is handed it, so that it lives as long as any of them; impersonation stays
// per thread. Failures are logged and reported as false.
class Impersonator {
 public:
  Impersonator() = default;
  // Reverts the calling thread when this object made it impersonate, and
  // closes the token. Other threads keep their impersonation.
  ~Impersonator();
  Impersonator(const Impersonator&) = delete;
  Impersonator& operator=(const Impersonator&) = delete;

  // Takes the token of process `pid`; one taken before is closed.
  bool logonAsProcess(uint32_t pid);
  // Takes the token of the local client whose call this thread serves.
  bool logonAsComClient();
  // Whether the token is that of `user` (the user a client's connection
  // reports), so that a caller can refuse the token of another user's
  // process. False without a token.
  bool isLoggedOnAs(const Sid& user);
  // The token's user; none without a token or when it cannot be read.
  std::optional<Sid> loggedOnUser();
  // Whether the token's user may act for any user (root, an administrator,
  // LocalSystem). False without a token or when it cannot be told.
  bool isAdministrator();
  // Makes the calling thread act as the token's user. Without a token (no
  // logon, or a failed one) this fails: the thread stays itself, and its
  // caller must not go on as if it acted as the user.
  bool impersonateToUser();
  // Gives the calling thread its own identity back when this object made it
  // impersonate; otherwise changes nothing.
  bool resetImpersonation();

 private:
  static uint32_t comClientPid();

  sys::Tokens::Handle token_ = 0;
  std::vector<uint32_t> threads_;  // ids of the threads made to impersonate, once per time
};
