#include "sys/posix/PosixTokens.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <iterator>
#include <optional>
#include <string>

#include "common/WinError.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/ScopedCallContext.h"

namespace sys::posix {
namespace {

constexpr size_t kMaxStatusSize = 1 << 20;       // far above the status of a process with the most groups
constexpr gid_t kNoId = static_cast<gid_t>(-1);  // "leave unchanged" to the kernel, never an id
constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUnixUserRid = 1;

// The identity calls that act on the calling thread only: glibc's wrappers
// change every thread of the process. On 32-bit x86 the plain calls take
// 16-bit ids.
#ifdef SYS_setfsuid32
constexpr long kSetfsuid = SYS_setfsuid32;
constexpr long kSetfsgid = SYS_setfsgid32;
constexpr long kSetgroups = SYS_setgroups32;
constexpr long kGetgroups = SYS_getgroups32;
#else
constexpr long kSetfsuid = SYS_setfsuid;
constexpr long kSetfsgid = SYS_setfsgid;
constexpr long kSetgroups = SYS_setgroups;
constexpr long kGetgroups = SYS_getgroups;
#endif

// The whitespace-separated decimal ids of `text`; false when one is not an id.
bool parseIds(std::string_view text, std::vector<gid_t>& ids) {
  size_t pos = text.find_first_not_of(" \t");
  while (pos != std::string_view::npos) {
    const size_t end = std::min(text.find_first_of(" \t", pos), text.size());
    gid_t id = 0;
    const auto [last, error] = std::from_chars(text.data() + pos, text.data() + end, id);
    if (error != std::errc() || last != text.data() + end || id == kNoId || ids.size() == NGROUPS_MAX) return false;
    ids.push_back(id);
    pos = text.find_first_not_of(" \t", end);
  }
  return true;
}

// Takes the ids of `line` when it starts with `key`; false when it is
// malformed or repeats a key already taken.
bool takeLine(std::string_view line, std::string_view key, std::optional<std::vector<gid_t>>& ids) {
  if (!line.starts_with(key)) return true;
  if (ids) return false;
  ids.emplace();
  return parseIds(line.substr(key.size()), *ids);
}

// The calling thread's supplementary groups, sorted as the kernel keeps them.
std::vector<gid_t> threadGroups() {
  const long count = syscall(kGetgroups, 0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
  const long read = groups.empty() ? 0 : syscall(kGetgroups, groups.size(), groups.data());
  groups.resize(read > 0 ? static_cast<size_t>(read) : 0);
  std::sort(groups.begin(), groups.end());
  return groups;
}

// Makes the calling thread open files as `identity`. Groups are set only when
// they differ, so that an unprivileged process can still act as itself.
// PRIVILEGE_NOT_HELD when the groups may not be set, ACCESS_DENIED when the
// kernel did not take the uid or gid.
uint32_t setThreadIdentity(const Identity& identity) {
  std::vector<gid_t> groups = identity.groups;
  std::sort(groups.begin(), groups.end());
  if (threadGroups() != groups && syscall(kSetgroups, groups.size(), groups.data()) != 0) {
    return errno == EPERM ? WinError::PrivilegeNotHeld : winErrorFromErrno(errno);
  }
  // Both calls answer with the value before the change and cannot fail
  // otherwise, so each is made twice: the second answer is what took effect.
  syscall(kSetfsgid, identity.gid);
  syscall(kSetfsuid, identity.uid);
  const bool gidTaken = static_cast<gid_t>(syscall(kSetfsgid, identity.gid)) == identity.gid;
  const bool uidTaken = static_cast<uid_t>(syscall(kSetfsuid, identity.uid)) == identity.uid;
  return gidTaken && uidTaken ? WinError::Success : WinError::AccessDenied;
}

// A thread's capability sets, as capget and capset take them.
struct CapabilitySets {
  __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3] = {};
};

// What changing the file identity to another user's takes (both in the first word).
constexpr uint32_t kIdentityCapabilities = (1u << CAP_SETUID) | (1u << CAP_SETGID);

// The capabilities the calling thread had before it began to act as a client;
// none while it acts as itself. Linux keeps capabilities per thread.
thread_local std::optional<CapabilitySets> capabilitiesOfSelf;

uint32_t readCapabilities(CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, static_cast<int>(gettid())};
  return syscall(SYS_capget, &header, sets.words) == 0 ? WinError::Success : winErrorFromErrno(errno);
}

uint32_t writeCapabilities(const CapabilitySets& sets) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, static_cast<int>(gettid())};
  return syscall(SYS_capset, &header, sets.words) == 0 ? WinError::Success : winErrorFromErrno(errno);
}

