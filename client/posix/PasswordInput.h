#pragma once

#include <chrono>
#include <string>

#include "InterruptSignals.h"

// Reads the image's password: the first line of a file, or a line typed on
// the terminal without echo.
class PasswordInput {
 public:
  enum class Result { Read, Interrupted, Failed };

  // How long the terminal waits for the password to be typed.
  static constexpr std::chrono::minutes kTypingWait{10};

  // The first line of the file `path`, without its line end; Failed with a
  // sentence when it cannot be read.
  static Result fromFile(const std::string& path, std::string& password, std::string& error);
  // Asks on the controlling terminal (/dev/tty) with `prompt`, echo off; the
  // terminal's settings come back on every way out. Interrupted when a
  // signal of `interrupts` comes first; Failed when nothing is typed in
  // kTypingWait.
  static Result fromTerminal(const std::string& prompt, InterruptSignals& interrupts, std::string& password,
                             std::string& error);
};
