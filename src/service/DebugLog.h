#pragma once

#include <array>
#include <span>
#include <string_view>

#include "common/LogFormatter.h"

// The process-wide debug log for support staff: a plain text file, written
// only while one is open. Each message is formatted by formatLogMessage, its
// code units above 0xFF are left out, and it is written with one request and
// no buffering, so a crash loses nothing already logged. Any thread may log
// at any time, also while another opens or closes the log; messages are never
// interleaved.

// Opens (creates or truncates) `path` as the log and writes an empty line.
// Null does nothing; a failed open leaves the log closed, silently.
void openDebugLog(const char16_t* path);
void closeDebugLog();
bool debugLogIsOpen();

void writeDebugLog(std::u16string_view format, std::span<const LogArg> args);

template <class... Args>
void debugLog(const char16_t* format, const Args&... args) {
  if (!debugLogIsOpen()) return;
  const std::array<LogArg, sizeof...(Args)> list{LogArg(args)...};
  writeDebugLog(format, list);
}
