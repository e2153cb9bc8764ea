#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/Sid.h"

// An access-control list in the system's binary form: an 8-byte header
// (revision, 0, size in bytes, entry count, 0) and the entries, each starting
// with its type, flags and size, followed by free space up to the list's
// size. Edited the way the system's ACL calls (InitializeAcl, GetAce, AddAce,
// AddAccessAllowedAce, GetAclInformation) edit one; errors are Win32 errors.
class AccessControlList {
 public:
  static constexpr uint32_t kRevision = 2;
  static constexpr uint32_t kHeaderSize = 8;
  static constexpr uint32_t kMaxSize = 0xFFFC;
  static constexpr uint32_t kAppend = 0xFFFFFFFF;

  static constexpr uint8_t kAccessAllowedAceType = 0;
  static constexpr uint8_t kAccessDeniedAceType = 1;

  struct SizeInformation {
    uint32_t aceCount;
    uint32_t bytesInUse;
    uint32_t bytesFree;
  };

  // An empty list of `size` bytes.
  uint32_t initialize(uint32_t size, uint32_t revision);
  // A checked copy of the list at the start of `bytes`: its header, and every
  // entry whole, aligned and inside the list.
  static uint32_t fromBytes(std::span<const uint8_t> bytes, AccessControlList& list);

  SizeInformation sizeInformation() const;
  uint32_t aceCount() const;
  // Entry `index`, as bytes of the list.
  uint32_t getAce(uint32_t index, std::span<const uint8_t>& ace) const;
  // Inserts the entries in `aces` before entry `index` (kAppend or any index
  // past the last: at the end).
  uint32_t addAce(uint32_t revision, uint32_t index, std::span<const uint8_t> aces);
  // Appends an access-allowed entry without flags.
  uint32_t addAccessAllowedAce(uint32_t revision, uint32_t mask, const Sid& sid);

  // The whole list, free space included.
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  uint32_t bytesInUse() const;
  // Byte offset of entry `index` (or of the end of the entries).
  uint32_t offsetOf(uint32_t index) const;

  std::vector<uint8_t> bytes_;
};
