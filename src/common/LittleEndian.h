#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Integers of `size` bytes (at most 8) stored least significant byte first,
// as the system's binary records hold them.
inline uint64_t readLittleEndian(const uint8_t* at, size_t size) {
  uint64_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | at[i];
  return value;
}

inline void writeLittleEndian(uint8_t* at, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The UTF-16LE text of a fixed field of `units` code units, up to its first
// zero unit (the whole field when it has none).
inline std::u16string readUtf16LittleEndian(const uint8_t* at, size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units; ++i) {
    const auto unit = static_cast<char16_t>(readLittleEndian(at + 2 * i, 2));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}
