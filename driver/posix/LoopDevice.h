#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DriverLog.h"
#include "sys/posix/UniqueFd.h"

// A loop device presenting a file as a block device with sectors of a given
// size, read-write. It is marked to clear itself at its last close, so that
// it goes away with vkvd even when vkvd ends without detaching it; destroying
// the object detaches it. Not thread-safe.
class LoopDevice {
 public:
  // Attaches `fileFd` to a free loop device; null with `error` (an errno).
  static std::unique_ptr<LoopDevice> attach(int fileFd, uint32_t blockSize, std::shared_ptr<DriverLog> log, int& error);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  int number() const { return number_; }
  // "loopN", as /sys/class/block names it.
  std::string name() const { return "loop" + std::to_string(number_); }
  std::string path() const { return "/dev/" + name(); }
  int fd() const { return fd_.get(); }

  // Turns on partition scanning, so that the kernel reads the partition
  // table now where it has a parser for it; 0 or an errno.
  int scanPartitions();

 private:
  LoopDevice(int number, sys::posix::UniqueFd fd, std::shared_ptr<DriverLog> log);

  int number_;
  sys::posix::UniqueFd fd_;
  std::shared_ptr<DriverLog> log_;
};
