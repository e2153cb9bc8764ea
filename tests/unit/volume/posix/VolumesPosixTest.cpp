// The Linux volume backend against the kernel's own view: a loop device with
// one partition, its sysfs entries, its /dev node and the mount info.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "support/TempDir.h"
#include "sys/posix/PosixVolumes.h"
#include "volume/VolumeUtils.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sys::Volumes;

namespace {

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe)) text += buffer;
    pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool waitFor(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i) std::this_thread::sleep_for(10ms);
  return fs::exists(path);
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(readLittleEndian(bytes.data() + at, 4));
}

// The descriptor string whose offset is at `offsetAt`; "(none)" for offset 0.
std::string descriptorString(const std::vector<uint8_t>& descriptor, size_t offsetAt) {
  const uint32_t offset = get32(descriptor, offsetAt);
  if (offset == 0) return "(none)";
  return std::string(reinterpret_cast<const char*>(descriptor.data()) + offset);
}

// Every volume GUID path the backend lists.
std::vector<std::u16string> allVolumes(Volumes& volumes) {
  std::vector<std::u16string> names;
  char16_t name[64];
  uint32_t error = 0;
  const Volumes::FindHandle search = volumes.findFirstVolume(name, 64, error);
  if (search == Volumes::kInvalidFind) return names;
  do {
    names.emplace_back(name);
  } while (volumes.findNextVolume(search, name, 64, error));
  EXPECT_EQ(error, WinError::NoMoreFiles);
  volumes.findVolumeClose(search);
  return names;
}

// The device object name QueryDosDevice gives for `volumeGuidPath`.
std::u16string dosDevice(Volumes& volumes, const std::u16string& volumeGuidPath) {
  char16_t targets[260] = {};
  uint32_t error = 0;
  if (volumes.queryDosDevice(volumeGuidPath.substr(4, volumeGuidPath.size() - 5), targets, 260, error) == 0) return {};
  return targets;
}

// A loop device with one GPT partition, made by the test as root.
class VolumesPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !fs::exists("/dev/loop-control")) {
      GTEST_SKIP() << "a loop device partition needs root and loop devices";
    }
    runtime_ = dir_.path() / "run";
    fs::create_directories(runtime_ / "identity");
    setenv("VKBVD_RUNTIME_DIR", runtime_.c_str(), 1);
    const std::string image = (runtime_ / "disk.img").string();
    ASSERT_TRUE(run("truncate -s 16M " + image + " && printf 'label: gpt\\n,,L\\n' | sfdisk -q " + image));
    loop_ = output("losetup --find --show --partscan " + image);
    ASSERT_EQ(loop_.rfind("/dev/loop", 0), 0u) << loop_;
    partition_ = loop_ + "p1";
    // Kernels without a partition-table parser get the partition added by hand.
    if (!fs::exists("/sys/class/block/" + loopName() + "p1")) run("partx --add " + loop_);
    ASSERT_TRUE(waitFor(partition_));
    struct stat status {};
    ASSERT_EQ(stat(partition_.c_str(), &status), 0);
    char guid[64];
    std::snprintf(guid, sizeof(guid), "{%08x-0000-8000-8000-0000%08x}", major(status.st_rdev), minor(status.st_rdev));
    guidPath_ = u"\\\\?\\Volume" + wide::fromUtf8(guid) + u"\\";
  }
  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    if (!loop_.empty()) run("partx --delete " + loop_ + " 2>/dev/null; losetup --detach " + loop_);
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  std::string loopName() const { return fs::path(loop_).filename().string(); }
  std::u16string bareGuidPath() const { return guidPath_.substr(0, guidPath_.size() - 1); }

  void writeIdentity(const fs::path& runtime, const std::string& text) {
    fs::create_directories(runtime / "identity");
    std::ofstream(runtime / "identity" / loopName()) << text;
  }
  void mountAt(const fs::path& point, const std::string& source, unsigned long flags) {
    fs::create_directories(point);
    ASSERT_EQ(mount(source.c_str(), point.c_str(), "ext4", flags, nullptr), 0) << std::strerror(errno);
    mounts_.push_back(point);
  }

  // The storage query on the partition: its result, error and output.
  struct Answer {
    bool done = false;
    uint32_t error = 0;
    std::vector<uint8_t> output;
  };
  Answer query(uint32_t outputSize = 1024, uint32_t code = Volumes::IOCTL_STORAGE_QUERY_PROPERTY,
               std::vector<uint8_t> input = std::vector<uint8_t>(12, 0)) {
    Answer answer;
    const Volumes::Handle volume = volumes_.open(bareGuidPath(), answer.error);
    EXPECT_NE(volume, Volumes::kInvalidHandle) << answer.error;
    answer.output.resize(outputSize);
    uint32_t returned = 0;
    answer.done = volumes_.control(volume, code, input.data(), static_cast<uint32_t>(input.size()),
                                   answer.output.data(), outputSize, returned, answer.error);
    answer.output.resize(returned);
    volumes_.close(volume);
    return answer;
  }

  TempDir dir_;
  fs::path runtime_;
  std::string loop_;
  std::string partition_;
  std::u16string guidPath_;
  std::vector<fs::path> mounts_;
  sys::posix::PosixVolumes volumes_;
};

}  // namespace

