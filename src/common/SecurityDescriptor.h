#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/AccessControlList.h"

// The DACL part of a security descriptor in the system's self-relative form
// (revision, 0, control flags, then the offsets of owner, group, SACL and
// DACL from its start, 0 for none). Read from what GetFileSecurityW gives and
// written for SetFileSecurityW; the other parts are not kept. Errors are
// Win32 errors.
class SecurityDescriptor {
 public:
  static constexpr uint32_t kRevision = 1;
  static constexpr uint32_t kHeaderSize = 20;
  static constexpr uint16_t kDaclPresent = 0x0004;
  static constexpr uint16_t kDaclDefaulted = 0x0008;
  static constexpr uint16_t kSelfRelative = 0x8000;

  // InitializeSecurityDescriptor: no DACL.
  uint32_t initialize(uint32_t revision);
  // Reads a self-relative descriptor; its DACL, when there is one, is checked.
  static uint32_t fromSelfRelative(std::span<const uint8_t> bytes, SecurityDescriptor& descriptor);

  // GetSecurityDescriptorDacl: `dacl` is null when there is none, or when the
  // DACL is present but null (which grants everyone everything).
  void getDacl(bool& present, const AccessControlList*& dacl, bool& defaulted) const;
  void setDacl(bool present, const AccessControlList* dacl, bool defaulted);

  std::vector<uint8_t> toSelfRelative() const;

 private:
  uint16_t control_ = 0;
  std::optional<AccessControlList> dacl_;
};
