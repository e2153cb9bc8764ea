#pragma once

#include <string>
#include <vector>

// A partition of the mount service's disk, with the places it is mounted at.
struct PartitionFacts {
  std::string name;          // "loop0p1", as /sys/class/block names it
  std::string deviceNumber;  // "259:0"
  std::vector<std::string> mountPoints;
};

// What the mount service's disk consists of, as found before an unmount, or
// what of it is still there after one: the driver's answer, the loop device
// that presents the disk, the file it presents, vkvd's file system holding
// that file, and the disk's partitions.
struct DiskFacts {
  bool driverHoldsDisk = false;
  std::string image;           // the image the driver names for its disk
  std::string diskName;        // "loop0"; empty when there is none
  std::string backingFile;     // the file the loop device presents
  std::string fuseMountPoint;  // where vkvd's file system holding that file is mounted; empty when it is not
  std::vector<PartitionFacts> partitions;

  bool empty() const { return !driverHoldsDisk && diskName.empty() && fuseMountPoint.empty() && partitions.empty(); }
};
