#include "RemainsReport.h"

#include <gtest/gtest.h>

namespace {

// A mounted disk as the client notes it before an unmount.
DiskFacts mountedDisk() {
  DiskFacts disk;
  disk.driverHoldsDisk = true;
  disk.image = "/srv/b.img";
  disk.diskName = "loop4";
  disk.backingFile = "/run/vkbvd/disk/disk";
  disk.fuseMountPoint = "/run/vkbvd/disk";
  disk.partitions = {{"loop4p1", "259:3", {"/run/vkbvd-volumes/BACKUP"}}};
  return disk;
}

TEST(RemainsReport, AllGoneNamesWhatWent) {
  DiskFacts remaining;
  remaining.image = "/srv/b.img";
  const RemainsReport report(mountedDisk(), remaining);
  EXPECT_TRUE(report.nothingLeft());
  EXPECT_FALSE(report.detachedLazily());
  EXPECT_EQ(report.text(),
            "Unmounted /srv/b.img: /dev/loop4p1 (mounted at /run/vkbvd-volumes/BACKUP) and its disk /dev/loop4 are "
            "gone.");
}

TEST(RemainsReport, NothingThereBeforeOrOnlyTheDriversWord) {
  EXPECT_EQ(RemainsReport(DiskFacts(), DiskFacts()).text(), "Nothing was mounted.");
  // The disk could not be seen locally (no record, no loop device): the
  // driver's answer is all there is.
  DiskFacts driverOnly;
  driverOnly.driverHoldsDisk = true;
  driverOnly.image = "/srv/b.img";
  EXPECT_EQ(RemainsReport(driverOnly, DiskFacts()).text(), "Unmounted /srv/b.img.");
  DiskFacts stillHeld = driverOnly;
  const RemainsReport report(driverOnly, stillHeld);
  EXPECT_FALSE(report.nothingLeft());
  EXPECT_EQ(report.text(),
            "The unmount left part of the disk behind:\n"
            "  the virtual-disk driver still holds the disk of /srv/b.img");
}

// The mount table no longer lists the volume, but its partition and loop
// device stay: a process still uses the lazily detached volume.
TEST(RemainsReport, LazilyDetachedVolumeIsSaidSo) {
  DiskFacts remaining = mountedDisk();
  remaining.driverHoldsDisk = false;
  remaining.fuseMountPoint.clear();
  remaining.partitions[0].mountPoints.clear();
  const RemainsReport report(mountedDisk(), remaining);
  EXPECT_FALSE(report.nothingLeft());
  EXPECT_TRUE(report.detachedLazily());
  EXPECT_EQ(report.text(),
            "The unmount left part of the disk behind:\n"
            "  /dev/loop4p1 (mounted at /run/vkbvd-volumes/BACKUP) was detached lazily and is still in use by a "
            "process; it goes, with its disk, once that process lets go of it\n"
            "  /dev/loop4 is still attached to /run/vkbvd/disk/disk");
}

// Nothing was removed (the driver refused, or no driver runs): each part is named.
TEST(RemainsReport, EveryPartThatStaysIsNamed) {
  DiskFacts before = mountedDisk();
  before.partitions.push_back({"loop4p2", "259:4", {}});
  DiskFacts remaining = before;
  remaining.partitions[0].mountPoints.push_back("/mnt/elsewhere");
  const RemainsReport report(before, remaining);
  EXPECT_FALSE(report.detachedLazily());
  EXPECT_EQ(report.text(),
            "The unmount left part of the disk behind:\n"
            "  /dev/loop4p1 is still mounted at /run/vkbvd-volumes/BACKUP\n"
            "  /dev/loop4p1 is still mounted at /mnt/elsewhere\n"
            "  /dev/loop4p2 still exists\n"
            "  /dev/loop4 is still attached to /run/vkbvd/disk/disk\n"
            "  vkvd's disk file system is still mounted at /run/vkbvd/disk\n"
            "  the virtual-disk driver still holds the disk of /srv/b.img");
}

}  // namespace
