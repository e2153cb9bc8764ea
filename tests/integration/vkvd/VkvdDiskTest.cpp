// vkvd for real: the daemon in a process of its own presents the disk of
// the service's side in this process (an ext4 volume image open, the port
// thread serving it). Needs root, FUSE and loop devices.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "DiskChecks.h"
#include "VkvdProcess.h"
#include "common/WideString.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcDiskMessage.h"
#include "lpc/LpcThread.h"
#include "support/TempDir.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;
namespace protocol = sys::posix::device_protocol;

namespace {

int run(const std::string& command) { return std::system(command.c_str()); }

// The whole system: the service's side with an ext4 volume image open and
// its port served, and vkvd presenting the disk.
class VkvdDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "making disks needs root, /dev/fuse and loop devices";
    runtimeDir_ = dir_.path() / "run";
    setenv("VKBVD_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    mountPoint_ = dir_.path() / "mnt";
    fs::create_directory(mountPoint_);
  }
  void TearDown() override {
    if (mounted_) umount2(mountPoint_.c_str(), MNT_DETACH);
    vkvd_.reset();
    stopService();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  // Makes the volume (an ext4 file system of a few files), opens it with
  // `sectorSize`-byte sectors, serves the port and starts vkvd, which
  // mounts the volume in `mountDir` when that is given.
  void start(uint32_t sectorSize, const fs::path& mountDir = {}) {
    const fs::path files = dir_.path() / "files";
    fs::create_directories(files / "docs");
    std::ofstream(files / "hello.txt") << "hello from the backup\n";
    std::mt19937 random(7);
    std::string bytes(1048573, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::ofstream(files / "docs" / "random.bin", std::ios::binary) << bytes;
    std::ofstream numbers(files / "docs" / "numbers.txt");
    for (int i = 1; i <= 20000; ++i) numbers << i << "\n";
    numbers.close();
    volume_ = dir_.path() / "volume.img";
    ASSERT_EQ(run("truncate -s 48M " + volume_.string() + " && mkfs.ext4 -q -F -b 4096 -L VKBTEST -d " +
                  files.string() + " " + volume_.string()),
              0);
    VirtualImageManager::init();
    sectorSize_ = sectorSize;
    const std::u16string path = wide::fromUtf8(volume_.string());
    ASSERT_EQ(VirtualImageManager::openImage(path.c_str(), u"", diskSize_, sectorSize_, nullptr), 0);
    ASSERT_EQ(sectorSize_, sectorSize);
    ASSERT_TRUE(service_.start(nullptr));
    serving_ = true;
    vkvd_ = std::make_unique<VkvdProcess>(runtimeDir_, dir_.path() / "vkvd.log", -1, mountDir);
    interface_ = vkvd_->waitForInterface();
    ASSERT_FALSE(interface_.empty()) << log();
  }

  void stopService() {
    if (!serving_) return;
    service_.stop();
    VirtualImageManager::closeImage();
    serving_ = false;
  }

  Reply connectDisk(const std::u16string& imagePath) {
    ControlClient client(interface_);
    return client.request(wire::kControlCode,
                          wire::connectRecord(wire::kConnect, u"first_tag", imagePath, diskSize_, sectorSize_), 4);
  }
  Reply disconnectDisk(const std::u16string& tag = u"first_tag") {
    ControlClient client(interface_);
    return client.request(wire::kControlCode, wire::connectRecord(wire::kDisconnect, tag), 0);
  }
  Reply activeDevice() {
    ControlClient client(interface_);
    return client.request(wire::kControlCode, wire::subCommand(wire::kGetActiveDevice), wire::kActiveReplySize);
  }

  void mountPartition(const std::string& partition) {
    ASSERT_EQ(mount(partition.c_str(), mountPoint_.c_str(), "ext4", MS_RDONLY | MS_NOSUID | MS_NODEV, ""), 0)
        << std::strerror(errno);
    mounted_ = true;
  }
  void unmountPartition() {
    ASSERT_EQ(umount2(mountPoint_.c_str(), 0), 0) << std::strerror(errno);
    mounted_ = false;
  }

  // Nothing of the disk is left: no loop device on the disk file, no FUSE
  // mount, no identity file, no partition.
  void expectNothingLeft(const std::string& loopName) {
    EXPECT_TRUE(disk_checks::loopDevicesBackedFrom(runtimeDir_).empty());
    EXPECT_TRUE(disk_checks::mountsUnder(runtimeDir_).empty());
    EXPECT_FALSE(fs::exists(protocol::identityFile(loopName)));
    EXPECT_FALSE(fs::exists("/sys/class/block/" + loopName + "p1"));
  }

  std::string log() const { return readFileBytes(dir_.path() / "vkvd.log"); }

  TempDir dir_;
  fs::path runtimeDir_;
  fs::path mountPoint_;
  fs::path volume_;
  uint64_t diskSize_ = 0;
  uint32_t sectorSize_ = 512;
  LpcThread service_;
  bool serving_ = false;
  bool mounted_ = false;
  std::unique_ptr<VkvdProcess> vkvd_;
  std::string interface_;
};

class VkvdSectorSizeTest : public VkvdDiskTest, public ::testing::WithParamInterface<uint32_t> {};

std::string loopName(const Reply& connect) { return "loop" + std::to_string(wire::get(connect.output, 0, 4)); }

}  // namespace

TEST_P(VkvdSectorSizeTest, PresentsTheVolumeAsAPartitionAndRemovesItAll) {
  ASSERT_NO_FATAL_FAILURE(start(GetParam()));
  const Reply connected = connectDisk(wide::fromUtf8(volume_.string()));
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  ASSERT_EQ(connected.output.size(), 4u);
  const std::string loop = loopName(connected);
  const std::string partition = "/dev/" + loop + "p1";
  struct stat status {};
  ASSERT_EQ(stat(partition.c_str(), &status), 0) << "the partition's block device is there\n" << log();
  EXPECT_TRUE(S_ISBLK(status.st_mode));
  EXPECT_EQ(readFileBytes("/sys/class/block/" + loop + "/queue/logical_block_size"), std::to_string(GetParam()) + "\n");
  EXPECT_EQ(readFileBytes(protocol::identityFile(loop)),
            "vendor=VELKAR/A\nproduct=VKB_V_DISK\nrevision=1.0\nserial=320A050564E94590AE3C6F348B43C4FE\n"
            "volumes=settled\n");

  ASSERT_NO_FATAL_FAILURE(mountPartition(partition));
  const fs::path files = dir_.path() / "files";
  const std::vector<fs::path> expected = disk_checks::filesBelow(files);
  ASSERT_EQ(expected.size(), 3u);
  for (const fs::path& file : expected) {
    EXPECT_TRUE(readFileBytes(files / file) == readFileBytes(mountPoint_ / file)) << file;
  }
  ASSERT_NO_FATAL_FAILURE(unmountPartition());

  const Reply active = activeDevice();
  EXPECT_EQ(active.status, wire::kSuccess);
  ASSERT_EQ(active.bytesReturned, wire::kActiveReplySize);
  EXPECT_EQ(wire::get(active.output, 0, 4), 1u);
  EXPECT_EQ(wire::getText(active.output, 8, 51), u"first_tag");
  EXPECT_EQ(wire::getText(active.output, 110, 512), wide::fromUtf8(volume_.string()));
  EXPECT_EQ(wire::get(active.output, 1134, 8), diskSize_);
  EXPECT_EQ(wire::get(active.output, 1142, 4), GetParam());

  const Reply disconnected = disconnectDisk();
  EXPECT_EQ(disconnected.status, wire::kSuccess) << log();
  expectNothingLeft(loop);
  EXPECT_EQ(wire::get(activeDevice().output, 0, 4), 0u);
  EXPECT_EQ(vkvd_->stop(), 0);
  EXPECT_FALSE(fs::exists(interface_)) << "the interface goes with vkvd";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, VkvdSectorSizeTest, ::testing::Values(512u, 4096u));

TEST_F(VkvdDiskTest, WritesReachTheServiceAndLeaveTheImageFileAsItWas) {
  ASSERT_NO_FATAL_FAILURE(start(512));
  const fs::path copy = dir_.path() / "volume.copy";
  fs::copy_file(volume_, copy);
  const Reply connected = connectDisk(u"volume.img");
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  const std::string partition = "/dev/" + loopName(connected) + "p1";
  // More than one sector request, across the 1 MiB window.
  std::vector<uint8_t> data(LpcDiskMessage::kWindowSize + 8192);
  std::mt19937 random(11);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  ASSERT_EQ(disk_checks::directWrite(partition, 4096 * 100, data), 0) << log();
  std::vector<uint8_t> back;
  ASSERT_EQ(disk_checks::directRead(partition, 4096 * 100, data.size(), &back), 0);
  EXPECT_TRUE(back == data) << "the written bytes come back";
  EXPECT_EQ(run("cmp -s " + volume_.string() + " " + copy.string()), 0) << "the image file is unchanged";
  EXPECT_EQ(disconnectDisk().status, wire::kSuccess);
}

// As Windows gives a new volume its drive letter: the files read back, and
// what is written lands in the service's overlay, not in the image file.
TEST_F(VkvdDiskTest, MountsTheVolumeReadWriteAtItsLabelAndWritesLandInTheService) {
  const fs::path mountDir = dir_.path() / "volumes";
  ASSERT_NO_FATAL_FAILURE(start(512, mountDir));
  const fs::path copy = dir_.path() / "volume.copy";
  fs::copy_file(volume_, copy);
  const Reply connected = connectDisk(u"volume.img");
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  const std::string partition = "/dev/" + loopName(connected) + "p1";
  EXPECT_EQ(fs::status(mountDir).permissions(), fs::perms(0755)) << "users reach their volumes through it";
  const fs::path volume = mountDir / "0" / "VKBTEST";  // in the directory of root, for whom the test asks
  std::vector<disk_checks::Mount> mounts;
  for (const disk_checks::Mount& mount : disk_checks::mounts()) {
    if (mount.source == partition) mounts.push_back(mount);
  }
  ASSERT_EQ(mounts.size(), 1u) << log();
  EXPECT_EQ(mounts[0].point, volume.string());
  EXPECT_EQ(mounts[0].type, "ext4");
  EXPECT_TRUE(disk_checks::hasOptions(mounts[0], {"rw", "nosuid", "nodev"})) << mounts[0].options;
  EXPECT_NE(
      log().find("mounted " + partition + " (ext4, label \"VKBTEST\") read-write, nosuid, nodev at " + volume.string()),
      std::string::npos)
      << log();

  const fs::path files = dir_.path() / "files";
  for (const fs::path& file : disk_checks::filesBelow(files)) {
    EXPECT_TRUE(readFileBytes(files / file) == readFileBytes(volume / file)) << file;
  }
  std::ofstream(volume / "docs" / "written.txt") << "written on the mounted volume\n";
  EXPECT_EQ(readFileBytes(volume / "docs" / "written.txt"), "written on the mounted volume\n");
  ASSERT_EQ(disconnectDisk().status, wire::kSuccess) << log();
  EXPECT_TRUE(disk_checks::mountsUnder(mountDir).empty());
  EXPECT_FALSE(fs::exists(volume)) << "its directory goes with it";
  EXPECT_EQ(run("cmp -s " + volume_.string() + " " + copy.string()), 0) << "the image file is unchanged";

  // Unmounting wrote the file back to the service, which still holds it.
  ASSERT_EQ(connectDisk(u"volume.img").status, wire::kSuccess) << log();
  EXPECT_EQ(readFileBytes(volume / "docs" / "written.txt"), "written on the mounted volume\n") << log();
  EXPECT_EQ(disconnectDisk().status, wire::kSuccess) << log();
  EXPECT_EQ(run("cmp -s " + volume_.string() + " " + copy.string()), 0);
}

TEST_F(VkvdDiskTest, KeepsADiskInUseAndRefusesASecondOne) {
  ASSERT_NO_FATAL_FAILURE(start(512));
  // A path that fills its field: no terminator follows it.
  std::u16string longPath = u"/images/";
  for (char16_t c = u'a'; longPath.size() < 512; c = c == u'z' ? u'a' : static_cast<char16_t>(c + 1)) {
    longPath.push_back(c);
  }
  const Reply connected = connectDisk(longPath);
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  const std::string partition = "/dev/" + loopName(connected) + "p1";
  const Reply active = activeDevice();
  EXPECT_EQ(wire::getText(active.output, 110, 512), longPath);
  EXPECT_EQ(wire::get(active.output, 1134, 8), diskSize_) << "the path's text ends where its field does";

  const Reply second = connectDisk(u"/other.img");
  EXPECT_EQ(second.status, wire::kBusy);
  EXPECT_EQ(wire::get(second.output, 0, 4), 0xFFFFFFFFu);

  ASSERT_NO_FATAL_FAILURE(mountPartition(partition));
  EXPECT_EQ(disconnectDisk().status, wire::kBusy) << "a mounted partition keeps its disk";
  EXPECT_TRUE(fs::exists(mountPoint_ / "hello.txt")) << "the disk still serves";
  ASSERT_NO_FATAL_FAILURE(unmountPartition());
  {
    const sys::posix::UniqueFd claim(open(("/dev/" + loopName(connected)).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_TRUE(claim.valid());
    EXPECT_EQ(disconnectDisk().status, wire::kBusy) << "a disk held exclusively stays";
  }
  EXPECT_EQ(disconnectDisk(u"other_tag").status, wire::kFileNotFound);
  EXPECT_EQ(wire::get(activeDevice().output, 0, 4), 1u);
  EXPECT_EQ(disconnectDisk().status, wire::kSuccess) << log();
  expectNothingLeft(loopName(connected));
}

TEST_F(VkvdDiskTest, ReadsFailWhenTheServiceStopsAndStoppingVkvdLeavesNothing) {
  ASSERT_NO_FATAL_FAILURE(start(512));
  const Reply connected = connectDisk(u"volume.img");
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  const std::string partition = "/dev/" + loopName(connected) + "p1";
  ASSERT_EQ(disk_checks::directRead(partition, 0, 4096), 0);

  stopService();
  EXPECT_EQ(disk_checks::directRead(partition, 8192, 4096), EIO);
  EXPECT_NE(log().find("sector read of 4096 bytes at"), std::string::npos) << log();

  EXPECT_EQ(vkvd_->stop(), 0) << log();
  expectNothingLeft(loopName(connected));
  EXPECT_FALSE(fs::exists(interface_));
}

TEST_F(VkvdDiskTest, StoppingVkvdUnderAMountedPartitionLeavesNothingOnceUnmounted) {
  ASSERT_NO_FATAL_FAILURE(start(512));
  const Reply connected = connectDisk(u"volume.img");
  ASSERT_EQ(connected.status, wire::kSuccess) << log();
  const std::string loop = loopName(connected);
  ASSERT_NO_FATAL_FAILURE(mountPartition("/dev/" + loop + "p1"));
  EXPECT_EQ(vkvd_->stop(), 0) << log();
  EXPECT_TRUE(disk_checks::mountsUnder(runtimeDir_).empty()) << "vkvd's own file system went with it";
  EXPECT_FALSE(fs::exists(protocol::identityFile(loop)));
  ASSERT_NO_FATAL_FAILURE(unmountPartition());
  expectNothingLeft(loop);
}
