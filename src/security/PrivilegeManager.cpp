#include "security/PrivilegeManager.h"

#include <algorithm>
#include <new>

#include "common/SecurityDescriptor.h"
#include "common/WinError.h"
#include "service/DebugLog.h"
#include "sys/Platform.h"

namespace {

constexpr const char16_t* kBackupName = u"SeBackupPrivilege";
constexpr const char16_t* kRestoreName = u"SeRestorePrivilege";
constexpr uint32_t kGenericRead = 0x80000000;
constexpr uint32_t kFirstDescriptorSize = 1024;

// Types of access-allowed entries (plain, compound, object, callback, callback object).
bool isAllowedType(uint8_t type) { return type == 0 || type == 4 || type == 5 || type == 9 || type == 11; }

uint32_t roundUpTo4(uint32_t size) { return (size + 3) & ~3u; }

// What setServicePrivileges did to one privilege of the calling thread:
// nothing yet, found it enabled already, or enabled it (which a reset undoes).
enum class Enabled : uint8_t { No, Before, Here };

// Privileges belong to a thread, and so does what was done to them.
thread_local Enabled backupEnabled = Enabled::No;
thread_local Enabled restoreEnabled = Enabled::No;

bool switchPrivilege(const std::u16string& name, bool enable, bool& changed) {
  return sys::platform().security().adjustThreadPrivilege(name, enable, changed) == WinError::Success;
}

void enablePrivilege(const std::u16string& name, Enabled& enabled, const char16_t* line) {
  bool changed = false;
  if (enabled != Enabled::No || !switchPrivilege(name, true, changed)) return;
  debugLog(line);
  enabled = changed ? Enabled::Here : Enabled::Before;
}

void disablePrivilege(const std::u16string& name, Enabled& enabled) {
  bool changed = false;
  if (enabled == Enabled::Here && !switchPrivilege(name, false, changed)) return;
  enabled = Enabled::No;
}

}  // namespace

bool PrivilegeManager::setServicePrivileges() {
  enablePrivilege(kBackupName, backupEnabled, u"PrivilegeManager::setServicePrivileges SE_BACKUP_NAME OK \n");
  enablePrivilege(kRestoreName, restoreEnabled, u"PrivilegeManager::setServicePrivileges SE_RESTORE_NAME OK \n");
  return true;
}

bool PrivilegeManager::resetServicePrivileges() {
  disablePrivilege(kBackupName, backupEnabled);
  disablePrivilege(kRestoreName, restoreEnabled);
  return true;
}

bool PrivilegeManager::checkImageFileAccess(const std::u16string& path) {
  const uint32_t error = sys::platform().security().tryOpenForReading(path);
  if (error == WinError::Success) return true;
  if (error != WinError::AccessDenied) {
    debugLog(u"PrivilegeManager::checkImageFileAccess err=0x%X\n", error);
    return false;
  }
  setServicePrivileges();
  debugLog(u"PrivilegeManager::checkImageFileAccess denied try to add LocalSystem Account\n");
  return addReadAccessRight(path);
}

bool PrivilegeManager::getFileSecurityDescriptor(const std::u16string& path, std::vector<uint8_t>& descriptor) {
  sys::Security& security = sys::platform().security();
  descriptor.assign(kFirstDescriptorSize, 0);
  uint32_t needed = 0;
  uint32_t error = security.getFileSecurity(path, sys::Security::kDaclSecurityInformation, descriptor.data(),
                                            kFirstDescriptorSize, needed);
  if (error != WinError::Success && needed > descriptor.size()) {
    try {
      descriptor.assign(needed, 0);
    } catch (const std::bad_alloc&) {
      debugLog(u"PrivilegeManager::getFileSecurityDescriptor err mem alloc\n");
      return false;
    }
    error = security.getFileSecurity(path, sys::Security::kDaclSecurityInformation, descriptor.data(), needed, needed);
  }
  if (error != WinError::Success) {
    debugLog(u"PrivilegeManager::getFileSecurityDescriptor GetFileSecurity err=0x%X\n", error);
    return false;
  }
  descriptor.resize(std::min<size_t>(needed, descriptor.size()));
  return true;
}

bool PrivilegeManager::getACLSizeInfo(const AccessControlList* acl, AccessControlList::SizeInformation& size) {
  size = acl ? acl->sizeInformation() : AccessControlList::SizeInformation{0, AccessControlList::kHeaderSize, 0};
  return true;
}

bool PrivilegeManager::copyACL(const AccessControlList& source, AccessControlList& target) {
  for (uint32_t i = 0; i < source.aceCount(); ++i) {
    std::span<const uint8_t> ace;
    if (const uint32_t error = source.getAce(i, ace); error != WinError::Success) {
      debugLog(u"PrivilegeManager::copyACL GetAce err=0x%X\n", error);
      return false;
    }
    if (const uint32_t error = target.addAce(AccessControlList::kRevision, AccessControlList::kAppend, ace);
        error != WinError::Success) {
      debugLog(u"PrivilegeManager::copyACL AddAce err=0x%X\n", error);
      return false;
    }
  }
  return true;
}

