#pragma once

#include <string>

#include "service/DebugLog.h"
#include "support/TempDir.h"

// The debug log, open for one test in a directory of its own. Programs that
// use it link the log library.
class CapturedLog {
 public:
  CapturedLog() { openDebugLog(dir_.file(u"debug.log").c_str()); }
  ~CapturedLog() { closeDebugLog(); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  // What was logged after the log's opening empty line, with "\n" line ends.
  // Closes the log.
  std::string lines() {
    closeDebugLog();
    return sofar();
  }
  // The same while the log stays open: each message is written whole.
  std::string sofar() const {
    std::string text = readFileBytes(dir_.path() / "debug.log");
    const std::string lineEnd = VK_TEXT_LINE_END;
    for (size_t at = text.find(lineEnd); at != std::string::npos; at = text.find(lineEnd, at + 1)) {
      text.replace(at, lineEnd.size(), "\n");
    }
    return text.starts_with("\n") ? text.substr(1) : text;
  }

 private:
  TempDir dir_;
};
