#include "common/Sid.h"

#include "common/LittleEndian.h"

namespace {

constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kLocalSystemRid = 18;

}  // namespace

Sid::Sid(uint64_t authority, std::vector<uint32_t> subAuthorities)
    : authority_(authority & 0xFFFFFFFFFFFF), subAuthorities_(std::move(subAuthorities)) {
  if (subAuthorities_.size() > kMaxSubAuthorities) subAuthorities_.resize(kMaxSubAuthorities);
}

Sid Sid::localSystem() { return Sid(kNtAuthority, {kLocalSystemRid}); }

std::optional<Sid> Sid::fromBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8 || bytes[0] != kRevision || bytes[1] > kMaxSubAuthorities) return std::nullopt;
  const size_t count = bytes[1];
  if (bytes.size() < 8 + 4 * count) return std::nullopt;
  uint64_t authority = 0;
  for (size_t i = 2; i < 8; ++i) authority = authority << 8 | bytes[i];
  std::vector<uint32_t> subAuthorities(count);
  for (size_t i = 0; i < count; ++i) subAuthorities[i] = static_cast<uint32_t>(readLittleEndian(&bytes[8 + 4 * i], 4));
  return Sid(authority, std::move(subAuthorities));
}

std::vector<uint8_t> Sid::bytes() const {
  std::vector<uint8_t> bytes(length());
  bytes[0] = kRevision;
  bytes[1] = static_cast<uint8_t>(subAuthorities_.size());
  for (size_t i = 0; i < 6; ++i) bytes[2 + i] = static_cast<uint8_t>(authority_ >> (8 * (5 - i)));
  for (size_t i = 0; i < subAuthorities_.size(); ++i) writeLittleEndian(&bytes[8 + 4 * i], 4, subAuthorities_[i]);
  return bytes;
}

std::u16string Sid::toString() const {
  std::string text = "S-1-" + std::to_string(authority_);
  for (const uint32_t part : subAuthorities_) text += "-" + std::to_string(part);
  return std::u16string(text.begin(), text.end());
}
