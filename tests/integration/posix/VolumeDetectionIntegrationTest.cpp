// Volume detection for real, as root: the service's device-event handler
// hears the kernel's uevents, a probe recognises the partition of the disk
// that vkvd makes for the open image by the disk's identity and writes the
// mounted-drive record, a partition of some other loop device is probed and
// left alone, and when the disk goes the record is emptied and the watchdog,
// woken by the removal, closes the image because the driver holds no disk.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VkvdProcess.h"
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "device/CreateDevWorker.h"
#include "device/RemoveDevWorker.h"
#include "device/TimerTask.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcThread.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/DeviceNotifications.h"
#include "sys/Platform.h"
#include "sys/posix/PosixRegistry.h"
#include "volume/VolumeDeviceNotificator.h"
#include "volume/VolumeDeviceNotificatorThread.h"
#include "volume/VolumeUtils.h"
#include "volume/posix/RegStateDir.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sys::DeviceNotifications;
using sys::Registry;

namespace {

constexpr VolumeDeviceNotificator::ServiceHandle kService = 0x5E41;
constexpr auto kConditionWait = 30s;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// What `command` prints, less its last line end.
std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
    pclose(pipe);
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

bool waitFor(const std::function<bool()>& condition) {
  for (auto waited = 0ms; waited < kConditionWait; waited += 20ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// The interface path that device events give a partition: its sysfs directory.
std::string interfacePathOf(const std::string& partition) {
  return fs::canonical("/sys/class/block" / fs::path(partition).filename()).string();
}

// The places /proc/self/mountinfo mounts the root of block device `device`
// at, each with a trailing slash as the volume utilities give them.
std::vector<std::u16string> mountPointsOf(const std::string& device) {
  struct stat status {};
  if (stat(device.c_str(), &status) != 0) return {};
  const std::string number = std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
  std::vector<std::u16string> points;
  std::istringstream lines(readText("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, deviceNumber, root, point;
    fields >> id >> parent >> deviceNumber >> root >> point;
    if (deviceNumber == number && root == "/") points.push_back(wide::fromUtf8(point + "/"));
  }
  std::sort(points.begin(), points.end());
  return points;
}

// The mounted-drive record as the store holds it; absent until first written.
struct MountedRecord {
  bool present = false;
  std::u16string volumeId;
  std::u16string deviceName;
  std::vector<std::u16string> drives;
};

std::vector<std::u16string> zeroSeparatedStrings(const std::vector<uint8_t>& data) {
  std::vector<std::u16string> strings(1);
  for (size_t at = 0; at + 1 < data.size(); at += 2) {
    const auto unit = static_cast<char16_t>(readLittleEndian(data.data() + at, 2));
    if (unit != 0) {
      strings.back().push_back(unit);
    } else if (strings.back().empty()) {
      break;
    } else {
      strings.emplace_back();
    }
  }
  if (strings.back().empty()) strings.pop_back();
  return strings;
}

MountedRecord readMountedRecord() {
  sys::posix::PosixRegistry registry;
  Registry::Key key = 0;
  MountedRecord record;
  if (registry.openKeyEx(Registry::HKEY_LOCAL_MACHINE, u"Software\\Velkara Software\\Velkara Backup",
                         Registry::KEY_QUERY_VALUE | Registry::KEY_WOW64_32KEY, key) != 0) {
    return record;
  }
  sys::posix::PosixRegistry::Value volumeId, deviceName, drives;
  record.present = registry.queryValueEx(key, u"MountedVolumeID", volumeId) == 0 &&
                   registry.queryValueEx(key, u"MountedDeviceName", deviceName) == 0 &&
                   registry.queryValueEx(key, u"MountedDrives", drives) == 0 && volumeId.type == Registry::REG_SZ &&
                   deviceName.type == Registry::REG_SZ && drives.type == Registry::REG_MULTI_SZ;
  registry.closeKey(key);
  if (!record.present) return record;
  const std::vector<std::u16string> volume = zeroSeparatedStrings(volumeId.data);
  const std::vector<std::u16string> device = zeroSeparatedStrings(deviceName.data);
  record.volumeId = volume.empty() ? u"" : volume.front();
  record.deviceName = device.empty() ? u"" : device.front();
  record.drives = zeroSeparatedStrings(drives.data);
  std::sort(record.drives.begin(), record.drives.end());
  return record;
}

// The service's control handler for device events, as the service names it:
// each event goes to the notificator, and is noted once handled. Before it
// hands on the arrival of a partition of vkvd's disk it waits until vkvd has
// mounted the volume, so that the volume has its mount point before the
// service's probe asks for it, and notes the partition's mount points then.
class ControlHandler {
 public:
  explicit ControlHandler(fs::path identityDirectory) : identityDirectory_(std::move(identityDirectory)) {}

  void handle(uint32_t eventType, const uint8_t* record) {
    const std::string path = wide::toUtf8(interfaceName(record));
    const std::string partition = "/dev/" + fs::path(path).filename().string();
    if (eventType == DeviceNotifications::DBT_DEVICEARRIVAL && isDriverDiskPartition(path)) awaitMount(partition);
    VolumeDeviceNotificator::processDevice(eventType, record);
    std::lock_guard<std::mutex> guard(mutex_);
    handled_.emplace_back(eventType, path);
  }

  bool handled(uint32_t eventType, const std::string& path) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::find(handled_.begin(), handled_.end(), std::make_pair(eventType, path)) != handled_.end();
  }
  std::vector<std::u16string> mountsWhenHandedOn() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return mountsWhenHandedOn_;
  }

 private:
  static std::u16string interfaceName(const uint8_t* record) {
    const uint64_t size = readLittleEndian(record, 4);
    std::u16string name;
    for (uint64_t at = DeviceNotifications::kInterfaceRecordHeader; at + 2 <= size; at += 2) {
      const auto unit = static_cast<char16_t>(readLittleEndian(record + at, 2));
      if (unit == 0) break;
      name.push_back(unit);
    }
    return name;
  }
  // vkvd publishes the identity of its disk under the disk's name.
  bool isDriverDiskPartition(const std::string& interfacePath) const {
    std::error_code error;
    return fs::exists(identityDirectory_ / fs::path(interfacePath).parent_path().filename(), error);
  }
  void awaitMount(const std::string& partition) {
    waitFor([&] { return !mountPointsOf(partition).empty(); });
    std::lock_guard<std::mutex> guard(mutex_);
    mountsWhenHandedOn_ = mountPointsOf(partition);
  }

  const fs::path identityDirectory_;
  mutable std::mutex mutex_;
  std::vector<std::pair<uint32_t, std::string>> handled_;
  std::vector<std::u16string> mountsWhenHandedOn_;
};

// A loop device of the test's own on an image with a GPT table of one
// partition: a disk that is not the service's. Where the kernel reads no
// partition tables, the partition is added as partx does.
class PlainLoopDevice {
 public:
  explicit PlainLoopDevice(const fs::path& image) {
    if (!run("truncate -s 8M " + image.string() + " && echo 'label: gpt\nstart=2048, size=8192' | sfdisk -q " +
             image.string())) {
      return;
    }
    device_ = output("losetup --find --show --partscan " + image.string());
    if (device_.empty()) return;
    if (!fs::exists(partition())) run("partx --add " + device_);
  }
  ~PlainLoopDevice() { detach(); }
  PlainLoopDevice(const PlainLoopDevice&) = delete;
  PlainLoopDevice& operator=(const PlainLoopDevice&) = delete;

  // Its partition's node, once it exists; empty otherwise.
  std::string partitionNode() const { return !device_.empty() && fs::exists(partition()) ? partition() : ""; }
  // Detaching takes the partition away with its removal event.
  void detach() {
    if (!device_.empty()) run("losetup --detach " + device_);
    device_.clear();
  }

 private:
  std::string partition() const { return device_ + "p1"; }

  std::string device_;
};

class VolumeDetectionIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !fs::exists("/dev/fuse") || !fs::exists("/dev/loop-control")) {
      GTEST_SKIP() << "a real disk needs root, /dev/fuse and loop devices";
    }
    runtime_ = dir_.path() / "run";
    setenv("VKBVD_RUNTIME_DIR", runtime_.c_str(), 1);
    openDebugLog(debugLogPath().u16string().c_str());
    ASSERT_TRUE(debugLogIsOpen());

