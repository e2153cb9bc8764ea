#include "DiskInspector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRuntime = "/nonexistent-run/vkbvd";
constexpr const char* kDiskFile = "/nonexistent-run/vkbvd/disk/disk";

// The volume mounted by vkvd (its name has a blank), a bind mount of it,
// vkvd's file system, and the root of another disk.
constexpr const char* kMountedTable =
    "36 25 259:3 / /run/vkbvd-volumes/MY\\040DISK rw,nosuid,nodev shared:1 - ext4 /dev/loop4p1 rw\n"
    "37 25 0:50 / /nonexistent-run/vkbvd/disk rw,nosuid - fuse.vkvd vkvd rw,user_id=0\n"
    "38 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
    "39 36 259:3 /sub /mnt/bind rw - ext4 /dev/loop4p1 rw\n";

// A sysfs of its own: vkvd's loop device with two partitions, another loop
// device and a disk with a partition.
class DiskInspectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write("block/loop4/dev", "7:4");
    write("block/loop4/loop/backing_file", kDiskFile);
    fs::create_directories(sys() / "block/loop4/queue");
    addPartition("loop4", "loop4p1", "259:3");
    addPartition("loop4", "loop4p2", "259:4");
    write("block/loop0/loop/backing_file", "/var/tmp/other.img");
    addPartition("sda", "sda1", "8:1");
    setMountTable(kMountedTable);
  }

  fs::path sys() const { return dir_.path() / "sys"; }
  void write(const std::string& path, const std::string& text) {
    fs::create_directories((sys() / path).parent_path());
    std::ofstream(sys() / path) << text << "\n";
  }
  void addPartition(const std::string& disk, const std::string& name, const std::string& number) {
    write("block/" + disk + "/" + name + "/partition", "1");
    write("block/" + disk + "/" + name + "/dev", number);
  }
  void setMountTable(const std::string& table) { std::ofstream(dir_.path() / "mountinfo") << table; }
  DiskInspector inspector() const { return DiskInspector(sys().string(), (dir_.path() / "mountinfo").string()); }

  TempDir dir_;
};

TEST_F(DiskInspectorTest, FindsTheRecordsDiskWithPartitionsAndMounts) {
  const DiskFacts disk = inspector().find("/dev/loop4p1", kRuntime);
  EXPECT_EQ(disk.diskName, "loop4");
  EXPECT_EQ(disk.backingFile, kDiskFile);
  EXPECT_EQ(disk.fuseMountPoint, "/nonexistent-run/vkbvd/disk");
  ASSERT_EQ(disk.partitions.size(), 2u);
  EXPECT_EQ(disk.partitions[0].name, "loop4p1");
  EXPECT_EQ(disk.partitions[0].deviceNumber, "259:3");
  EXPECT_EQ(disk.partitions[0].mountPoints, (std::vector<std::string>{"/run/vkbvd-volumes/MY DISK", "/mnt/bind"}));
  EXPECT_EQ(disk.partitions[1].name, "loop4p2");
  EXPECT_TRUE(disk.partitions[1].mountPoints.empty());
}

// Without a record (or with one naming no partition that exists) the disk
// is vkvd's loop device, known by its file in the runtime directory.
TEST_F(DiskInspectorTest, WithoutRecordFindsVkvdsLoopDevice) {
  EXPECT_EQ(inspector().find("", kRuntime).diskName, "loop4");
  EXPECT_EQ(inspector().find("/dev/loop9p1", kRuntime).diskName, "loop4");
  EXPECT_EQ(inspector().find("/dev/sda1", kRuntime).diskName, "sda");
  EXPECT_TRUE(inspector().find("", "/elsewhere").empty());
  EXPECT_TRUE(inspector().find("", "/nonexistent-run/vk").empty());
  EXPECT_TRUE(inspector().hasPartition("/dev/loop4p2"));
  EXPECT_FALSE(inspector().hasPartition("/dev/loop4"));
  EXPECT_FALSE(inspector().hasPartition("/dev/loop9p1"));
}

// Where a partition is mounted, as the record writes it (with a trailing '/').
TEST_F(DiskInspectorTest, MountPointsOfAPartitionFromTheMountTable) {
  EXPECT_EQ(inspector().mountPointsOfPartition("/dev/loop4p1"),
            (std::vector<std::string>{"/run/vkbvd-volumes/MY DISK/", "/mnt/bind/"}));
  EXPECT_EQ(inspector().mountPointsOfPartition("/dev/sda1"), std::vector<std::string>{"/"});
  EXPECT_TRUE(inspector().mountPointsOfPartition("/dev/loop4p2").empty());
  // A record written before vkvd mounted the volume gets the mount table's
  // mount points; one that lists its own keeps them.
  MountRecord early{"id", "/dev/loop4p1", {}};
  inspector().completeMountPoints(early);
  EXPECT_EQ(early.mountPoints, (std::vector<std::string>{"/run/vkbvd-volumes/MY DISK/", "/mnt/bind/"}));
  MountRecord listed{"id", "/dev/loop4p1", {"/elsewhere/"}};
  inspector().completeMountPoints(listed);
  EXPECT_EQ(listed.mountPoints, std::vector<std::string>{"/elsewhere/"});
}

TEST_F(DiskInspectorTest, RemainingFollowsWhatGoes) {
  const DiskFacts before = inspector().find("/dev/loop4p1", kRuntime);
  const DiskFacts unchanged = inspector().remaining(before);
  EXPECT_EQ(unchanged.diskName, "loop4");
  EXPECT_EQ(unchanged.fuseMountPoint, before.fuseMountPoint);
  ASSERT_EQ(unchanged.partitions.size(), 2u);
  EXPECT_EQ(unchanged.partitions[0].mountPoints, before.partitions[0].mountPoints);

  // Unmounted lazily, vkvd's file system too: the partitions and the loop
  // device stay, and the kernel names the disk's file by its path within
  // the detached file system.
  setMountTable("38 1 8:1 / / rw - ext4 /dev/sda1 rw\n");
  write("block/loop4/loop/backing_file", "/disk");
  const DiskFacts detached = inspector().remaining(before);
  EXPECT_EQ(detached.diskName, "loop4");
  EXPECT_EQ(detached.backingFile, kDiskFile);
  EXPECT_EQ(detached.fuseMountPoint, "");
  ASSERT_EQ(detached.partitions.size(), 2u);
  EXPECT_TRUE(detached.partitions[0].mountPoints.empty());

  // The partitions are gone and the loop device presents another file now.
  fs::remove_all(sys() / "block/loop4/loop4p1");
  fs::remove_all(sys() / "block/loop4/loop4p2");
  write("block/loop4/loop/backing_file", "/var/tmp/next.img");
  EXPECT_TRUE(inspector().remaining(before).empty());
}

// A partition of the same name with another device number is another one.
TEST_F(DiskInspectorTest, PartitionOfSameNameButOtherNumberIsNotTheOneNoted) {
  const DiskFacts before = inspector().find("/dev/loop4p1", kRuntime);
  setMountTable("");
  fs::remove_all(sys() / "block/loop4/loop4p2");
  write("block/loop4/loop4p1/dev", "259:9");
  fs::remove(sys() / "block/loop4/loop/backing_file");
  EXPECT_TRUE(inspector().remaining(before).empty());
}

}  // namespace
