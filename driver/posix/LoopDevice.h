#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DriverLog.h"
#include "sys/posix/UniqueFd.h"

// A loop device presenting a file as a block device with sectors of a given
// size, read-write. It is marked to clear itself at its last close, so that
// it goes away with vkvd even when vkvd ends without detaching it, unless a
// mounted or open partition still holds it (then the next vkvd adopts it);
// destroying the object detaches it. Not thread-safe.
class LoopDevice {
 public:
  // Attaches `fileFd` to a free loop device; null with `error` (an errno).
  static std::unique_ptr<LoopDevice> attach(int fileFd, uint32_t blockSize, std::shared_ptr<DriverLog> log, int& error);
  // Takes over loop device `number` while it presents `file` (an earlier
  // vkvd's disk file): held open, it stays on that file until destroying
  // the object detaches it. Null when it presents another file or none.
  static std::unique_ptr<LoopDevice> adopt(int number, const std::string& file, std::shared_ptr<DriverLog> log);
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

  // The file that loop device `number` presents, as sysfs gives its path;
  // empty when it presents none.
  static std::string backingFile(int number);

 private:
  LoopDevice(int number, sys::posix::UniqueFd fd, std::shared_ptr<DriverLog> log);

  int number_;
  sys::posix::UniqueFd fd_;
  std::shared_ptr<DriverLog> log_;
};
