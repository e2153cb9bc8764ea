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
  enum class OpenMode {
    Truncate,  // created or emptied; a new file is readable and writable by its owner only
    Append,    // created when missing; every write lands at the file's current end
  };

  virtual ~FileSystem() = default;

  // Opens `path` for writing; other processes may read and write it meanwhile.
  // Never waits for a reader (a FIFO without one fails). Null on failure, with
  // the Win32 error in `error`.
  virtual std::unique_ptr<TextFile> openTextFile(const std::u16string& path, OpenMode mode, uint32_t& error) = 0;
};

}  // namespace sys
