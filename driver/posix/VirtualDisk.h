#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DriverLog.h"
#include "FuseDisk.h"
#include "IdentityFile.h"
#include "LoopDevice.h"
#include "LoopPartitions.h"
#include "RuntimeDirectory.h"

// One disk of the driver: a file of the disk's size on vkvd's own FUSE file
// system, whose data comes from the service; that file on a loop device with
// the disk's sector size; the partitions of its table; and its identity.
// Made whole or not at all; destroying it takes every part away again, the
// last made first. Not thread-safe.
class VirtualDisk {
 public:
  // Makes the disk, its file system mounted and its identity published in
  // `runtime`; null with `error` (a Win32 error) and the reason logged.
  static std::unique_ptr<VirtualDisk> create(const RuntimeDirectory& runtime, uint64_t size, uint32_t sectorSize,
                                             std::shared_ptr<DriverLog> log, uint32_t& error);
  VirtualDisk(const VirtualDisk&) = delete;
  VirtualDisk& operator=(const VirtualDisk&) = delete;

  // Deletes the partitions, the first step of removing the disk, unless the
  // disk is in use: 0, or a Win32 error (ERROR_BUSY while it is in use)
  // with the disk left as it was.
  uint32_t releasePartitions();

  int loopNumber() const { return loop_->number(); }
  std::string devicePath() const { return loop_->path(); }

 private:
  explicit VirtualDisk(std::shared_ptr<DriverLog> log) : log_(std::move(log)) {}
  static uint32_t checkPrerequisites(DriverLog& log);
  // The steps of making the disk, in order; each 0 or an errno.
  int serveFile(const RuntimeDirectory& runtime, uint64_t size);
  int attachFile(uint32_t sectorSize);
  int presentPartitions(const RuntimeDirectory& runtime);

  std::shared_ptr<DriverLog> log_;
  // In the order they are made, so that they go in the reverse order.
  std::unique_ptr<FuseDisk> fuse_;
  std::unique_ptr<LoopDevice> loop_;
  std::unique_ptr<IdentityFile> identity_;
  std::unique_ptr<LoopPartitions> partitions_;
};
