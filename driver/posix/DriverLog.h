#pragma once

#include <memory>
#include <string>

#include "sys/posix/UniqueFd.h"

// vkvd's own log: one line per event, each with its local time, appended to a
// file (or written to stderr, where systemd's journal takes it). Each line is
// one write, so lines from several threads never mix. Thread-safe.
class DriverLog {
 public:
  // The log at `path`, or stderr when `path` is empty; null when the file
  // cannot be opened.
  static std::shared_ptr<DriverLog> open(const std::string& path);

  explicit DriverLog(sys::posix::UniqueFd fd) : fd_(std::move(fd)) {}

  // Writes one line from a printf-style format (no line end in the format).
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  sys::posix::UniqueFd fd_;
};