    image_ = dir_.path() / "volume.img";
    ASSERT_TRUE(run("truncate -s 32M " + image_.string() + " && mkfs.ext4 -q -F -L BACKUP " + image_.string()));
    VirtualImageManager::init();
    uint32_t block = 512;
    ASSERT_EQ(VirtualImageManager::openImage(image_.u16string().c_str(), u"", diskSize_, block, nullptr), 0);
    sectorSize_ = block;
    ASSERT_TRUE(port_.start(nullptr));
    vkvd_ = std::make_unique<VkvdProcess>(runtime_, dir_.path() / "vkvd.log", -1, volumesDirectory());
    ASSERT_FALSE(vkvd_->waitForInterface().empty()) << readText(dir_.path() / "vkvd.log");

    TimerTask::start();
    watchdogStarted_ = true;
    handler_ = std::make_shared<ControlHandler>(runtime_ / "identity");
    sys::platform().deviceNotifications().setEventHandler(
        kService, [handler = handler_](uint32_t type, const uint8_t* data) { handler->handle(type, data); });
    VolumeDeviceNotificator::setServiceHandle(kService);
    ASSERT_TRUE(VolumeDeviceNotificator::listen()) << log();
  }

  void TearDown() override {
    if (watchdogStarted_) TimerTask::stop();
    VolumeDeviceNotificator::drop();
    VolumeDeviceNotificatorThread::shutdown();
    if (diskCreated_) RemoveDevWorker::removeDev(u"first_tag");
    plainLoop_.reset();
    vkvd_.reset();
    port_.stop();
    VirtualImageManager::closeImage();
    closeDebugLog();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  fs::path debugLogPath() const { return dir_.path() / "debug.log"; }
  fs::path volumesDirectory() const { return dir_.path() / "volumes"; }
  // Where vkvd mounts the image's volume, by its label.
  // Where vkvd mounts the volume of a disk made for root.
  fs::path mountPoint() const { return volumesDirectory() / "0" / "BACKUP"; }
  std::string log() const { return readText(debugLogPath()); }

  // What the probe of `interfacePath` logged, from its start to its end;
  // empty while it has not ended. Probes work one at a time, so nothing of
  // another probe lies between.
  std::string probeOf(const std::string& interfacePath) const {
    const std::string text = log();
    const size_t start =
        text.find("VolumeDeviceNotificatorThread::taskRun volume_dev_interface_path=" + interfacePath + "\n");
    if (start == std::string::npos) return {};
    const std::string finished = "VolumeDeviceNotificatorThread::taskRun finished\n";
    const size_t end = text.find(finished, start);
    return end == std::string::npos ? std::string() : text.substr(start, end + finished.size() - start);
  }

  // Attaches the plain loop device and waits for its partition.
  std::string attachPlainLoop() {
    plainLoop_ = std::make_unique<PlainLoopDevice>(dir_.path() / "plain.img");
    return waitFor([&] { return !plainLoop_->partitionNode().empty(); }) ? plainLoop_->partitionNode() : "";
  }

  // Creates the disk and waits for its partition, found by its identity file.
  std::string createDisk() {
    if (!CreateDevWorker::createDev(image_.u16string(), u"first_tag", diskSize_, sectorSize_, true)) return {};
    diskCreated_ = true;
    std::string partition;
    waitFor([&] {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(runtime_ / "identity", error)) {
        const std::string node = "/dev/" + entry.path().filename().string() + "p1";
        if (fs::exists(node)) partition = node;
      }
      return !partition.empty();
    });
    return partition;
  }

  RegStateDir state_;  // the registry store lies in a temporary state directory
  TempDir dir_;
  fs::path runtime_;
  fs::path image_;
  uint64_t diskSize_ = 0;
  uint32_t sectorSize_ = 0;
  LpcThread port_;
  std::unique_ptr<VkvdProcess> vkvd_;
  bool watchdogStarted_ = false;
  std::shared_ptr<ControlHandler> handler_;
  bool diskCreated_ = false;
  std::unique_ptr<PlainLoopDevice> plainLoop_;
};

}  // namespace

