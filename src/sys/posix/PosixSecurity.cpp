#include "sys/posix/PosixSecurity.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/DaclTranslation.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {
namespace {

using dacl_translation::AclEntry;
using dacl_translation::FileIdentity;

#ifdef SYS_setfsuid32
constexpr long kSetfsuid = SYS_setfsuid32;
#else
constexpr long kSetfsuid = SYS_setfsuid;
#endif

struct AclDeleter {
  void operator()(void* acl) const { acl_free(acl); }
};
using UniqueAcl = std::unique_ptr<std::remove_pointer_t<acl_t>, AclDeleter>;

// The error of a libacl or system call that failed, never success: libacl
// does not set errno on every failure.
uint32_t lastError() {
  const uint32_t error = winErrorFromErrno(errno);
  return error != WinError::Success ? error : WinError::GenFailure;
}

bool actsAsItself() {
  // setfsuid with an invalid id changes nothing and returns the current one.
  return static_cast<uid_t>(syscall(kSetfsuid, -1)) == geteuid();
}

int capabilityFor(const std::u16string& name) {
  if (name == u"SeBackupPrivilege") return CAP_DAC_READ_SEARCH;
  if (name == u"SeRestorePrivilege") return CAP_DAC_OVERRIDE;
  return -1;
}

// Opens a path a client named, never through a magic link (/proc/PID/cwd,
// /proc/PID/root, /proc/PID/fd/N): those reach a file with the rights of
// another process, not by the path. Kernels without openat2 (before 5.6)
// open it plainly.
UniqueFd openClientPath(const std::string& path, uint64_t flags) {
  open_how how{};
  how.flags = flags;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) return UniqueFd(static_cast<int>(fd));
  return UniqueFd(open(path.c_str(), static_cast<int>(flags)));
}

// The file whose ACL is read or written, and its identity. It is named, not
// opened (O_PATH), since the caller need not be able to read it; so its
// device is never opened either. A symbolic link at the end is refused.
uint32_t openAclFile(const std::string& path, UniqueFd& file, FileIdentity& identity) {
  file = openClientPath(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (!file.valid()) return lastError();
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return lastError();
  // With O_PATH the link itself opens; other opens answer ELOOP.
  if (S_ISLNK(status.st_mode)) return winErrorFromErrno(ELOOP);
  identity = {status.st_uid, status.st_gid, static_cast<uint32_t>(geteuid())};
  return WinError::Success;
}

// The name of the file itself that `file` holds. libacl's descriptor calls
// refuse O_PATH descriptors.
std::string pathOf(const UniqueFd& file) { return "/proc/self/fd/" + std::to_string(file.get()); }

AclEntry::Tag tagOf(acl_tag_t tag) {
  switch (tag) {
    case ACL_USER_OBJ: return AclEntry::Tag::Owner;
    case ACL_USER: return AclEntry::Tag::User;
    case ACL_GROUP_OBJ: return AclEntry::Tag::OwningGroup;
    case ACL_GROUP: return AclEntry::Tag::Group;
    default: return AclEntry::Tag::Other;
  }
}

acl_tag_t posixTagOf(AclEntry::Tag tag) {
  switch (tag) {
    case AclEntry::Tag::Owner: return ACL_USER_OBJ;
    case AclEntry::Tag::User: return ACL_USER;
    case AclEntry::Tag::OwningGroup: return ACL_GROUP_OBJ;
    case AclEntry::Tag::Group: return ACL_GROUP;
    case AclEntry::Tag::Other: break;
  }
  return ACL_OTHER;
}

uint32_t permissionsOf(acl_entry_t entry, uint32_t& permissions) {
  acl_permset_t set = nullptr;
  if (acl_get_permset(entry, &set) != 0) return lastError();
  const int read = acl_get_perm(set, ACL_READ);
  const int write = acl_get_perm(set, ACL_WRITE);
  const int execute = acl_get_perm(set, ACL_EXECUTE);
  if (read < 0 || write < 0 || execute < 0) return lastError();
  permissions = (read == 1 ? 4u : 0u) | (write == 1 ? 2u : 0u) | (execute == 1 ? 1u : 0u);
  return WinError::Success;
}

// The uid or gid of a named entry.
uint32_t qualifierOf(acl_entry_t entry, uint32_t& id) {
  void* qualifier = acl_get_qualifier(entry);
  if (qualifier == nullptr) return lastError();
  std::memcpy(&id, qualifier, sizeof id);
  acl_free(qualifier);
  return WinError::Success;
}

// The entries of an access ACL with the mask applied to the group class; a
// named entry for the owner is left out (POSIX never uses it).
uint32_t entriesOf(acl_t acl, const FileIdentity& file, std::vector<AclEntry>& entries) {
  uint32_t mask = 7;
  acl_entry_t entry = nullptr;
  int found = 0;
  for (int which = ACL_FIRST_ENTRY; (found = acl_get_entry(acl, which, &entry)) == 1; which = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    uint32_t id = 0;
    uint32_t permissions = 0;
    if (acl_get_tag_type(entry, &tag) != 0) return lastError();
    if (const uint32_t error = permissionsOf(entry, permissions); error != WinError::Success) return error;
    if (tag == ACL_MASK) {
      mask = permissions;
      continue;
    }
    if (tag == ACL_USER || tag == ACL_GROUP) {
      if (const uint32_t error = qualifierOf(entry, id); error != WinError::Success) return error;
    }
    if (tag == ACL_USER && id == file.ownerUid) continue;
    entries.push_back({tagOf(tag), id, permissions});
  }
  if (found < 0) return lastError();
  for (AclEntry& e : entries) {
    if (e.tag == AclEntry::Tag::User || e.tag == AclEntry::Tag::OwningGroup || e.tag == AclEntry::Tag::Group) {
      e.permissions &= mask;
    }
  }
  return WinError::Success;
}

bool addEntry(acl_t& acl, const AclEntry& wanted) {
  acl_entry_t entry = nullptr;
  acl_permset_t set = nullptr;
  if (acl_create_entry(&acl, &entry) != 0 || acl_set_tag_type(entry, posixTagOf(wanted.tag)) != 0) return false;
  if (wanted.tag == AclEntry::Tag::User || wanted.tag == AclEntry::Tag::Group) {
    const id_t id = wanted.id;
    if (acl_set_qualifier(entry, &id) != 0) return false;
  }
  if (acl_get_permset(entry, &set) != 0 || acl_clear_perms(set) != 0) return false;
  if ((wanted.permissions & 4) != 0 && acl_add_perm(set, ACL_READ) != 0) return false;
  if ((wanted.permissions & 2) != 0 && acl_add_perm(set, ACL_WRITE) != 0) return false;
  if ((wanted.permissions & 1) != 0 && acl_add_perm(set, ACL_EXECUTE) != 0) return false;
  return acl_set_permset(entry, set) == 0;
}

// An access ACL of `entries`, with a mask that lets every entry have its
// rights when there are named entries.
UniqueAcl aclOf(const std::vector<AclEntry>& entries) {
  acl_t acl = acl_init(static_cast<int>(entries.size() + 1));
  if (acl == nullptr) return nullptr;
  bool ok = true;
  bool named = false;
  for (const AclEntry& entry : entries) {
    ok = ok && addEntry(acl, entry);
    named = named || entry.tag == AclEntry::Tag::User || entry.tag == AclEntry::Tag::Group;
  }
  if (ok && named) ok = acl_calc_mask(&acl) == 0;
  UniqueAcl owned(acl);
  return ok ? std::move(owned) : nullptr;
}

}  // namespace