TEST(VolumesPosixNamesTest, NamesThatAreNoPresentVolumeAreNotFound) {
  sys::posix::PosixVolumes volumes;
  char16_t buffer[260];
  uint32_t error = 0;
  uint32_t length = 0;
  const std::u16string absent = u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}";
  for (const std::u16string name : {u"E:", u"Volume{00000000-0000-0000-0000-000000000000}", u""}) {
    EXPECT_EQ(volumes.queryDosDevice(name, buffer, 260, error), 0u);
    EXPECT_EQ(error, WinError::FileNotFound);
  }
  EXPECT_FALSE(volumes.getVolumePathNamesForVolumeName(u"E:\\", buffer, 260, length, error));
  EXPECT_EQ(error, WinError::InvalidName);
  EXPECT_FALSE(volumes.getVolumePathNamesForVolumeName(absent, buffer, 260, length, error));
  EXPECT_EQ(error, WinError::InvalidName) << "a volume GUID path ends with a backslash";
  EXPECT_FALSE(volumes.getVolumePathNamesForVolumeName(absent + u"\\", buffer, 260, length, error));
  EXPECT_EQ(error, WinError::FileNotFound);
  for (const std::u16string path : {u"\\\\.\\E:", u"\\\\?\\", u"/dev/null"}) {
    EXPECT_EQ(volumes.open(path, error), Volumes::kInvalidHandle);
    EXPECT_EQ(error, WinError::FileNotFound);
  }
  EXPECT_FALSE(volumes.findNextVolume(12345, buffer, 260, error));
  EXPECT_EQ(error, WinError::InvalidHandle);
  uint32_t returned = 0;
  EXPECT_FALSE(volumes.control(12345, Volumes::IOCTL_STORAGE_QUERY_PROPERTY, buffer, 12, buffer, 260, returned, error));
  EXPECT_EQ(error, WinError::InvalidHandle);
}

TEST_F(VolumesPosixTest, ListsThePartitionUnderAStableGuidPathNamedAfterItsDeviceNumber) {
  const std::vector<std::u16string> names = allVolumes(volumes_);
  EXPECT_EQ(allVolumes(volumes_), names);
  EXPECT_EQ(std::set<std::u16string>(names.begin(), names.end()).size(), names.size());
  std::vector<std::u16string> onTheLoopDevice;
  for (const std::u16string& name : names) {
    EXPECT_EQ(name.size(), 49u);
    const std::u16string device = dosDevice(volumes_, name);
    EXPECT_EQ(device.rfind(u"/dev/", 0), 0u) << wide::toUtf8(name);
    const bool onTheLoop = device == wide::fromUtf8(loop_) || device.rfind(wide::fromUtf8(loop_ + "p"), 0) == 0;
    if (onTheLoop) onTheLoopDevice.push_back(name);
  }
  EXPECT_EQ(onTheLoopDevice, std::vector<std::u16string>{guidPath_}) << "the partition, not its disk";
  EXPECT_EQ(dosDevice(volumes_, guidPath_), wide::fromUtf8(partition_));
  std::u16string upper = guidPath_;
  for (char16_t& c : upper) c = c >= u'a' && c <= u'f' ? static_cast<char16_t>(c - u'a' + u'A') : c;
  EXPECT_EQ(dosDevice(volumes_, upper), wide::fromUtf8(partition_));
}

