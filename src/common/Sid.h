#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A security identifier in the system's binary form: revision 1, the count of
// sub-authorities, a 48-bit identifier authority (most significant byte
// first) and up to 15 sub-authorities of 32 bits (least significant first).
class Sid {
 public:
  static constexpr uint8_t kRevision = 1;
  static constexpr size_t kMaxSubAuthorities = 15;

  Sid(uint64_t authority, std::vector<uint32_t> subAuthorities);

  // LocalSystem, S-1-5-18.
  static Sid localSystem();
  // The identifier at the start of `bytes`; none when it is not a whole,
  // well-formed one.
  static std::optional<Sid> fromBytes(std::span<const uint8_t> bytes);

  uint64_t authority() const { return authority_; }
  const std::vector<uint32_t>& subAuthorities() const { return subAuthorities_; }
  uint32_t length() const { return 8 + 4 * static_cast<uint32_t>(subAuthorities_.size()); }
  std::vector<uint8_t> bytes() const;
  // "S-1-5-18"
  std::u16string toString() const;

  bool operator==(const Sid&) const = default;

 private:
  uint64_t authority_;
  std::vector<uint32_t> subAuthorities_;
};
