#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

// A GUID in the Windows layout: Data1-3 as integers, Data4 as bytes.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // The 16 bytes as Windows stores a GUID: Data1-3 little-endian, then Data4.
  static Guid fromBytes(const uint8_t* bytes);
  void toBytes(uint8_t* bytes) const;

  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case.
  std::u16string toString() const;

  friend auto operator<=>(const Guid&, const Guid&) = default;
};
