#include "common/AccessControlList.h"

#include <algorithm>

#include "common/LittleEndian.h"
#include "common/WinError.h"

namespace {

constexpr uint32_t kMinRevision = 2;
constexpr uint32_t kMaxRevision = 4;
constexpr uint32_t kAceHeaderSize = 4;
constexpr uint32_t kAccessAllowedAceSize = 8;  // header and mask, before the SID

uint32_t aceSize(const uint8_t* ace) { return static_cast<uint32_t>(readLittleEndian(ace + 2, 2)); }

// Whether `aces` is a run of whole entries; counts them.
bool countAces(std::span<const uint8_t> aces, uint32_t& count) {
  count = 0;
  for (size_t at = 0; at < aces.size(); ++count) {
    if (aces.size() - at < kAceHeaderSize) return false;
    const uint32_t size = aceSize(&aces[at]);
    if (size < kAceHeaderSize || size % 4 != 0 || size > aces.size() - at) return false;
    at += size;
  }
  return true;
}

}  // namespace

uint32_t AccessControlList::initialize(uint32_t size, uint32_t revision) {
  if (revision < kMinRevision || revision > kMaxRevision) return WinError::UnknownRevision;
  if (size < kHeaderSize) return WinError::InsufficientBuffer;
  if (size > kMaxSize || size % 4 != 0) return WinError::InvalidParameter;
  bytes_.assign(size, 0);
  bytes_[0] = static_cast<uint8_t>(revision);
  writeLittleEndian(&bytes_[2], 2, size);
  return WinError::Success;
}

uint32_t AccessControlList::fromBytes(std::span<const uint8_t> bytes, AccessControlList& list) {
  if (bytes.size() < kHeaderSize) return WinError::InvalidAcl;
  const uint32_t revision = bytes[0];
  const auto size = static_cast<uint32_t>(readLittleEndian(&bytes[2], 2));
  const auto count = static_cast<uint32_t>(readLittleEndian(&bytes[4], 2));
  if (revision < kMinRevision || revision > kMaxRevision || size < kHeaderSize || size % 4 != 0 ||
      size > bytes.size()) {
    return WinError::InvalidAcl;
  }
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - at < kAceHeaderSize) return WinError::InvalidAcl;
    const uint32_t entry = aceSize(&bytes[at]);
    if (entry < kAceHeaderSize || entry % 4 != 0 || entry > size - at) return WinError::InvalidAcl;
    at += entry;
  }
  list.bytes_.assign(bytes.begin(), bytes.begin() + size);
  return WinError::Success;
}

uint32_t AccessControlList::aceCount() const {
  return bytes_.empty() ? 0 : static_cast<uint32_t>(readLittleEndian(&bytes_[4], 2));
}

uint32_t AccessControlList::offsetOf(uint32_t index) const {
  uint32_t at = kHeaderSize;
  for (uint32_t i = 0; i < index; ++i) at += aceSize(&bytes_[at]);
  return at;
}

uint32_t AccessControlList::bytesInUse() const { return offsetOf(aceCount()); }

AccessControlList::SizeInformation AccessControlList::sizeInformation() const {
  const uint32_t inUse = bytesInUse();
  return {aceCount(), inUse, static_cast<uint32_t>(bytes_.size()) - inUse};
}

uint32_t AccessControlList::getAce(uint32_t index, std::span<const uint8_t>& ace) const {
  if (index >= aceCount()) return WinError::InvalidParameter;
  const uint32_t at = offsetOf(index);
  ace = std::span<const uint8_t>(bytes_).subspan(at, aceSize(&bytes_[at]));
  return WinError::Success;
}

uint32_t AccessControlList::addAce(uint32_t revision, uint32_t index, std::span<const uint8_t> aces) {
  if (bytes_.empty()) return WinError::InvalidAcl;
  if (revision < kMinRevision || revision > kMaxRevision) return WinError::InvalidParameter;
  uint32_t added = 0;
  if (!countAces(aces, added)) return WinError::InvalidParameter;
  const uint32_t count = aceCount();
  if (count + added > 0xFFFF) return WinError::InvalidParameter;
  const uint32_t inUse = bytesInUse();
  if (aces.size() > bytes_.size() - inUse) return WinError::AllottedSpaceExceeded;
  const uint32_t at = offsetOf(std::min(index, count));
  // Moves the entries from `at` on up by the new entries' size; the free
  // bytes that come down in their place are then overwritten.
  std::rotate(bytes_.begin() + at, bytes_.begin() + inUse, bytes_.begin() + inUse + aces.size());
  std::copy(aces.begin(), aces.end(), bytes_.begin() + at);
  writeLittleEndian(&bytes_[4], 2, count + added);
  bytes_[0] = static_cast<uint8_t>(std::max<uint32_t>(bytes_[0], revision));
  return WinError::Success;
}

uint32_t AccessControlList::addAccessAllowedAce(uint32_t revision, uint32_t mask, const Sid& sid) {
  std::vector<uint8_t> ace(kAccessAllowedAceSize + sid.length());
  ace[0] = kAccessAllowedAceType;
  writeLittleEndian(&ace[2], 2, ace.size());
  writeLittleEndian(&ace[4], 4, mask);
  const std::vector<uint8_t> sidBytes = sid.bytes();
  std::copy(sidBytes.begin(), sidBytes.end(), ace.begin() + kAccessAllowedAceSize);
  return addAce(revision, kAppend, ace);
}