TEST_F(VolumeDetectionIntegrationTest, APartitionOfAnotherDiskIsProbedAndNotRecorded) {
  const std::string partition = attachPlainLoop();
  ASSERT_FALSE(partition.empty()) << "no partition on the plain loop device";
  const std::string path = interfacePathOf(partition);

  ASSERT_TRUE(waitFor([&] { return !probeOf(path).empty(); })) << log();
  const std::string probe = probeOf(path);
  EXPECT_NE(probe.find("VolumeDeviceNotificatorThread::taskRun volume_device=" + partition + "\n"), std::string::npos)
      << probe;
  EXPECT_NE(probe.find("VolumeDeviceNotificatorThread::taskRun vendor_id="), std::string::npos) << probe;
  EXPECT_EQ(probe.find("VolumeDeviceNotificatorThread::taskRun drive="), std::string::npos) << probe;
  EXPECT_FALSE(readMountedRecord().present);
  EXPECT_FALSE(VolumeDeviceNotificator::isDeviceDetected());

  plainLoop_->detach();
  ASSERT_TRUE(waitFor([&] { return handler_->handled(DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, path); })) << log();
  EXPECT_NE(log().find("VolumeDeviceNotificator::onDevRemove our device is not detected; wait for other device\n"),
            std::string::npos)
      << log();
  EXPECT_FALSE(readMountedRecord().present);
  EXPECT_EQ(TimerTask::isDevExistsTasks(), 0u);
}

