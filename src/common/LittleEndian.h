#pragma once

#include <cstddef>
#include <cstdint>

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