TEST_F(VolumesPosixTest, BuffersThatAreTooSmallFailAsOnWindows) {
  char16_t buffer[64] = {};
  uint32_t error = 0;
  EXPECT_EQ(volumes_.findFirstVolume(buffer, 49, error), Volumes::kInvalidFind);
  EXPECT_EQ(error, WinError::FilenameExceedsRange);
  const Volumes::FindHandle search = volumes_.findFirstVolume(buffer, 50, error);
  ASSERT_NE(search, Volumes::kInvalidFind);
  volumes_.findVolumeClose(search);

  const std::u16string name = guidPath_.substr(4, 44);
  const uint32_t needed = static_cast<uint32_t>(partition_.size() + 2);
  EXPECT_EQ(volumes_.queryDosDevice(name, buffer, needed - 1, error), 0u);
  EXPECT_EQ(error, WinError::InsufficientBuffer);
  ASSERT_EQ(volumes_.queryDosDevice(name, buffer, needed, error), needed);
  EXPECT_EQ(std::u16string(buffer, needed), wide::fromUtf8(partition_) + u'\0' + u'\0');

  uint32_t length = 0;
  EXPECT_FALSE(volumes_.getVolumePathNamesForVolumeName(guidPath_, buffer, 0, length, error));
  EXPECT_EQ(error, WinError::MoreData);
  EXPECT_EQ(length, 1u) << "no mount point: an empty list";
  ASSERT_TRUE(volumes_.getVolumePathNamesForVolumeName(guidPath_, buffer, 1, length, error));
  EXPECT_EQ(buffer[0], u'\0');
}

TEST_F(VolumesPosixTest, ListsWhereTheVolumeRootIsMountedInMountOrder) {
  ASSERT_TRUE(run("mkfs.ext4 -q " + partition_));
  const fs::path first = dir_.path() / "mnt point";
  const fs::path second = dir_.path() / "second";
  mountAt(first, partition_, MS_RDONLY);
  mountAt(second, partition_, MS_RDONLY);
  // A folder of the volume bound elsewhere is not a mount point of the volume.
  mountAt(dir_.path() / "folder", (first / "lost+found").string(), MS_BIND);

  const std::u16string expected = first.u16string() + u"/" + u'\0' + second.u16string() + u"/" + u'\0' + u'\0';
  std::vector<char16_t> names(1024);
  uint32_t length = 0;
  uint32_t error = 0;
  EXPECT_FALSE(volumes_.getVolumePathNamesForVolumeName(guidPath_, names.data(), 10, length, error));
  EXPECT_EQ(error, WinError::MoreData);
  EXPECT_EQ(length, expected.size());
  ASSERT_TRUE(volumes_.getVolumePathNamesForVolumeName(guidPath_, names.data(), length, length, error));
  EXPECT_EQ(std::u16string(names.data(), length), expected);

  std::vector<std::u16string> drives;
  ASSERT_TRUE(VolumeUtils::getVolumeDrives(guidPath_.c_str(), drives));
  EXPECT_EQ(drives, (std::vector<std::u16string>{first.u16string() + u"/", second.u16string() + u"/"}));
}

// The driver mounts its disk's volumes after their partitions appear; their
// mount points are read once its identity file says they are made.
TEST_F(VolumesPosixTest, MountPointsOfTheDriversDiskAreReadOnceItsVolumesAreSettled) {
  ASSERT_TRUE(run("mkfs.ext4 -q " + partition_));
  const std::string identity = "vendor=VELKAR/A\nproduct=VKB_V_DISK\nrevision=1.0\nserial=S\n";
  writeIdentity(runtime_, identity);
  auto drives = std::async(std::launch::async, [&] {
    std::vector<std::u16string> found;
    EXPECT_TRUE(VolumeUtils::getVolumeDrives(guidPath_.c_str(), found));
    return found;
  });
  EXPECT_EQ(drives.wait_for(300ms), std::future_status::timeout) << "answered before the volumes were settled";
  const fs::path point = dir_.path() / "volume";
  mountAt(point, partition_, MS_RDONLY);
  writeIdentity(runtime_, identity + "volumes=settled\n");
  EXPECT_EQ(drives.get(), std::vector<std::u16string>{point.u16string() + u"/"});
}

