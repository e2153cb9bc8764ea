#pragma once

#include <string>
#include <vector>

#include "DiskFacts.h"
#include "MountRecord.h"

// Finds the mount service's disk in sysfs and the mount table, and later
// what of it is still there. The disk is the whole disk of the partition the
// mounted-drive record names, or else a loop device that presents a file in
// vkvd's runtime directory (its disk file). Reads files only; the paths of
// sysfs and of the mount table are given, so that tests can lay out their
// own. The driver's part of the facts is the caller's.
class DiskInspector {
 public:
  explicit DiskInspector(std::string sysRoot = "/sys", std::string mountTable = "/proc/self/mountinfo")
      : sysRoot_(std::move(sysRoot)), mountTable_(std::move(mountTable)) {}

  // vkvd's runtime directory: $VKBVD_RUNTIME_DIR, or /run/vkbvd.
  static std::string runtimeDirectory();

  // The disk of the partition `recordDevice` ("/dev/loop0p1", may be
  // empty), or the loop device whose file lies in `runtimeDir`; empty facts
  // when neither is there.
  DiskFacts find(const std::string& recordDevice, const std::string& runtimeDir) const;
  // Whether the partition `device` ("/dev/loop0p1") exists.
  bool hasPartition(const std::string& device) const;
  // Where the partition `device` is mounted now, each with a trailing '/'
  // as the record writes them.
  std::vector<std::string> mountPointsOfPartition(const std::string& device) const;
  // Gives a record that lists no mount point those of the mount table: the
  // service writes the record as the volume arrives, which may be before
  // vkvd has mounted it.
  void completeMountPoints(MountRecord& record) const;
  // What of the disk found before is still there: the loop device while it
  // presents the same file (also once vkvd's file system holding it was
  // detached lazily), each partition while it exists with the same
  // device number, with the places it is mounted at now, and vkvd's file
  // system while it is mounted.
  DiskFacts remaining(const DiskFacts& before) const;

 private:
  struct Mount {
    std::string deviceNumber;
    std::string mountPoint;
    std::string type;
  };

  std::string blockPath(const std::string& name) const { return sysRoot_ + "/block/" + name; }
  std::string diskOfPartition(const std::string& partition) const;
  std::string diskPresenting(const std::string& directory) const;
  std::string backingFileOf(const std::string& disk) const;
  // Whether the loop device noted still presents the file noted.
  bool presentsSameFile(const DiskFacts& before) const;
  std::vector<PartitionFacts> partitionsOf(const std::string& disk) const;
  std::vector<Mount> mounts() const;
  static std::vector<std::string> mountPointsOf(const std::string& deviceNumber, const std::vector<Mount>& mounts);
  static std::string fuseMountHolding(const std::string& file, const std::vector<Mount>& mounts);

  std::string sysRoot_;
  std::string mountTable_;
};
