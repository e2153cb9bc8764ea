#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of GPT headers and partition arrays (IEEE 802.3, reflected,
// polynomial 0xEDB88320), continued from `crc` as zlib's crc32() is: start
// with 0, or pass the result of the previous piece (as RtlComputeCrc32).
uint32_t computeCrc32(uint32_t crc, const void* data, size_t size);
