#pragma once

#include <cstddef>
#include <cstdint>

namespace vsimgpvd {

// How an image's bytes are stored, told by their first bytes (never by the
// file's name): as they are, or as a gzip, zstd or xz stream.
enum class CompressionFormat { None, Gzip, Zstd, Xz };

// The format whose magic bytes `head` (the image's first `size` bytes) begins with.
CompressionFormat detectCompression(const uint8_t* head, size_t size);
// Its name, for the log: "raw", "gzip", "zstd", "xz".
const char16_t* compressionName(CompressionFormat format);

}  // namespace vsimgpvd
