#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vsimgpvd {

// A text file the provider appends its log lines to. Each platform folder
// implements it.
class LogFile {
 public:
  virtual ~LogFile() = default;

  // Appends `text` with one request, each '\n' as the platform's line end.
  virtual void append(std::string_view text) = 0;
};

// Opens `path` for appending, creating it when missing. Null on failure.
std::unique_ptr<LogFile> openLogFile(const std::u16string& path);

}  // namespace vsimgpvd
