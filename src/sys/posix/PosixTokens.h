#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sys/Tokens.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// The file-access identity a thread acts as: the Linux side of a token.
struct Identity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;

  friend bool operator==(const Identity&, const Identity&) = default;
};

// Reads the real uid, the real gid and the supplementary groups from the text
// of /proc/PID/status. False, with `identity` unchanged, unless each of the
// "Uid:", "Gid:" and "Groups:" lines appears once and is well formed.
bool parseProcessStatus(std::string_view text, Identity& identity);

// Tokens of Linux processes. A process handle holds the process's /proc
// directory open, so that it keeps naming that process even when its pid is
// reused; a token handle holds the identity read from it. Impersonation sets
// the file-system uid and gid and the groups of the calling thread only,
// which lets a privileged process (CAP_SETUID, CAP_SETGID) open files as
// another user on one thread while its other threads go on as themselves.
class PosixTokens final : public Tokens {
 public:
  PosixTokens();

  uint32_t openProcess(uint32_t pid, Handle& process) override;
  uint32_t openProcessToken(Handle process, Handle& token) override;
  void closeHandle(Handle handle) override;
  uint32_t impersonateLoggedOnUser(Handle token) override;
  uint32_t revertToSelf() override;
  uint32_t currentThreadId() override;
  // The client pid of the call this thread serves (see ScopedCallContext).
  int32_t localClientPid(uint32_t& pid) override;

 private:
  // What a handle stands for: a process's /proc directory or a token.
  using Object = std::variant<UniqueFd, Identity>;

  Handle add(Object object);
  Identity ownIdentity() const;
  // The text of the process's /proc/PID/status.
  uint32_t readStatus(Handle process, std::string& status);

  // The process's own groups, as they were before any thread impersonated.
  const std::vector<gid_t> ownGroups_;
  std::mutex mutex_;  // guards the table
  std::map<Handle, Object> objects_;
  Handle next_ = 1;
};

}  // namespace sys::posix