TEST_F(VolumeDetectionIntegrationTest, TheDisksVolumeIsRecordedUntilTheDiskGoesAndThenTheImageIsClosed) {
  const std::string partition = createDisk();
  ASSERT_FALSE(partition.empty()) << readText(dir_.path() / "vkvd.log");
  const std::string path = interfacePathOf(partition);
  std::u16string volumeGuid;
  ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(wide::fromUtf8(partition), volumeGuid));

  ASSERT_TRUE(waitFor([&] { return !probeOf(path).empty(); })) << log();
  EXPECT_NE(probeOf(path).find("taskRun vendor_id=VELKAR/A; product_id=VKB_V_DISK;"), std::string::npos) << log();
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(wide::fromUtf8(path)));
  const MountedRecord record = readMountedRecord();
  ASSERT_TRUE(record.present) << log();
  EXPECT_EQ(record.volumeId, volumeGuid);
  EXPECT_TRUE(record.volumeId.starts_with(u"\\\\?\\Volume{") && record.volumeId.ends_with(u"}\\"))
      << wide::toUtf8(record.volumeId);
  EXPECT_EQ(record.deviceName, wide::fromUtf8(partition));
  // Every mount made before the probe started is recorded, and nothing but
  // mounts of the partition.
  const std::vector<std::u16string> before = handler_->mountsWhenHandedOn();
  const std::vector<std::u16string> after = mountPointsOf(partition);
  EXPECT_NE(std::find(before.begin(), before.end(), mountPoint().u16string() + u"/"), before.end());
  EXPECT_TRUE(std::includes(record.drives.begin(), record.drives.end(), before.begin(), before.end())) << log();
  EXPECT_TRUE(std::includes(after.begin(), after.end(), record.drives.begin(), record.drives.end())) << log();

  // Another disk's partition comes and goes while the volume is recognised:
  // its probe stops at once and its removal changes nothing.
  const std::string otherPartition = attachPlainLoop();
  ASSERT_FALSE(otherPartition.empty()) << "no partition on the plain loop device";
  const std::string otherPath = interfacePathOf(otherPartition);
  const std::string arrival = "VolumeDeviceNotificator::onDevArrive DEV_BROADCAST_DEVICEINTERFACE=" + otherPath + "\n";
  EXPECT_TRUE(waitFor([&] {
    const std::string text = log();
    const size_t at = text.find(arrival);
    return at != std::string::npos && text.find("taskRun device already detected\n", at) != std::string::npos;
  })) << log();
  EXPECT_EQ(log().find("taskRun volume_dev_interface_path=" + otherPath), std::string::npos) << log();
  plainLoop_->detach();
  ASSERT_TRUE(waitFor([&] { return handler_->handled(DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, otherPath); }))
      << log();
  EXPECT_TRUE(VolumeDeviceNotificator::isOurDevice(wide::fromUtf8(path)));
  const MountedRecord unchanged = readMountedRecord();
  EXPECT_EQ(unchanged.volumeId, record.volumeId);
  EXPECT_EQ(unchanged.deviceName, record.deviceName);
  EXPECT_EQ(unchanged.drives, record.drives);
  EXPECT_EQ(TimerTask::isDevExistsTasks(), 0u);

  ASSERT_TRUE(RemoveDevWorker::removeDev(u"first_tag")) << readText(dir_.path() / "vkvd.log");
  diskCreated_ = false;
  ASSERT_TRUE(waitFor([&] { return handler_->handled(DeviceNotifications::DBT_DEVICEREMOVECOMPLETE, path); })) << log();
  EXPECT_FALSE(VolumeDeviceNotificator::isDeviceDetected());
  const MountedRecord emptied = readMountedRecord();
  EXPECT_TRUE(emptied.present);
  EXPECT_EQ(emptied.volumeId, u"");
  EXPECT_EQ(emptied.deviceName, u"");
  EXPECT_TRUE(emptied.drives.empty());
  EXPECT_FALSE(fs::exists(mountPoint())) << "vkvd unmounted the volume with the disk";
  EXPECT_EQ(countOf(log(), "VolumeDeviceNotificator::onDevRemove our device detected; check the driver response\n"),
            1u);

  // The removal wakes the watchdog, whose check finds no disk at the driver.
  EXPECT_TRUE(waitFor([] { return !VirtualImageManager::isImageOpen(); })) << log();
  const std::string text = log();
  EXPECT_NE(text.find("; interrupt\n"), std::string::npos) << text;
  EXPECT_EQ(countOf(text, "; CheckIsDevExists task\n"), 1u) << text;
  EXPECT_NE(text.find("TimerTask::processIsDevExistsTask driver is not responding\n"), std::string::npos) << text;
  EXPECT_TRUE(waitFor([] { return TimerTask::isDevExistsTasks() == 0; }));
}
