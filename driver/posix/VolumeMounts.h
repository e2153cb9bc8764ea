#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DriverLog.h"
#include "LoopPartitions.h"
#include "MountDirectory.h"

// The volumes of a disk, mounted: each partition that holds a file system
// libblkid knows is mounted read-write, nosuid and nodev, in a directory of
// its own in the disk's user's directory of the mount directory, named as
// VolumeNames names it. A name that
// anything in the mount directory has already is neither followed nor
// mounted over: the volume goes to its fallback name instead, or stays
// unmounted when that is taken too. A volume that cannot be mounted is
// logged and left out; the disk serves all the same. Destroying the object
// unmounts the volumes. Not thread-safe.
class VolumeMounts {
 public:
  // Mounts the volumes of `partitions` in `directory`, the directory of the
  // user the disk is for; with `noexec` no program on them can be run.
  static std::unique_ptr<VolumeMounts> mount(std::unique_ptr<MountDirectory> directory,
                                             const LoopPartitions& partitions, bool noexec,
                                             std::shared_ptr<DriverLog> log);
  ~VolumeMounts() { unmount(); }
  VolumeMounts(const VolumeMounts&) = delete;
  VolumeMounts& operator=(const VolumeMounts&) = delete;

  // Unmounts each volume and removes its directory, and the user's directory
  // when that is left empty. One in use is detached
  // lazily: it is gone from the mount directory at once, and its file
  // system, which holds its partition, goes once its last user leaves.
  // Whether any was detached lazily.
  bool unmount();

 private:
  // A partition that holds a file system.
  struct Volume {
    int partition;
    std::string device;  // "/dev/loopNpK"
    std::string type;
    std::string label;
  };
  struct Mounted {
    std::string device;  // "/dev/loopNpK"
    std::string name;    // of its directory
  };

  VolumeMounts(std::unique_ptr<MountDirectory> directory, bool noexec, std::shared_ptr<DriverLog> log)
      : directory_(std::move(directory)), noexec_(noexec), log_(std::move(log)) {}
  // Partition `partition` on `device` as libblkid finds it; none, with the
  // reason logged, when it holds no signature, signatures of several, or
  // something that is no file system (swap, a RAID member).
  static std::optional<Volume> probe(int partition, const std::string& device, DriverLog& log);
  void mountVolume(const Volume& volume, const std::string& name);

  const std::unique_ptr<MountDirectory> directory_;
  const bool noexec_;
  std::shared_ptr<DriverLog> log_;
  std::vector<Mounted> mounted_;
};