bool PrivilegeManager::getPositionForAllowedACE(const AccessControlList* acl, uint32_t count, uint32_t& position) {
  position = 0;
  if (acl == nullptr) return false;
  if (count == 0) return true;
  for (uint32_t i = 0; i < count; ++i) {
    std::span<const uint8_t> ace;
    if (const uint32_t error = acl->getAce(i, ace); error != WinError::Success) {
      debugLog(u"PrivilegeManager::getPositionForAllowedACE GetAce err=0x%X\n", error);
      return false;
    }
    if (ace[1] != 0) {
      position = i;
      debugLog(u"PrivilegeManager::getPositionForAllowedACE inherited pos=%u\n", position);
      return true;
    }
    if (isAllowedType(ace[0])) {
      position = i;
      debugLog(u"PrivilegeManager::getPositionForAllowedACE allowed pos=%u\n", position);
      return true;
    }
  }
  position = count;
  debugLog(u"PrivilegeManager::getPositionForAllowedACE all denied ACE pos=%u\n", position);
  return true;
}

bool PrivilegeManager::addAccessAllowedACE(AccessControlList* acl, uint32_t count, uint32_t mask, const Sid* sid) {
  if (acl == nullptr) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE acl==NULL\n");
    return false;
  }
  if (sid == nullptr) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE sid==NULL\n");
    return false;
  }
  AccessControlList scratch;
  if (const uint32_t error = scratch.initialize(roundUpTo4(sid->length() + 16), AccessControlList::kRevision);
      error != WinError::Success) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE InitializeAcl err=0x%X\n", error);
    return false;
  }
  if (const uint32_t error = scratch.addAccessAllowedAce(AccessControlList::kRevision, mask, *sid);
      error != WinError::Success) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE AddAccessAllowedAce insert err=0x%X\n", error);
    return false;
  }
  uint32_t position = 0;
  if (!getPositionForAllowedACE(acl, count, position)) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE err can not find position for allowed ACE\n");
    return false;
  }
  std::span<const uint8_t> ace;
  if (const uint32_t error = scratch.getAce(0, ace); error != WinError::Success) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE GetAce err=0x%X\n", error);
    return false;
  }
  if (const uint32_t error = acl->addAce(AccessControlList::kRevision, position, ace); error != WinError::Success) {
    debugLog(u"PrivilegeManager::addAccessAllowedACE AddAce err=0x%X\n", error);
    return false;
  }
  return true;
}

bool PrivilegeManager::addReadAccessRight(const std::u16string& path) {
  const Sid localSystem = Sid::localSystem();
  std::vector<uint8_t> bytes;
  if (!getFileSecurityDescriptor(path, bytes)) {
    debugLog(u"PrivilegeManager::addReadAccessRight failed to get file security descriptor\n");
    return false;
  }
  SecurityDescriptor newDescriptor;
  newDescriptor.initialize(SecurityDescriptor::kRevision);

  SecurityDescriptor fileDescriptor;
  if (const uint32_t error = SecurityDescriptor::fromSelfRelative(bytes, fileDescriptor); error != WinError::Success) {
    debugLog(u"PrivilegeManager::addReadAccessRight GetSecurityDescriptorDacl err=0x%X\n", error);
    return false;
  }
  bool present = false;
  bool defaulted = false;
  const AccessControlList* fileDacl = nullptr;
  fileDescriptor.getDacl(present, fileDacl, defaulted);
  if (fileDacl == nullptr) {
    // No DACL or a null one lets everyone in; a DACL of our one entry would
    // shut everyone else out, so such a file is left as it is.
    debugLog(u"PrivilegeManager::addReadAccessRight no DACL to extend, file left unchanged\n");
    return false;
  }

  AccessControlList::SizeInformation size{};
  getACLSizeInfo(fileDacl, size);
  AccessControlList newDacl;
  if (const uint32_t error =
          newDacl.initialize(roundUpTo4(size.bytesInUse + localSystem.length() + 8), AccessControlList::kRevision);
      error != WinError::Success) {
    debugLog(u"PrivilegeManager::addReadAccessRight InitializeAcl err=0x%X\n", error);
    return false;
  }
  debugLog(u"PrivilegeManager::addReadAccessRight copy existing ACL\n");
  if (!copyACL(*fileDacl, newDacl)) {
    debugLog(u"PrivilegeManager::addReadAccessRight failed to copy ACL\n");
    return false;
  }
  if (!addAccessAllowedACE(&newDacl, size.aceCount, kGenericRead, &localSystem)) {
    debugLog(u"PrivilegeManager::addReadAccessRight failed to add ACL\n");
    return false;
  }
  newDescriptor.setDacl(true, &newDacl, false);
  const std::vector<uint8_t> written = newDescriptor.toSelfRelative();
  if (const uint32_t error = sys::platform().security().setFileSecurity(
          path, sys::Security::kDaclSecurityInformation, written.data(), static_cast<uint32_t>(written.size()));
      error != WinError::Success) {
    debugLog(u"PrivilegeManager::addReadAccessRight SetFileSecurity err=0x%X\n", error);
    return false;
  }
  debugLog(u"PrivilegeManager::addReadAccessRight OK\n");
  return true;
}
