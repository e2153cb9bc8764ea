#pragma once

#include <array>
#include <memory>
#include <span>
#include <string_view>

#include "common/LogFormatter.h"
#include "provider/LogFile.h"

namespace vsimgpvd {

// The provider's own log: plain text lines appended to the file the caller
// names, each formatted by formatLogMessage with its code units above 0xFF
// left out, and written with one request. Logging never fails its caller.
class ProviderLog {
 public:
  // Opens `path` for appending; null or empty leaves the log closed, and so
  // does a failed open, silently.
  void open(const char16_t* path);
  void close() { file_.reset(); }

  template <class... Args>
  void line(const char16_t* format, const Args&... args) {
    if (!file_) return;
    const std::array<LogArg, sizeof...(Args)> list{LogArg(args)...};
    write(format, list);
  }

 private:
  void write(std::u16string_view format, std::span<const LogArg> args);

  std::unique_ptr<LogFile> file_;
};

}  // namespace vsimgpvd
