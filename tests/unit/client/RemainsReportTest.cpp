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
  const RemainsReport report(mountedDisk(), remaining, UmountOutcome::Unmounted);
  EXPECT_TRUE(report.nothingLeft());
  EXPECT_TRUE(report.succeeded());
  EXPECT_FALSE(report.detachedLazily());
  EXPECT_EQ(report.text(),
            "Unmounted /srv/b.img: /dev/loop4p1 (mounted at /run/vkbvd-volumes/BACKUP) and its disk /dev/loop4 are "
            "gone.");
}

TEST(RemainsReport, NothingThereBeforeOrOnlyTheDriversWord) {
  EXPECT_EQ(RemainsReport(DiskFacts(), DiskFacts(), UmountOutcome::NothingMounted).text(), "Nothing was mounted.");
  // The disk could not be seen locally (no record, no loop device): the
  // driver's answer is all there is.
  DiskFacts driverOnly;
  driverOnly.driverHoldsDisk = true;
  driverOnly.image = "/srv/b.img";
  EXPECT_EQ(RemainsReport(driverOnly, DiskFacts(), UmountOutcome::Unmounted).text(), "Unmounted /srv/b.img.");
  DiskFacts stillHeld = driverOnly;
  const RemainsReport report(driverOnly, stillHeld, UmountOutcome::NotUnmounted);
  EXPECT_FALSE(report.nothingLeft());
  EXPECT_EQ(report.text(),
            "The unmount left part of the disk behind:\n"
            "  the virtual-disk driver still holds the disk of /srv/b.img");
}

// Nothing was there to note before the unmount (a mount was still opening
// its image): what the service did decides the sentence, not what was seen.
TEST(RemainsReport, WhatTheServiceDidDecidesWhenNothingIsLeft) {
  struct Case {
    UmountOutcome outcome;
    bool succeeded;
    const char* text;
  };
  const Case cases[] = {
      {UmountOutcome::NothingMounted, true, "Nothing was mounted."},
      {UmountOutcome::CancelledMount, true, "Cancelled the mount in progress; nothing is mounted."},
      {UmountOutcome::Unmounted, true, "Unmounted."},
      {UmountOutcome::NotUnmounted, false,
       "The service did not unmount: another mount or unmount held on past its wait, or the virtual-disk driver "
       "would not remove the disk."},
  };
  for (const Case& c : cases) {
    const RemainsReport report(DiskFacts(), DiskFacts(), c.outcome);
    EXPECT_EQ(report.succeeded(), c.succeeded) << c.text;
    EXPECT_EQ(report.text(), c.text);
  }
}

// Another user's mount is refused whole: whatever is there stays and is not
// listed as left behind.
TEST(RemainsReport, ARefusedUnmountSaysWhyAndNothingElse) {
  for (const DiskFacts& there : {mountedDisk(), DiskFacts()}) {
    const RemainsReport report(there, there, UmountOutcome::Refused);
    EXPECT_FALSE(report.succeeded());
    EXPECT_EQ(report.text(),
              "Nothing was unmounted: the mounted disk is another user's; only that user or root may unmount it.");
  }
}

// The mount table no longer lists the volume, but its partition and loop
// device stay: a process still uses the lazily detached volume.
TEST(RemainsReport, LazilyDetachedVolumeIsSaidSo) {
  DiskFacts remaining = mountedDisk();
  remaining.driverHoldsDisk = false;
  remaining.fuseMountPoint.clear();
  remaining.partitions[0].mountPoints.clear();
  const RemainsReport report(mountedDisk(), remaining, UmountOutcome::Unmounted);
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
  const RemainsReport report(before, remaining, UmountOutcome::NotUnmounted);
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