// `sets` with nothing in effect but those of `kept` that were.
CapabilitySets effectiveOnly(CapabilitySets sets, uint32_t kept) {
  sets.words[0].effective &= kept;
  for (size_t i = 1; i < std::size(sets.words); ++i) sets.words[i].effective = 0;
  return sets;
}

// Gives the calling thread `identity`, then the capabilities `after`. The
// change runs with only those of the thread's own capabilities that it takes.
uint32_t switchIdentity(const Identity& identity, const CapabilitySets& own, const CapabilitySets& after) {
  // May fail where capabilities cannot be changed; whether the thread had
  // enough shows in the ids the kernel takes.
  writeCapabilities(effectiveOnly(own, kIdentityCapabilities));
  const uint32_t error = setThreadIdentity(identity);
  return error != WinError::Success ? error : writeCapabilities(after);
}

// The /proc directory of process `pid`, which keeps naming that process
// even when its pid is reused; invalid when there is no such process.
UniqueFd openProcessDirectory(uint32_t pid) {
  const std::string path = "/proc/" + std::to_string(pid);
  return UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The text of /proc/PID/status of the process whose /proc directory is open
// as `processDirectory`; an ended process is an invalid parameter, as on Windows.
uint32_t readStatusAt(int processDirectory, std::string& status) {
  const UniqueFd file(openat(processDirectory, "status", O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return errno == ESRCH ? WinError::InvalidParameter : winErrorFromErrno(errno);  // ESRCH: ended
  char chunk[4096];
  while (status.size() <= kMaxStatusSize) {
    const ssize_t got = read(file.get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == ESRCH ? WinError::InvalidParameter : winErrorFromErrno(errno);
    if (got == 0) return WinError::Success;
    status.append(chunk, static_cast<size_t>(got));
  }
  return WinError::InvalidData;
}

}  // namespace

bool parseProcessStatus(std::string_view text, Identity& identity) {
  std::optional<std::vector<gid_t>> uids;
  std::optional<std::vector<gid_t>> gids;
  std::optional<std::vector<gid_t>> groups;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!takeLine(line, "Uid:", uids) || !takeLine(line, "Gid:", gids) || !takeLine(line, "Groups:", groups)) {
      return false;
    }
  }
  // Real, effective, saved and file-system ids, in that order.
  if (!uids || uids->size() != 4 || !gids || gids->size() != 4 || !groups) return false;
  identity = Identity{uids->front(), gids->front(), std::move(*groups)};
  return true;
}

Sid userSid(uid_t uid) { return uid == geteuid() ? Sid::localSystem() : Sid(kUnixAuthority, {kUnixUserRid, uid}); }

PosixTokens::PosixTokens() : ownGroups_(threadGroups()) {}

uint32_t PosixTokens::openProcess(uint32_t pid, Handle& process) {
  process = 0;
  if (std::optional<Identity> caller = ScopedCallContext::clientIdentity(pid)) {
    process = add(CallerProcess{std::move(*caller)});
    return WinError::Success;
  }
  UniqueFd directory = openProcessDirectory(pid);
  // No such process: what Windows answers for a bad pid.
  if (!directory.valid()) return errno == ENOENT ? WinError::InvalidParameter : winErrorFromErrno(errno);
  process = add(std::move(directory));
  return WinError::Success;
}

uint32_t PosixTokens::openProcessToken(Handle process, Handle& token) {
  token = 0;
  if (std::optional<Identity> caller = callerOf(process)) {
    token = add(std::move(*caller));
    return WinError::Success;
  }
  std::string status;
  if (const uint32_t error = readStatus(process, status)) return error;
  Identity identity;
  if (!parseProcessStatus(status, identity)) return WinError::InvalidData;
  token = add(std::move(identity));
  return WinError::Success;
}

uint32_t PosixTokens::isTokenUser(Handle token, const Sid& user, bool& same) {
  same = false;
  Identity identity;
  if (const uint32_t error = findIdentity(token, identity)) return error;
  same = userSid(identity.uid) == user;
  return WinError::Success;
}

uint32_t PosixTokens::tokenUser(Handle token, std::optional<Sid>& user) {
  user.reset();
  Identity identity;
  if (const uint32_t error = findIdentity(token, identity)) return error;
  user = userSid(identity.uid);
  return WinError::Success;
}

uint32_t PosixTokens::isTokenAdministrator(Handle token, bool& administrator) {
  administrator = false;
  Identity identity;
  if (const uint32_t error = findIdentity(token, identity)) return error;
  administrator = identity.uid == 0;
  return WinError::Success;
}

void PosixTokens::closeHandle(Handle handle) {
  const std::lock_guard lock(mutex_);
  objects_.erase(handle);
}

uint32_t PosixTokens::impersonateLoggedOnUser(Handle token) {
  Identity identity;
  if (const uint32_t error = findIdentity(token, identity)) return error;
  if (!capabilitiesOfSelf) {
    CapabilitySets own;
    if (const uint32_t error = readCapabilities(own)) return error;
    capabilitiesOfSelf = own;
  }
  const uint32_t error = switchIdentity(identity, *capabilitiesOfSelf, effectiveOnly(*capabilitiesOfSelf, 0));
  // Never leave the thread half switched, nor acting as the client with capabilities.
  if (error != WinError::Success) revertToSelf();
  return error;
}

uint32_t PosixTokens::revertToSelf() {
  if (!capabilitiesOfSelf) return setThreadIdentity(ownIdentity());
  const uint32_t error = switchIdentity(ownIdentity(), *capabilitiesOfSelf, *capabilitiesOfSelf);
  if (error != WinError::Success) {
    writeCapabilities(effectiveOnly(*capabilitiesOfSelf, 0));  // it may still act as the client
    return error;
  }
  capabilitiesOfSelf.reset();
  return WinError::Success;
}

uint32_t PosixTokens::currentThreadId() { return static_cast<uint32_t>(gettid()); }

int32_t PosixTokens::localClientPid(uint32_t& pid) {
  pid = ScopedCallContext::currentClientPid();
  return pid != 0 ? 0 : static_cast<int32_t>(WinError::RpcNoCallActive);
}

namespace {

// What a thread knows of the call it serves.
struct CarriedCall {
  uint32_t clientPid;
  std::optional<Identity> client;
};

}  // namespace

Tokens::Call PosixTokens::currentCall() {
  const uint32_t pid = ScopedCallContext::currentClientPid();
  if (pid == 0) return nullptr;
  return std::make_shared<const CarriedCall>(CarriedCall{pid, ScopedCallContext::currentClient()});
}

std::shared_ptr<void> PosixTokens::serveCall(const Call& call) {
  if (!call) return nullptr;
  const auto& carried = *static_cast<const CarriedCall*>(call.get());
  return std::make_shared<ScopedCallContext>(carried.clientPid, carried.client);
}

PosixTokens::Handle PosixTokens::add(Object object) {
  const std::lock_guard lock(mutex_);
  const Handle handle = next_++;
  objects_.emplace(handle, std::move(object));
  return handle;
}

uint32_t PosixTokens::findIdentity(Handle token, Identity& identity) {
  const std::lock_guard lock(mutex_);
  const auto found = objects_.find(token);
  if (found == objects_.end() || !std::holds_alternative<Identity>(found->second)) return WinError::InvalidHandle;
  identity = std::get<Identity>(found->second);
  return WinError::Success;
}

Identity PosixTokens::ownIdentity() const { return Identity{geteuid(), getegid(), ownGroups_}; }

uint32_t PosixTokens::readStatus(Handle process, std::string& status) {
  const std::lock_guard lock(mutex_);  // keeps the directory open while it is read
  const auto found = objects_.find(process);
  if (found == objects_.end() || !std::holds_alternative<UniqueFd>(found->second)) return WinError::InvalidHandle;
  return readStatusAt(std::get<UniqueFd>(found->second).get(), status);
}

std::optional<Identity> PosixTokens::callerOf(Handle process) {
  const std::lock_guard lock(mutex_);
  const auto found = objects_.find(process);
  if (found == objects_.end() || !std::holds_alternative<CallerProcess>(found->second)) return std::nullopt;
  return std::get<CallerProcess>(found->second).identity;
}

std::optional<Identity> readProcessIdentity(uint32_t pid) {
  if (pid == 0) return std::nullopt;
  const UniqueFd directory = openProcessDirectory(pid);
  std::string status;
  Identity identity;
  if (!directory.valid() || readStatusAt(directory.get(), status) != WinError::Success ||
      !parseProcessStatus(status, identity)) {
    return std::nullopt;
  }
  return identity;
}

// The process's own ids take no capability (for root, the kernel puts the
// file capabilities the thread is permitted back in effect meanwhile).
ScopedOwnFileIdentity::ScopedOwnFileIdentity()
    : uid_(static_cast<uid_t>(syscall(kSetfsuid, kNoId))), gid_(static_cast<gid_t>(syscall(kSetfsgid, kNoId))) {
  syscall(kSetfsgid, getegid());
  syscall(kSetfsuid, geteuid());
}

ScopedOwnFileIdentity::~ScopedOwnFileIdentity() {
  // A thread acting as a client has no capabilities in effect, and the
  // client's ids take some: they are in effect for the change only.
  if (capabilitiesOfSelf) writeCapabilities(effectiveOnly(*capabilitiesOfSelf, kIdentityCapabilities));
  syscall(kSetfsgid, gid_);
  syscall(kSetfsuid, uid_);
  if (capabilitiesOfSelf) writeCapabilities(effectiveOnly(*capabilitiesOfSelf, 0));
}

}  // namespace sys::posix
