#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
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

// The identity of process `pid` as its /proc entry tells it, read once,
// through one opening of that entry; none when there is no such process or
// its entry cannot be read.
std::optional<Identity> readProcessIdentity(uint32_t pid);

// How a Linux user is named as a token's user: the service's own account is
// LocalSystem (S-1-5-18), as file DACLs show it, any other uid S-1-22-1-UID.
// The user a client's connection reports (its peer uid) is named the same way.
Sid userSid(uid_t uid);

// Tokens of Linux processes. A process handle holds the process's /proc
// directory open, so that it keeps naming that process even when its pid is
// reused; a token handle holds the identity read from it. The process of the
// client whose call the thread serves is opened as the identity taken when
// the call arrived (see ScopedCallContext), without looking at /proc again. Impersonation sets
// the file-system uid and gid and the groups of the calling thread only,
// which lets a privileged process (CAP_SETUID, CAP_SETGID) open files as
// another user on one thread while its other threads go on as themselves.
// While the thread acts as a client none of its capabilities is in effect
// (the kernel would clear only the file ones, and others such as
// CAP_SYS_PTRACE reach files through /proc/PID/cwd); reverting gives it back
// exactly the capabilities it had before.
class PosixTokens final : public Tokens {
 public:
  PosixTokens();

  uint32_t openProcess(uint32_t pid, Handle& process) override;
  uint32_t openProcessToken(Handle process, Handle& token) override;
  // Compares the token's real uid, the one the thread acts as when it
  // impersonates the token.
  uint32_t isTokenUser(Handle token, const Sid& user, bool& same) override;
  // The user named by the token's real uid.
  uint32_t tokenUser(Handle token, std::optional<Sid>& user) override;
  // Root, by the token's real uid.
  uint32_t isTokenAdministrator(Handle token, bool& administrator) override;
  void closeHandle(Handle handle) override;
  uint32_t impersonateLoggedOnUser(Handle token) override;
  uint32_t revertToSelf() override;
  uint32_t currentThreadId() override;
  // The client pid of the call this thread serves (see ScopedCallContext).
  int32_t localClientPid(uint32_t& pid) override;
  Call currentCall() override;
  std::shared_ptr<void> serveCall(const Call& call) override;

 private:
  // The calling client's process, as the identity its call brought.
  struct CallerProcess {
    Identity identity;
  };
  // What a handle stands for: a process's /proc directory, a token, or the caller's process.
  using Object = std::variant<UniqueFd, Identity, CallerProcess>;

  Handle add(Object object);
  // The identity a token handle holds.
  uint32_t findIdentity(Handle token, Identity& identity);
  Identity ownIdentity() const;
  // The text of the process's /proc/PID/status.
  uint32_t readStatus(Handle process, std::string& status);
  // The identity of a caller's process handle; none for any other handle.
  std::optional<Identity> callerOf(Handle process);

  // The process's own groups, as they were before any thread impersonated.
  const std::vector<gid_t> ownGroups_;
  std::mutex mutex_;  // guards the table
  std::map<Handle, Object> objects_;
  Handle next_ = 1;
};

// Makes the calling thread open files as the process itself while it lives,
// whichever client it acts as: for what the service keeps for itself, such as
// the port's socket. Afterwards the thread acts as before, as a client with no
// capabilities in effect if it was one. Its groups stay as they are.
class ScopedOwnFileIdentity {
 public:
  ScopedOwnFileIdentity();
  ~ScopedOwnFileIdentity();
  ScopedOwnFileIdentity(const ScopedOwnFileIdentity&) = delete;
  ScopedOwnFileIdentity& operator=(const ScopedOwnFileIdentity&) = delete;

 private:
  uid_t uid_;
  gid_t gid_;
};

}  // namespace sys::posix
