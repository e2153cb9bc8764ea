#pragma once

#include <cstdint>
#include <string>

namespace sys {

// Privileges of the calling thread and the security of files
// (OpenThreadToken, LookupPrivilegeValueW, AdjustTokenPrivileges; CreateFileW
// for reading; GetFileSecurityW, SetFileSecurityW). Every operation acts with
// the calling thread's identity, also while it impersonates a client.
// Results are Win32 errors (0 success).
class Security {
 public:
  static constexpr uint32_t kDaclSecurityInformation = 4;

  virtual ~Security() = default;

  // Enables or disables the privilege named `name` ("SeBackupPrivilege") for
  // the calling thread only; no other thread's privileges change. `changed`
  // tells whether it was in the other state before. ERROR_NOT_ALL_ASSIGNED
  // when the identity the thread acts with lacks the privilege, as a client
  // that the thread impersonates normally does.
  virtual uint32_t adjustThreadPrivilege(const std::u16string& name, bool enable, bool& changed) = 0;
  // Opens `path` for reading (GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING)
  // and closes it at once.
  virtual uint32_t tryOpenForReading(const std::u16string& path) = 0;
  // The file's security descriptor in self-relative form, with the parts
  // `information` names, in `buffer` (`size` bytes). `needed` is its length,
  // also when it does not fit (then ERROR_INSUFFICIENT_BUFFER).
  virtual uint32_t getFileSecurity(const std::u16string& path, uint32_t information, uint8_t* buffer, uint32_t size,
                                   uint32_t& needed) = 0;
  // Writes the parts `information` names of a self-relative descriptor.
  virtual uint32_t setFileSecurity(const std::u16string& path, uint32_t information, const uint8_t* descriptor,
                                   uint32_t size) = 0;
};

}  // namespace sys
