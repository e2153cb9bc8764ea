#include "common/SecurityDescriptor.h"

#include <algorithm>

#include "common/LittleEndian.h"
#include "common/WinError.h"

namespace {

constexpr size_t kControlOffset = 2;
constexpr size_t kDaclOffsetOffset = 16;

}  // namespace

uint32_t SecurityDescriptor::initialize(uint32_t revision) {
  if (revision != kRevision) return WinError::UnknownRevision;
  control_ = 0;
  dacl_.reset();
  return WinError::Success;
}

uint32_t SecurityDescriptor::fromSelfRelative(std::span<const uint8_t> bytes, SecurityDescriptor& descriptor) {
  if (bytes.size() < kHeaderSize || bytes[0] != kRevision) return WinError::InvalidSecurityDescriptor;
  const auto control = static_cast<uint16_t>(readLittleEndian(&bytes[kControlOffset], 2));
  if ((control & kSelfRelative) == 0) return WinError::InvalidSecurityDescriptor;
  const auto daclOffset = static_cast<uint32_t>(readLittleEndian(&bytes[kDaclOffsetOffset], 4));
  SecurityDescriptor read;
  read.control_ = control & (kDaclPresent | kDaclDefaulted);
  if ((control & kDaclPresent) != 0 && daclOffset != 0) {
    if (daclOffset < kHeaderSize || daclOffset >= bytes.size()) return WinError::InvalidSecurityDescriptor;
    AccessControlList dacl;
    const uint32_t error = AccessControlList::fromBytes(bytes.subspan(daclOffset), dacl);
    if (error != WinError::Success) return error;
    read.dacl_ = std::move(dacl);
  }
  descriptor = std::move(read);
  return WinError::Success;
}

void SecurityDescriptor::getDacl(bool& present, const AccessControlList*& dacl, bool& defaulted) const {
  present = (control_ & kDaclPresent) != 0;
  defaulted = (control_ & kDaclDefaulted) != 0;
  dacl = dacl_ ? &*dacl_ : nullptr;
}

void SecurityDescriptor::setDacl(bool present, const AccessControlList* dacl, bool defaulted) {
  control_ = 0;
  dacl_.reset();
  if (!present) return;
  control_ = kDaclPresent | (defaulted ? kDaclDefaulted : 0);
  if (dacl != nullptr) dacl_ = *dacl;
}

std::vector<uint8_t> SecurityDescriptor::toSelfRelative() const {
  const std::span<const uint8_t> acl = dacl_ ? dacl_->bytes() : std::span<const uint8_t>();
  std::vector<uint8_t> bytes(kHeaderSize + acl.size());
  bytes[0] = kRevision;
  writeLittleEndian(&bytes[kControlOffset], 2, control_ | kSelfRelative);
  if (dacl_) writeLittleEndian(&bytes[kDaclOffsetOffset], 4, kHeaderSize);
  std::copy(acl.begin(), acl.end(), bytes.begin() + kHeaderSize);
  return bytes;
}
