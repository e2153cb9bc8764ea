#pragma once

// How vkbvd ends, as the README's table lists it.
enum class ExitCode : int {
  Done = 0,
  Usage = 1,               // the command line is wrong, or a password cannot be read
  ServiceUnreachable = 2,  // no bus, no service, or no usable answer from it
  DriverRefused = 3,       // a disk is mounted already, or the driver does not answer or cannot create one
  AccessRefused = 4,       // the image cannot be read with the caller's rights, the bus refuses the call, or
                           // the mount to unmount is another user's
  ImageUnusable = 5,       // the image cannot be opened
  LeftBehind = 6,          // an unmount left part of the disk behind
  OutcomeUnknown = 7,      // interrupted while the service was still mounting
  Cancelled = 8,           // the mount was cancelled by an unmount or the service's stop; nothing is mounted
  Interrupted = 130,       // interrupted; nothing stays mounted
};

inline int exitStatus(ExitCode code) { return static_cast<int>(code); }
