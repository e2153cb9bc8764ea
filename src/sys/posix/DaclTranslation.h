#pragma once

#include <cstdint>
#include <span>
#include <vector>

// How a file's POSIX ACL appears as a Windows DACL, and back. Every entry
// becomes one access-allowed entry without flags, in the ACL's order:
// - the owner: the SID of the owner's uid; the owning group: the SID of its
//   gid; others: Everyone (S-1-1-0);
// - a uid is LocalSystem (S-1-5-18) when it is the service's own account and
//   S-1-22-1-<uid> otherwise; a gid is S-1-22-2-<gid>;
// - read, write and execute are FILE_GENERIC_READ, FILE_GENERIC_WRITE and
//   FILE_GENERIC_EXECUTE; the rights shown are those in effect (the ACL mask
//   applied), and a named entry for the owner, which POSIX ignores, is left out.
// Back, an entry grants read for GENERIC_READ, GENERIC_ALL or FILE_READ_DATA,
// write for GENERIC_WRITE, GENERIC_ALL, FILE_WRITE_DATA or FILE_APPEND_DATA,
// execute for GENERIC_EXECUTE, GENERIC_ALL or FILE_EXECUTE; entries of one
// POSIX entry add up; owner, owning group and others without an entry get no
// rights. What POSIX cannot hold is refused: entries that deny or audit, or
// carry inheritance flags (ERROR_NOT_SUPPORTED), SIDs without a uid or gid
// (ERROR_NONE_MAPPED), no DACL or a null DACL (ERROR_NOT_SUPPORTED).
namespace sys::posix::dacl_translation {

struct AclEntry {
  enum class Tag { Owner, User, OwningGroup, Group, Other };
  Tag tag;
  uint32_t id;           // uid or gid of User and Group entries
  uint32_t permissions;  // 4 read, 2 write, 1 execute

  bool operator==(const AclEntry&) const = default;
};

struct FileIdentity {
  uint32_t ownerUid;
  uint32_t groupGid;
  uint32_t serviceUid;  // the account the service runs as: LocalSystem
};

// A self-relative descriptor holding the DACL for `entries` (the mask entry
// already applied by the caller); ERROR_INVALID_PARAMETER when that DACL
// would be larger than an ACL can be (0xFFFC bytes).
uint32_t descriptorFromEntries(const std::vector<AclEntry>& entries, const FileIdentity& file,
                               std::vector<uint8_t>& descriptor);
// The ACL entries (no mask) a self-relative descriptor's DACL stands for.
uint32_t entriesFromDescriptor(std::span<const uint8_t> descriptor, const FileIdentity& file,
                               std::vector<AclEntry>& entries);

}  // namespace sys::posix::dacl_translation