TEST_F(VolumesPosixTest, InquiryGivesTheIdentityTheDriverPublishedForTheDisk) {
  writeIdentity(runtime_, "vendor=VELKAR/A\nproduct=VKB_V_DISK\nrevision=1.0\nserial=ABC 123 \n");
  const Answer answer = query();
  ASSERT_TRUE(answer.done) << answer.error;
  ASSERT_GE(answer.output.size(), 40u);
  EXPECT_EQ(get32(answer.output, 0), 40u) << "Version";
  EXPECT_EQ(get32(answer.output, 4), answer.output.size()) << "Size";
  EXPECT_EQ(get32(answer.output, 28), 0xFu) << "BusType: file-backed virtual";
  EXPECT_EQ(descriptorString(answer.output, 12), "VELKAR/A");
  EXPECT_EQ(descriptorString(answer.output, 16), "VKB_V_DISK");
  EXPECT_EQ(descriptorString(answer.output, 20), "1.0");
  EXPECT_EQ(descriptorString(answer.output, 24), "ABC 123 ");

  std::u16string guid, vendor, product, revision, serial;
  ASSERT_TRUE(VolumeUtils::getVolumeGuidForDevice(wide::fromUtf8(partition_), guid));
  EXPECT_EQ(guid, guidPath_);
  ASSERT_TRUE(VolumeUtils::getVolumeDeviceInquiryInfo(guid, vendor, product, revision, serial));
  EXPECT_EQ(vendor + u"|" + product + u"|" + revision + u"|" + serial, u"VELKAR/A|VKB_V_DISK|1.0|ABC 123 ");
}

TEST_F(VolumesPosixTest, AnIdentityIsTakenOnlyForALoopDeviceHoldingADiskOfTheDriver) {
  Answer answer = query();
  ASSERT_TRUE(answer.done);
  EXPECT_EQ(answer.output.size(), 40u) << "a loop device has no inquiry strings of its own";
  for (size_t offsetAt : {12, 16, 20, 24}) EXPECT_EQ(get32(answer.output, offsetAt), 0u);

  // An identity file in another runtime directory is one left behind for a
  // loop device that since took some other file.
  const fs::path other = dir_.path() / "other";
  writeIdentity(other, "vendor=VELKAR/A\nproduct=VKB_V_DISK\n");
  setenv("VKBVD_RUNTIME_DIR", other.c_str(), 1);
  answer = query();
  ASSERT_TRUE(answer.done);
  EXPECT_EQ(get32(answer.output, 12), 0u);
}

TEST_F(VolumesPosixTest, BadIdentityDataLeavesAFieldOutOrIsRefused) {
  writeIdentity(runtime_, "vendor=" + std::string(300, 'V') + "\nproduct=VKB_V_DISK\nno line of ours\n=\n");
  Answer answer = query();
  ASSERT_TRUE(answer.done);
  EXPECT_EQ(descriptorString(answer.output, 12), "(none)");
  EXPECT_EQ(descriptorString(answer.output, 16), "VKB_V_DISK");

  writeIdentity(runtime_, "vendor=VELKAR/A\n" + std::string(5000, '#') + "\n");
  answer = query();
  EXPECT_FALSE(answer.done);
  EXPECT_EQ(answer.error, WinError::InvalidData);
}

TEST_F(VolumesPosixTest, CutsTheDescriptorToTheOutputAndRefusesOtherRequests) {
  writeIdentity(runtime_, "vendor=VELKAR/A\nproduct=VKB_V_DISK\nrevision=1.0\nserial=S\n");
  const uint32_t whole = static_cast<uint32_t>(query().output.size());
  Answer answer = query(16);
  ASSERT_TRUE(answer.done);
  EXPECT_EQ(answer.output.size(), 16u);
  EXPECT_EQ(get32(answer.output, 4), whole);

  struct Case {
    const char* name;
    uint32_t outputSize;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t error;
  };
  const Case cases[] = {
      {"output smaller than a header", 7, Volumes::IOCTL_STORAGE_QUERY_PROPERTY, std::vector<uint8_t>(12, 0),
       WinError::InsufficientBuffer},
      {"another request", 1024, 0x2D0C14, std::vector<uint8_t>(12, 0), WinError::InvalidFunction},
      {"a short query", 1024, Volumes::IOCTL_STORAGE_QUERY_PROPERTY, std::vector<uint8_t>(4, 0),
       WinError::InvalidParameter},
      {"another property",
       1024,
       Volumes::IOCTL_STORAGE_QUERY_PROPERTY,
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       WinError::NotSupported},
  };
  for (const Case& c : cases) {
    answer = query(c.outputSize, c.code, c.input);
    EXPECT_FALSE(answer.done) << c.name;
    EXPECT_EQ(answer.error, c.error) << c.name;
    EXPECT_TRUE(answer.output.empty()) << c.name;
  }
}