uint32_t PosixSecurity::adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) {
  changed = false;
  const int capability = capabilityFor(name);
  if (capability < 0) return WinError::NoSuchPrivilege;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // pid 0: the calling thread
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return lastError();
  const uint32_t bit = 1u << (capability % 32);
  __user_cap_data_struct& word = data[capability / 32];
  if ((word.permitted & bit) == 0 || !actsAsItself()) return WinError::NotAllAssigned;
  if (((word.effective & bit) != 0) == enable) return WinError::Success;
  word.effective ^= bit;
  if (syscall(SYS_capset, &header, data) != 0) return lastError();
  changed = true;
  return WinError::Success;
}

uint32_t PosixSecurity::tryOpenForReading(const std::u16string& path) {
  // Non-blocking, so that a FIFO does not wait for a writer; a terminal never
  // becomes the service's controlling terminal.
  const UniqueFd file = openClientPath(wide::toUtf8(path), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  return file.valid() ? WinError::Success : lastError();
}

uint32_t PosixSecurity::getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer,
                                        uint32_t size, uint32_t& needed) {
  needed = 0;
  if (information != kDaclSecurityInformation) return WinError::NotSupported;
  UniqueFd file;
  FileIdentity identity{};
  if (const uint32_t error = openAclFile(wide::toUtf8(path), file, identity); error != WinError::Success) return error;
  const UniqueAcl acl(acl_get_file(pathOf(file).c_str(), ACL_TYPE_ACCESS));
  if (!acl) return lastError();
  std::vector<AclEntry> entries;
  if (const uint32_t error = entriesOf(acl.get(), identity, entries); error != WinError::Success) return error;
  std::vector<uint8_t> descriptor;
  if (const uint32_t error = dacl_translation::descriptorFromEntries(entries, identity, descriptor);
      error != WinError::Success) {
    return error;
  }
  needed = static_cast<uint32_t>(descriptor.size());
  if (size < needed) return WinError::InsufficientBuffer;
  std::memcpy(buffer, descriptor.data(), descriptor.size());
  return WinError::Success;
}

uint32_t PosixSecurity::setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                                        uint32_t size) {
  if (information != kDaclSecurityInformation) return WinError::NotSupported;
  UniqueFd file;
  FileIdentity identity{};
  if (const uint32_t error = openAclFile(wide::toUtf8(path), file, identity); error != WinError::Success) return error;
  std::vector<AclEntry> entries;
  const uint32_t error = dacl_translation::entriesFromDescriptor({descriptor, size}, identity, entries);
  if (error != WinError::Success) return error;
  const UniqueAcl acl = aclOf(entries);
  if (!acl) return lastError();
  if (acl_valid(acl.get()) != 0) return WinError::InvalidAcl;
  return acl_set_file(pathOf(file).c_str(), ACL_TYPE_ACCESS, acl.get()) == 0 ? WinError::Success : lastError();
}

}  // namespace sys::posix
