// The whole disk path for real, as root: the disk view opens an ext4 volume
// image, the port thread serves it, the device workers ask the vkvd daemon
// for the disk over its control channel, and vkvd mounts the kernel's
// partition device, which gives the files back.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "common/WideString.h"
#include "device/CreateDevWorker.h"
#include "device/RemoveDevWorker.h"
#include "device/RequestDevInfoWorker.h"
#include "device/SetupDevApi.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcThread.h"
#include "support/TempDir.h"
#include "volume/VolumeUtils.h"

using namespace std::chrono_literals;

namespace {

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// vkvd as a child process, mounting volumes in `mountDir`, stopped with
// SIGTERM (bounded, then SIGKILL).
class Daemon {
 public:
  Daemon(const std::string& runtimeDir, const std::string& mountDir, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      execl(VKVD_PROGRAM, VKVD_PROGRAM, "--runtime-dir", runtimeDir.c_str(), "--mount-dir", mountDir.c_str(), "--log",
            log.c_str(), "--foreground", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Daemon() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 1500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class DriverIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !std::filesystem::exists("/dev/fuse") || !std::filesystem::exists("/dev/loop-control")) {
      GTEST_SKIP() << "a real disk needs root, /dev/fuse and loop devices";
    }
    runtime_ = dir_.path() / "run";
    setenv("VKBVD_RUNTIME_DIR", runtime_.c_str(), 1);
    volumes_ = dir_.path() / "volumes";
    files_ = dir_.path() / "files";
    std::filesystem::create_directories(files_ / "docs");
    std::ofstream(files_ / "hello.txt") << "hello from the backup\n";
    std::ofstream numbers(files_ / "docs" / "numbers.txt");
    for (int i = 0; i < 20000; ++i) numbers << i << '\n';
    numbers.close();
    image_ = dir_.path() / "volume.img";
    ASSERT_TRUE(run("truncate -s 32M " + image_.string() + " && mkfs.ext4 -q -F -L BACKUP -d " + files_.string() + " " +
                    image_.string()));
    VirtualImageManager::init();
    const std::u16string path = image_.u16string();
    uint32_t block = 512;
    ASSERT_EQ(VirtualImageManager::openImage(path.c_str(), u"", diskSize_, block, nullptr), 0);
    sectorSize_ = block;
    ASSERT_TRUE(thread_.start(nullptr));
    daemon_ = std::make_unique<Daemon>(runtime_.string(), volumes_.string(), (dir_.path() / "vkvd.log").string());
    // The daemon publishes its interface once it is ready.
    for (int i = 0; i < 500 && !interfacePublished(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(interfacePublished()) << readText(dir_.path() / "vkvd.log");
  }
  void TearDown() override {
    daemon_.reset();
    thread_.stop();
    VirtualImageManager::closeImage();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  bool interfacePublished() const {
    const auto dir = runtime_ / "interfaces" / "{aaa4747f-f023-430c-80c1-6dbda4ec699d}";
    std::error_code error;
    return std::filesystem::exists(dir, error) && !std::filesystem::is_empty(dir, error);
  }
  // Where vkvd mounts the volume, named after its label.
  // Where vkvd mounts the volume of a disk made for root (the test asks as root).
  std::filesystem::path mountPoint() const { return volumes_ / "0" / "BACKUP"; }
  // No mount and no directory is left in the mount directory.
  void expectNoVolumeLeft() const {
    EXPECT_EQ(readText("/proc/self/mountinfo").find(volumes_.string() + "/"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(volumes_));
  }

  // The partition's block device of the disk vkvd made, found by its identity file.
  std::string partitionDevice() const {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(runtime_ / "identity", error)) {
      const std::string disk = entry.path().filename().string();
      for (int i = 0; i < 500; ++i) {
        if (std::filesystem::exists("/dev/" + disk + "p1")) return "/dev/" + disk + "p1";
        std::this_thread::sleep_for(10ms);
      }
    }
    return {};
  }

  TempDir dir_;
  std::filesystem::path runtime_;
  std::filesystem::path volumes_;
  std::filesystem::path files_;
  std::filesystem::path image_;
  uint64_t diskSize_ = 0;
  uint32_t sectorSize_ = 0;
  LpcThread thread_;
  std::unique_ptr<Daemon> daemon_;
};

}  // namespace

TEST_F(DriverIntegrationTest, MountsTheVolumeThroughTheDriverAndRemovesItAgain) {
  const std::u16string imagePath = image_.u16string();
  ASSERT_TRUE(CreateDevWorker::createDev(imagePath, u"first_tag", diskSize_, sectorSize_, false))
      << readText(dir_.path() / "vkvd.log");

  DevInfo info;
  uint32_t count = 0;
  ASSERT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(info.connection_tag, u"first_tag");
  EXPECT_EQ(info.image_path, imagePath);
  EXPECT_EQ(info.volume_size, diskSize_);
  EXPECT_EQ(info.sector_size, sectorSize_);

  const std::string partition = partitionDevice();
  ASSERT_FALSE(partition.empty()) << readText(dir_.path() / "vkvd.log");
  EXPECT_TRUE(run("diff -r --exclude=lost+found " + files_.string() + " " + mountPoint().string()))
      << readText(dir_.path() / "vkvd.log");

  ASSERT_TRUE(RemoveDevWorker::removeDev(u"first_tag"));
  ASSERT_TRUE(RequestDevInfoWorker::requestDevInfo(&info, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(std::filesystem::exists(partition));
  EXPECT_EQ(readText("/proc/self/mountinfo").find(runtime_.string() + "/"), std::string::npos)
      << "no FUSE mount is left";
  expectNoVolumeLeft();
}

TEST_F(DriverIntegrationTest, NothingIsLeftWhenTheServiceStopsWhileTheDiskExists) {
  ASSERT_TRUE(CreateDevWorker::createDev(image_.u16string(), u"first_tag", diskSize_, sectorSize_, false));
  const std::string partition = partitionDevice();
  ASSERT_FALSE(partition.empty());
  ASSERT_TRUE(std::filesystem::exists(mountPoint() / "hello.txt")) << readText(dir_.path() / "vkvd.log");
  thread_.stop();
  VirtualImageManager::closeImage();
  daemon_->stop();
  EXPECT_FALSE(std::filesystem::exists(partition));
  EXPECT_EQ(readText("/proc/self/mountinfo").find(runtime_.string() + "/"), std::string::npos);
  expectNoVolumeLeft();
  EXPECT_FALSE(interfacePublished());
}

// What a volume probe does when the disk's partition arrives: from the
// volume's interface to its device and GUID path, the identity of the disk
// under it, and where vkvd mounted it.
TEST_F(DriverIntegrationTest, TheVolumeUtilitiesFindTheDriversVolume) {
  ASSERT_TRUE(CreateDevWorker::createDev(image_.u16string(), u"first_tag", diskSize_, sectorSize_, false))
      << readText(dir_.path() / "vkvd.log");
  const std::string partition = partitionDevice();
  ASSERT_FALSE(partition.empty()) << readText(dir_.path() / "vkvd.log");
  const std::filesystem::path interfacePath =
      std::filesystem::canonical("/sys/class/block" / std::filesystem::path(partition).filename());

  std::u16string device;
  ASSERT_TRUE(SetupDevApi::getDevInfoByInterface(interfacePath.u16string(), device));
  EXPECT_EQ(device, std::filesystem::path(partition).u16string());
  std::u16string guid;
  ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(device, guid));
  EXPECT_TRUE(guid.starts_with(u"\\\\?\\Volume{") && guid.ends_with(u"}\\")) << wide::toUtf8(guid);

  std::u16string vendor, product, revision, serial;
  uint32_t error = 1;
  ASSERT_TRUE(VolumeUtils::getVolumeDeviceInquiryInfo(guid, vendor, product, revision, serial, &error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(vendor, u"VELKAR/A");
  EXPECT_EQ(product, u"VKB_V_DISK");
  EXPECT_EQ(serial, u"320A050564E94590AE3C6F348B43C4FE");
  EXPECT_FALSE(revision.empty());

  // vkvd mounted it as it made the disk, as Windows gives it a drive letter.
  std::vector<std::u16string> drives{u"stale"};
  ASSERT_TRUE(VolumeUtils::getVolumeDrives(guid.c_str(), drives));
  EXPECT_EQ(drives, std::vector<std::u16string>{mountPoint().u16string() + u"/"});

  ASSERT_TRUE(RemoveDevWorker::removeDev(u"first_tag"));
  EXPECT_FALSE(VolumeUtils::getVolumeGuidForDevice(device, guid)) << "the volume is gone with the disk";
}
