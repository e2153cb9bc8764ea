#pragma once

#include "sys/Security.h"

namespace sys::posix {

// Privileges are capabilities: "SeBackupPrivilege" is CAP_DAC_READ_SEARCH,
// "SeRestorePrivilege" CAP_DAC_OVERRIDE, in the calling thread's effective set
// (Linux keeps them per thread). They are switched only while the thread acts
// as the service itself: a thread that impersonates a client keeps the
// client's rights (it has no capabilities in effect meanwhile), so the switch
// refuses it with ERROR_NOT_ALL_ASSIGNED, as a client's token without the
// privilege does on Windows. A capability the thread is not permitted is
// refused the same way.
// File security is the file's POSIX ACL, seen and written as a DACL
// (DaclTranslation.h); only the DACL part is supported.
// Paths that clients name are never followed through a /proc magic link, and
// a file's ACL is never reached through a symbolic link at the path's end.
class PosixSecurity final : public Security {
 public:
  uint32_t adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) override;
  uint32_t tryOpenForReading(const std::u16string& path) override;
  uint32_t getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer, uint32_t size,
                           uint32_t& needed) override;
  uint32_t setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                           uint32_t size) override;
};

}  // namespace sys::posix
