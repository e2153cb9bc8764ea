#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/AccessControlList.h"
#include "common/Sid.h"

// Makes sure the service can read an image file: when the calling thread
// (possibly impersonating a client) is refused, the service's backup and
// restore privileges are enabled and LocalSystem gains read access through
// one access-allowed entry in the file's DACL, placed where the canonical
// order of entries wants it. The privileges are those of the calling thread
// only, and what was done to them is kept per thread: a reset undoes what a
// set enabled on the same thread, no more, and touches no other thread. A
// thread that impersonates a client keeps the client's rights. Everything
// else lives in one call. Thread-safe.
class PrivilegeManager {
 public:
  static bool checkImageFileAccess(const std::u16string& path);
  static bool setServicePrivileges();
  static bool resetServicePrivileges();
  static bool addReadAccessRight(const std::u16string& path);

  // The file's security descriptor (its DACL part) in self-relative form.
  static bool getFileSecurityDescriptor(const std::u16string& path, std::vector<uint8_t>& descriptor);
  // Size information of `acl`; an absent DACL gives 0 entries, 8 bytes in use, 0 free.
  static bool getACLSizeInfo(const AccessControlList* acl, AccessControlList::SizeInformation& size);
  static bool copyACL(const AccessControlList& source, AccessControlList& target);
  // Where an explicit access-allowed entry belongs among the first `count`
  // entries of `acl`: before the first allowed or flagged one, else at the end.
  static bool getPositionForAllowedACE(const AccessControlList* acl, uint32_t count, uint32_t& position);
  static bool addAccessAllowedACE(AccessControlList* acl, uint32_t count, uint32_t mask, const Sid* sid);
};
