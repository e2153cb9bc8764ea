#pragma once

#include "sys/Security.h"

namespace sys::posix {

// Privileges are capabilities: "SeBackupPrivilege" is CAP_DAC_READ_SEARCH,
// "SeRestorePrivilege" CAP_DAC_OVERRIDE. Linux keeps them per thread, so the
// switch works on the calling thread's effective set, and only while the
// thread acts as the service itself: a thread that impersonates a client
// keeps the client's rights (the kernel drops these capabilities while its
// file identity is the client's), as a client's token decides on Windows.
// A privilege the process is not permitted gives ERROR_NOT_ALL_ASSIGNED.
// File security is the file's POSIX ACL, seen and written as a DACL
// (DaclTranslation.h); only the DACL part is supported.
class PosixSecurity final : public Security {
 public:
  uint32_t adjustProcessPrivilege(const std::u16string& name, bool enable) override;
  uint32_t tryOpenForReading(const std::u16string& path) override;
  uint32_t getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer, uint32_t size,
                           uint32_t& needed) override;
  uint32_t setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                           uint32_t size) override;
};

}  // namespace sys::posix
