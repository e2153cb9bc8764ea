#include "sys/posix/DaclTranslation.h"

#include <map>
#include <optional>

#include "common/LittleEndian.h"
#include "common/SecurityDescriptor.h"
#include "common/WinError.h"

namespace sys::posix::dacl_translation {
namespace {

constexpr uint64_t kWorldAuthority = 1;
constexpr uint64_t kUnixAuthority = 22;
constexpr uint32_t kUnixUserRid = 1;
constexpr uint32_t kUnixGroupRid = 2;

constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kFileReadData = 0x1;
constexpr uint32_t kFileWriteData = 0x2;
constexpr uint32_t kFileAppendData = 0x4;
constexpr uint32_t kFileExecute = 0x20;
constexpr uint32_t kFileGenericRead = 0x120089;
constexpr uint32_t kFileGenericWrite = 0x120116;
constexpr uint32_t kFileGenericExecute = 0x1200A0;

constexpr uint32_t kRead = 4;
constexpr uint32_t kWrite = 2;
constexpr uint32_t kExecute = 1;

Sid userSid(uint32_t uid, const FileIdentity& file) {
  return uid == file.serviceUid ? Sid::localSystem() : Sid(kUnixAuthority, {kUnixUserRid, uid});
}

Sid groupSid(uint32_t gid) { return Sid(kUnixAuthority, {kUnixGroupRid, gid}); }

Sid sidOf(const AclEntry& entry, const FileIdentity& file) {
  switch (entry.tag) {
    case AclEntry::Tag::Owner: return userSid(file.ownerUid, file);
    case AclEntry::Tag::User: return userSid(entry.id, file);
    case AclEntry::Tag::OwningGroup: return groupSid(file.groupGid);
    case AclEntry::Tag::Group: return groupSid(entry.id);
    case AclEntry::Tag::Other: break;
  }
  return Sid(kWorldAuthority, {0});
}

uint32_t maskOf(uint32_t permissions) {
  uint32_t mask = 0;
  if ((permissions & kRead) != 0) mask |= kFileGenericRead;
  if ((permissions & kWrite) != 0) mask |= kFileGenericWrite;
  if ((permissions & kExecute) != 0) mask |= kFileGenericExecute;
  return mask;
}

uint32_t permissionsOf(uint32_t mask) {
  uint32_t permissions = 0;
  if ((mask & (kGenericRead | kGenericAll | kFileReadData)) != 0) permissions |= kRead;
  if ((mask & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0) permissions |= kWrite;
  if ((mask & (kGenericExecute | kGenericAll | kFileExecute)) != 0) permissions |= kExecute;
  return permissions;
}

// The POSIX entry a SID stands for, as tag and id.
std::optional<std::pair<AclEntry::Tag, uint32_t>> entryFor(const Sid& sid, const FileIdentity& file) {
  using Tag = AclEntry::Tag;
  if (sid == Sid(kWorldAuthority, {0})) return std::pair{Tag::Other, 0u};
  uint32_t uid = 0;
  if (sid == Sid::localSystem()) {
    uid = file.serviceUid;
  } else if (sid.authority() == kUnixAuthority && sid.subAuthorities().size() == 2) {
    const uint32_t id = sid.subAuthorities()[1];
    if (sid.subAuthorities()[0] == kUnixGroupRid) {
      return id == file.groupGid ? std::pair{Tag::OwningGroup, 0u} : std::pair{Tag::Group, id};
    }
    if (sid.subAuthorities()[0] != kUnixUserRid) return std::nullopt;
    uid = id;
  } else {
    return std::nullopt;
  }
  return uid == file.ownerUid ? std::pair{Tag::Owner, 0u} : std::pair{Tag::User, uid};
}

}  // namespace

uint32_t descriptorFromEntries(const std::vector<AclEntry>& entries, const FileIdentity& file,
                               std::vector<uint8_t>& descriptor) {
  std::vector<Sid> sids;
  uint32_t size = AccessControlList::kHeaderSize;
  for (const AclEntry& entry : entries) {
    sids.push_back(sidOf(entry, file));
    size += 8 + sids.back().length();
  }
  AccessControlList dacl;
  if (const uint32_t error = dacl.initialize(size, AccessControlList::kRevision); error != WinError::Success) {
    return error;
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    const uint32_t error =
        dacl.addAccessAllowedAce(AccessControlList::kRevision, maskOf(entries[i].permissions), sids[i]);
    if (error != WinError::Success) return error;
  }
  SecurityDescriptor written;
  written.setDacl(true, &dacl, false);
  descriptor = written.toSelfRelative();
  return WinError::Success;
}

uint32_t entriesFromDescriptor(std::span<const uint8_t> bytes, const FileIdentity& file,
                               std::vector<AclEntry>& entries) {
  SecurityDescriptor descriptor;
  if (const uint32_t error = SecurityDescriptor::fromSelfRelative(bytes, descriptor); error != WinError::Success) {
    return error;
  }
  bool present = false;
  bool defaulted = false;
  const AccessControlList* dacl = nullptr;
  descriptor.getDacl(present, dacl, defaulted);
  if (dacl == nullptr) return WinError::NotSupported;

  using Tag = AclEntry::Tag;
  std::map<std::pair<Tag, uint32_t>, uint32_t> granted{
      {{Tag::Owner, 0}, 0}, {{Tag::OwningGroup, 0}, 0}, {{Tag::Other, 0}, 0}};
  for (uint32_t i = 0; i < dacl->aceCount(); ++i) {
    std::span<const uint8_t> ace;
    if (const uint32_t error = dacl->getAce(i, ace); error != WinError::Success) return error;
    if (ace[0] != AccessControlList::kAccessAllowedAceType || ace[1] != 0 || ace.size() < 8) {
      return WinError::NotSupported;
    }
    const std::optional<Sid> sid = Sid::fromBytes(ace.subspan(8));
    if (!sid) return WinError::InvalidAcl;
    const auto entry = entryFor(*sid, file);
    if (!entry) return WinError::NoneMapped;
    granted[*entry] |= permissionsOf(static_cast<uint32_t>(readLittleEndian(&ace[4], 4)));
  }
  entries.clear();
  for (const auto& [key, permissions] : granted) entries.push_back({key.first, key.second, permissions});
  return WinError::Success;
}

}  // namespace sys::posix::dacl_translation
