#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DriverLog.h"
#include "FuseDisk.h"
#include "IdentityFile.h"
#include "LoopDevice.h"
#include "LoopPartitions.h"
#include "MountDirectory.h"
#include "RuntimeDirectory.h"
#include "VolumeMounts.h"

// One disk of the driver: a file of the disk's size on vkvd's own FUSE file
// system, whose data comes from the service; that file on a loop device with
// the disk's sector size; the partitions of its table; its identity; and its
// volumes, mounted in the mount directory when there is one. Made whole or
// not at all (a volume that cannot be mounted does not count); destroying it
// takes every part away again, the last made first. Not thread-safe.
class VirtualDisk {
 public:
  // Makes the disk, its file system mounted and its identity published in
  // `runtime`, its volumes mounted in the directory of user `owner` (whom
  // the disk is for) in `mounts` unless that is null; null with `error` (a
  // Win32 error) and the reason logged. `runtime` and `mounts` outlive the
  // disk.
  static std::unique_ptr<VirtualDisk> create(const RuntimeDirectory& runtime, const MountDirectory* mounts,
                                             uid_t owner, uint64_t size, uint32_t sectorSize,
                                             std::shared_ptr<DriverLog> log, uint32_t& error);
  VirtualDisk(const VirtualDisk&) = delete;
  VirtualDisk& operator=(const VirtualDisk&) = delete;

  // The first step of removing the disk: unmounts its volumes and deletes
  // the partitions; 0 or a Win32 error. While anything else uses the disk
  // (a partition mounted elsewhere, or held open exclusively) it is
  // ERROR_BUSY, with the disk left as it was, its volumes mounted again.
  // A volume in use is detached lazily; it holds its partition until its
  // last user leaves, so the partitions stay, and the result is 0: the rest
  // of the disk goes when it is destroyed, that partition with its last user.
  uint32_t releasePartitions();

  int loopNumber() const { return loop_->number(); }
  std::string devicePath() const { return loop_->path(); }

 private:
  VirtualDisk(const MountDirectory* mounts, uid_t owner, std::shared_ptr<DriverLog> log)
      : mounts_(mounts), owner_(owner), log_(std::move(log)) {}
  static uint32_t checkPrerequisites(DriverLog& log);
  // The steps of making the disk, in order; each 0 or an errno.
  int serveFile(const RuntimeDirectory& runtime, uint64_t size);
  int attachFile(uint32_t sectorSize);
  int presentPartitions(const RuntimeDirectory& runtime);
  void mountVolumes();

  const MountDirectory* mounts_;
  const uid_t owner_;
  std::shared_ptr<DriverLog> log_;
  // In the order they are made, so that they go in the reverse order.
  std::unique_ptr<FuseDisk> fuse_;
  std::unique_ptr<LoopDevice> loop_;
  std::unique_ptr<IdentityFile> identity_;
  std::unique_ptr<LoopPartitions> partitions_;
  std::unique_ptr<VolumeMounts> volumes_;
};
