#include "VirtualDisk.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DriverControl.h"
#include "RuntimeDirectory.h"
#include "common/WinError.h"
#include "sys/posix/ErrnoMapping.h"

std::unique_ptr<VirtualDisk> VirtualDisk::create(const RuntimeDirectory& runtime, const MountDirectory* mounts,
                                                 uid_t owner, uint64_t size, uint32_t sectorSize,
                                                 std::shared_ptr<DriverLog> log, uint32_t& error) {
  error = checkPrerequisites(*log);
  if (error != WinError::Success) return nullptr;
  std::unique_ptr<VirtualDisk> disk(new VirtualDisk(mounts, owner, std::move(log)));
  int failure = disk->serveFile(runtime, size);
  if (failure == 0) failure = disk->attachFile(sectorSize);
  if (failure == 0) failure = disk->presentPartitions(runtime);
  if (failure == 0) {
    disk->mountVolumes();
    return disk;
  }
  error = sys::posix::winErrorFromErrno(failure);
  return nullptr;
}

// The disk's file on vkvd's own file system, its data served by the service.
int VirtualDisk::serveFile(const RuntimeDirectory& runtime, uint64_t size) {
  const std::string mountPointPath = runtime.path() + "/" + RuntimeDirectory::kDiskMountPoint;
  int failure = 0;
  const sys::posix::UniqueFd mountPoint =
      runtime.openSubdirectory(RuntimeDirectory::kDiskMountPoint, sys::posix::PrivateDirectory::Missing::Make, failure);
  if (!mountPoint.valid()) {
    log_->line("cannot make the mount point %s: %s", mountPointPath.c_str(), std::strerror(failure));
    return failure;
  }
  std::unique_ptr<SectorChannel> channel = SectorChannel::open(log_);
  if (!channel) {
    log_->line("cannot make the view shared with the service's port");
    return ENOMEM;
  }
  fuse_ = FuseDisk::mount(mountPoint.get(), mountPointPath, size, std::move(channel), log_, failure);
  return fuse_ ? 0 : failure;
}

// The file on a loop device, which holds the file from then on.
int VirtualDisk::attachFile(uint32_t sectorSize) {
  const sys::posix::UniqueFd file = fuse_->openFile();
  if (!file.valid()) {
    const int failure = errno;
    log_->line("cannot open the disk file %s: %s", fuse_->filePath().c_str(), std::strerror(failure));
    return failure;
  }
  int failure = 0;
  loop_ = LoopDevice::attach(file.get(), sectorSize, log_, failure);
  return loop_ ? 0 : failure;
}

// The identity, then the partitions: the identity is there before any
// partition can appear.
int VirtualDisk::presentPartitions(const RuntimeDirectory& runtime) {
  int failure = 0;
  identity_ = IdentityFile::publish(runtime, loop_->name(), log_, failure);
  if (!identity_) return failure;
  if ((failure = loop_->scanPartitions()) != 0) {
    log_->line("cannot turn on partition scanning of %s: %s", devicePath().c_str(), std::strerror(failure));
    return failure;
  }
  partitions_ = LoopPartitions::add(*loop_, log_, failure);
  return partitions_ ? 0 : failure;
}

// As the system's mount manager gives a new volume its drive letter; the
// service reads the mount points once the identity file says they are made.
void VirtualDisk::mountVolumes() {
  if (mounts_) {
    if (std::unique_ptr<MountDirectory> users = mounts_->userDirectory(owner_, *log_)) {
      // A user other than root runs nothing from the volumes: their programs are the image owner's.
      volumes_ = VolumeMounts::mount(std::move(users), *partitions_, owner_ != 0, log_);
    }
  }
  identity_->markVolumesSettled();
}

uint32_t VirtualDisk::releasePartitions() {
  const bool detachedLazily = volumes_ && volumes_->unmount();
  volumes_.reset();
  const int failure = partitions_->remove();
  if (failure == 0) return WinError::Success;
  if (failure == EBUSY && detachedLazily) {
    log_->line(
        "%s stays in use by a volume detached lazily: the disk goes all the same, that partition once the "
        "volume's last user leaves",
        devicePath().c_str());
    return WinError::Success;
  }
  if (failure == EBUSY) {
    log_->line("%s is in use (mounted elsewhere or open): the disk stays", devicePath().c_str());
  } else {
    log_->line("cannot delete the partitions of %s: %s; the disk stays", devicePath().c_str(), std::strerror(failure));
  }
  mountVolumes();
  return failure == EBUSY ? WinError::Busy : sys::posix::winErrorFromErrno(failure);
}

// Making a disk needs root, /dev/fuse and loop devices.
uint32_t VirtualDisk::checkPrerequisites(DriverLog& log) {
  if (geteuid() != 0) {
    log.line("making a disk needs root (it mounts a FUSE file system and attaches a loop device)");
    return WinError::AccessDenied;
  }
  for (const char* device : {"/dev/fuse", "/dev/loop-control"}) {
    if (access(device, R_OK | W_OK) != 0) {
      const int failure = errno;
      log.line("cannot use %s: %s (vkvd needs FUSE and loop devices)", device, std::strerror(failure));
      return failure == EACCES || failure == EPERM ? WinError::AccessDenied : WinError::NotSupported;
    }
  }
  return WinError::Success;
}
