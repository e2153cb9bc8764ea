#pragma once

#include "sys/posix/UniqueFd.h"

// The service's controls as signals, taken from a descriptor rather than by
// a handler: SIGTERM (systemd's stop) and SIGINT stop the service; SIGHUP,
// the usual request to reload, is a control the service does not take.
// Made before any thread starts, so that every thread blocks them and they
// reach the descriptor only.
class StopSignals {
 public:
  StopSignals();

  bool valid() const { return fd_.valid(); }
  // Why it is not valid: an errno.
  int error() const { return error_; }
  // Readable when a signal is waiting.
  int fd() const { return fd_.get(); }
  // The waiting signal's number; 0 when none is waiting.
  int take();

 private:
  sys::posix::UniqueFd fd_;
  int error_ = 0;
};
