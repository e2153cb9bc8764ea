#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sys {

// A file opened for writing in text mode: each '\n' is written as the
// platform's line end. Not thread-safe; the owner serializes writes.
class TextFile {
 public:
  virtual ~TextFile() = default;
  // Writes all of `text` with one request to the system; false on failure.
  virtual bool write(std::string_view text) = 0;
};

// Files of the local system.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates or truncates `path` for writing, readable and writable by its
  // owner only; other processes may read it meanwhile. Null on failure, with
  // the Win32 error in `error`.
  virtual std::unique_ptr<TextFile> createTextFile(const std::u16string& path, uint32_t& error) = 0;
};

}  // namespace sys
