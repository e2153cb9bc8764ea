#include "sys/posix/PosixSecurity.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/WideString.h"
#include "sys/WinError.h"
#include "sys/posix/DaclTranslation.h"
#include "sys/posix/ErrnoMapping.h"

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

uint32_t lastError() { return winErrorFromErrno(errno); }

bool actsAsItself() {
  // setfsuid with an invalid id changes nothing and returns the current one.
  return static_cast<uid_t>(syscall(kSetfsuid, -1)) == geteuid();
}

int capabilityFor(const std::u16string& name) {
  if (name == u"SeBackupPrivilege") return CAP_DAC_READ_SEARCH;
  if (name == u"SeRestorePrivilege") return CAP_DAC_OVERRIDE;
  return -1;
}

uint32_t identityOf(const std::string& path, FileIdentity& file) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return lastError();
  file = {status.st_uid, status.st_gid, static_cast<uint32_t>(geteuid())};
  return WinError::Success;
}

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

uint32_t permissionsOf(acl_entry_t entry) {
  acl_permset_t set = nullptr;
  acl_get_permset(entry, &set);
  return (acl_get_perm(set, ACL_READ) == 1 ? 4u : 0u) | (acl_get_perm(set, ACL_WRITE) == 1 ? 2u : 0u) |
         (acl_get_perm(set, ACL_EXECUTE) == 1 ? 1u : 0u);
}

// The entries of an access ACL with the mask applied to the group class; a
// named entry for the owner is left out (POSIX never uses it).
std::vector<AclEntry> entriesOf(acl_t acl, const FileIdentity& file) {
  std::vector<AclEntry> entries;
  uint32_t mask = 7;
  acl_entry_t entry = nullptr;
  for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl, which, &entry) == 1; which = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    acl_get_tag_type(entry, &tag);
    if (tag == ACL_MASK) {
      mask = permissionsOf(entry);
      continue;
    }
    uint32_t id = 0;
    if (tag == ACL_USER || tag == ACL_GROUP) {
      void* qualifier = acl_get_qualifier(entry);
      std::memcpy(&id, qualifier, sizeof id);
      acl_free(qualifier);
    }
    if (tag == ACL_USER && id == file.ownerUid) continue;
    entries.push_back({tagOf(tag), id, permissionsOf(entry)});
  }
  for (AclEntry& e : entries) {
    if (e.tag == AclEntry::Tag::User || e.tag == AclEntry::Tag::OwningGroup || e.tag == AclEntry::Tag::Group) {
      e.permissions &= mask;
    }
  }
  return entries;
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
  if ((wanted.permissions & 4) != 0) acl_add_perm(set, ACL_READ);
  if ((wanted.permissions & 2) != 0) acl_add_perm(set, ACL_WRITE);
  if ((wanted.permissions & 1) != 0) acl_add_perm(set, ACL_EXECUTE);
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

uint32_t PosixSecurity::adjustProcessPrivilege(const std::u16string& name, bool enable) {
  const int capability = capabilityFor(name);
  if (capability < 0) return WinError::NoSuchPrivilege;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return lastError();
  const uint32_t bit = 1u << (capability % 32);
  __user_cap_data_struct& word = data[capability / 32];
  if ((word.permitted & bit) == 0) return WinError::NotAllAssigned;
  if (!actsAsItself()) return WinError::Success;
  word.effective = enable ? word.effective | bit : word.effective & ~bit;
  return syscall(SYS_capset, &header, data) == 0 ? WinError::Success : lastError();
}

uint32_t PosixSecurity::tryOpenForReading(const std::u16string& path) {
  // Non-blocking, so that a FIFO does not wait for a writer.
  const int fd = open(wide::toUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return lastError();
  close(fd);
  return WinError::Success;
}

uint32_t PosixSecurity::getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer,
                                        uint32_t size, uint32_t& needed) {
  needed = 0;
  if (information != kDaclSecurityInformation) return WinError::NotSupported;
  const std::string file = wide::toUtf8(path);
  FileIdentity identity{};
  if (const uint32_t error = identityOf(file, identity); error != WinError::Success) return error;
  const UniqueAcl acl(acl_get_file(file.c_str(), ACL_TYPE_ACCESS));
  if (!acl) return lastError();
  const std::vector<uint8_t> descriptor =
      dacl_translation::descriptorFromEntries(entriesOf(acl.get(), identity), identity);
  needed = static_cast<uint32_t>(descriptor.size());
  if (size < needed) return WinError::InsufficientBuffer;
  std::memcpy(buffer, descriptor.data(), descriptor.size());
  return WinError::Success;
}

uint32_t PosixSecurity::setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                                        uint32_t size) {
  if (information != kDaclSecurityInformation) return WinError::NotSupported;
  const std::string file = wide::toUtf8(path);
  FileIdentity identity{};
  if (const uint32_t error = identityOf(file, identity); error != WinError::Success) return error;
  std::vector<AclEntry> entries;
  const uint32_t error = dacl_translation::entriesFromDescriptor({descriptor, size}, identity, entries);
  if (error != WinError::Success) return error;
  const UniqueAcl acl = aclOf(entries);
  if (!acl) return lastError();
  if (acl_valid(acl.get()) != 0) return WinError::InvalidAcl;
  return acl_set_file(file.c_str(), ACL_TYPE_ACCESS, acl.get()) == 0 ? WinError::Success : lastError();
}

}  // namespace sys::posix
