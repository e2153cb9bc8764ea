#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "provider/InitCodes.h"

namespace vsimgpvd {

// A file the provider reads and writes at byte offsets: an image part (opened
// read-only) or the store of written data. Each platform folder implements
// the functions below.
class ImageFile {
 public:
  virtual ~ImageFile() = default;

  // Moves up to `count` bytes at `offset`; fewer at the end of the file or
  // on an error.
  virtual uint32_t readAt(void* destination, uint64_t offset, uint32_t count) = 0;
  virtual uint32_t writeAt(const void* source, uint64_t offset, uint32_t count) = 0;
};

// Opens an existing regular file read-only and gets its size. Returns kOpened,
// kImageNotFound, kImageUnreadable, kUnknownFormat (not a regular file) or
// kOutOfMemory. Never waits for a reader or writer (FIFOs are refused).
InitCode openImageFile(const std::u16string& path, std::unique_ptr<ImageFile>& file, uint64_t& size);

// Creates `path` anew for reading and writing, as sparse as the file system
// allows; the file is removed when it is closed. Null on failure, and when
// anything already exists at `path` (never truncate, and later remove, a file
// or link the caller did not mean: an image part, or any file of the system's).
std::unique_ptr<ImageFile> createTempFile(const std::u16string& path);

// True when something exists at `path`.
bool pathExists(const std::u16string& path);

}  // namespace vsimgpvd
