#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vsimgpvd {

// A text file the provider appends its log to. Each '\n' is written as the
// platform's line end. Not thread-safe; the owner serializes writes.
class LogFile {
 public:
  virtual ~LogFile() = default;
  // Appends all of `text` with one request to the system; false on failure.
  virtual bool append(std::string_view text) = 0;
};

// Opens `path` for appending, created when missing (on Linux readable and
// writable by its owner only); other processes may read and write it
// meanwhile. Never waits for a reader (a FIFO without one fails). Null on
// failure. On Linux only a regular file is taken: not a symbolic link as the
// file itself, nor a path through a magic link of /proc, nor a device,
// terminal or FIFO. Each platform folder implements it.
std::unique_ptr<LogFile> openLogFile(const std::u16string& path);

}  // namespace vsimgpvd
