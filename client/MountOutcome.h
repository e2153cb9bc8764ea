#pragma once

#include <cstdint>
#include <string>

#include "ExitCode.h"

// What the virtual-disk driver reports when asked after a mount was refused
// with -9, which stands for three causes; it tells the user which one.
struct DriverCheck {
  enum class State { Unknown, Unreachable, HoldsDisk, Free };
  State state = State::Unknown;
  std::string mountedImage;  // with HoldsDisk: the image of the disk it holds, when known
};

// A mount's result code as the user sees it: whether the image is mounted,
// a plain sentence, and the exit code. The service refuses an image file it
// cannot read (-15, -18) whether or not it exists; `imageMissing` (the user
// finds no such file) tells the two apart.
struct MountOutcome {
  bool mounted = false;
  ExitCode exitCode = ExitCode::Done;
  std::string sentence;

  static MountOutcome of(int32_t result, const std::string& image, const DriverCheck& driver = {},
                         bool imageMissing = false);
};
