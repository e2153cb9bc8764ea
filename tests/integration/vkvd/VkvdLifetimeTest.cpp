// vkvd as a daemon that serves a disk the kernel may write back through it:
// every thread of it runs as an I/O flusher; and a vkvd killed with its disk
// made leaves the disk behind (the loop device on a file system that nobody
// serves any more, its partitions, its mounted volume and its identity),
// which the next vkvd on the same runtime directory takes away before it
// serves, touching nothing of another vkvd. Needs root, FUSE and loop devices.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ControlClient.h"
#include "DiskChecks.h"
#include "FakePortService.h"
#include "VkvdProcess.h"
#include "support/TempDir.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;
namespace protocol = sys::posix::device_protocol;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kDiskSize = 16 << 20;
// Where the second partition starts. It holds no file system, so nothing
// that vkvd mounts changes it: its first bytes are read back to show that
// a disk serves.
constexpr off_t kSecondPartition = 9 << 20;
constexpr size_t kReadBack = 64 << 10;
constexpr auto kSettleWait = 20s;

// A disk of kDiskSize bytes with a GPT of two partitions, the first (1 MiB
// in, 8 MiB long) holding an ext4 file system; empty when the tools fail.
std::vector<uint8_t> partitionedDisk(const fs::path& file) {
  const std::string path = file.string();
  const std::string commands = "truncate -s " + std::to_string(kDiskSize) + " " + path +
                               " && printf 'label: gpt\\nstart=2048, size=16384\\nsize=8192\\n' | sfdisk -q " + path +
                               " && mkfs.ext4 -q -F -E offset=1048576 " + path + " 8M";
  if (std::system(commands.c_str()) != 0) return {};
  const std::string bytes = readFileBytes(file);
  return {bytes.begin(), bytes.end()};
}

// The file loop device `loop` ("loopN") presents; empty when it presents none.
std::string backingFile(const std::string& loop) {
  std::string file = readFileBytes("/sys/block/" + loop + "/loop/backing_file");
  if (!file.empty() && file.back() == '\n') file.pop_back();
  return file;
}

bool hasPartition(const std::string& loop, int number) {
  return fs::exists("/sys/class/block/" + loop + "p" + std::to_string(number));
}

// The sequence number of the disk that loop device `loop` presents: a new
// one each time it is attached.
std::string diskSequence(const std::string& loop) { return readFileBytes("/sys/block/" + loop + "/diskseq"); }

// Whether the disk that loop device `loop` presented as disk `sequence` is
// gone with its partitions, whether or not another run took the device since.
bool diskGone(const std::string& loop, const std::string& sequence) {
  return diskSequence(loop) != sequence ||
         (backingFile(loop).empty() && !hasPartition(loop, 1) && !hasPartition(loop, 2));
}

bool isMountPoint(const fs::path& path) {
  std::ifstream mountInfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountInfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == path.string()) return true;
  }
  return false;
}

// Polls `condition` until it holds, at most kSettleWait.
template <typename Condition>
bool eventually(Condition condition) {
  for (auto waited = 0ms; waited < kSettleWait; waited += 20ms) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// The kernel's flags word of a task, field 9 of its stat file.
std::optional<unsigned long> taskFlags(const fs::path& statFile) {
  const std::string text = readFileBytes(statFile);
  const size_t commandEnd = text.rfind(')');  // the command may hold blanks
  if (commandEnd == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(commandEnd + 1));
  std::string state, parent, group, session, terminal, terminalGroup;
  unsigned long flags = 0;
  if (!(fields >> state >> parent >> group >> session >> terminal >> terminalGroup >> flags)) return std::nullopt;
  return flags;
}

// The flags that mark an I/O flusher on this kernel: those a thread of this
// process gains when it becomes one.
unsigned long ioFlusherFlags() {
  unsigned long gained = 0;
  std::thread([&gained] {
    const std::optional<unsigned long> before = taskFlags("/proc/thread-self/stat");
    if (!before || prctl(PR_SET_IO_FLUSHER, 1, 0, 0, 0) != 0) return;
    gained = taskFlags("/proc/thread-self/stat").value_or(0) & ~*before;
  }).join();
  return gained;
}

// One vkvd with its runtime and mount directories and the service's side of
// its disk. The runtime directory is the process's VKBVD_RUNTIME_DIR while
// it is used.
struct Driver {
  Driver(fs::path directory, fs::path volumes, fs::path logFile)
      : runtimeDir(std::move(directory)), mountDir(std::move(volumes)), log(std::move(logFile)) {}

  void use() const { setenv("VKBVD_RUNTIME_DIR", runtimeDir.c_str(), 1); }
  fs::path diskMountPoint() const { return runtimeDir / "disk"; }
  // Where vkvd mounts the first partition (ext4, without a label).
  fs::path volumeMountPoint() const { return mountDir / "0" / "volume1"; }  // a disk made for root

  fs::path runtimeDir;
  fs::path mountDir;
  fs::path log;
  std::unique_ptr<FakePortService> service;
  std::unique_ptr<VkvdProcess> vkvd;
  std::string interface;
};

class VkvdLifetimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "making disks needs root, /dev/fuse and loop devices";
    disk_ = partitionedDisk(dir_.path() / "disk.img");
    ASSERT_EQ(disk_.size(), kDiskSize) << "sfdisk and mkfs.ext4 make the disk";
    for (size_t i = 0; i < kReadBack; ++i) disk_[kSecondPartition + i] = static_cast<uint8_t>(i * 7 + 3);
  }
  void TearDown() override {
    for (Driver* driver : {&other_, &first_}) {
      driver->vkvd.reset();
      driver->service.reset();
      // What a killed vkvd left, when the test ended before a restart.
      umount2(driver->volumeMountPoint().c_str(), MNT_DETACH);
    }
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  // Serves the disk on `driver`'s port and starts its vkvd.
  void start(Driver& driver) {
    fs::create_directories(driver.runtimeDir);
    fs::permissions(driver.runtimeDir, fs::perms::owner_all);
    fs::create_directories(driver.mountDir);
    driver.use();
    if (!driver.service) driver.service = std::make_unique<FakePortService>(disk_);
    ASSERT_TRUE(driver.service->listening());
    driver.vkvd = std::make_unique<VkvdProcess>(driver.runtimeDir, driver.log, -1, driver.mountDir);
    driver.interface = driver.vkvd->waitForInterface();
    ASSERT_FALSE(driver.interface.empty()) << readFileBytes(driver.log);
  }

  // Makes `driver`'s disk; its loop device ("loopN"), empty when none was made.
  std::string connectDisk(const Driver& driver) {
    ControlClient client(driver.interface);
    const Reply reply = client.request(
        wire::kControlCode, wire::connectRecord(wire::kConnect, u"first_tag", u"/fake.img", kDiskSize, 512), 4);
    if (reply.status != wire::kSuccess || reply.output.size() != 4) return {};
    return "loop" + std::to_string(wire::get(reply.output, 0, 4));
  }
  uint32_t disconnectDisk(const Driver& driver) {
    ControlClient client(driver.interface);
    return client.request(wire::kControlCode, wire::connectRecord(wire::kDisconnect, u"first_tag"), 0).status;
  }

  // Makes the first vkvd's disk, which it mounts the first partition of, and
  // kills vkvd; `loop` is the disk's loop device ("loopN"). The mounted
  // volume keeps the disk: its loop device stays on the file that nobody
  // serves any more.
  void crashWithAVolumeMounted(std::string& loop) {
    ASSERT_NO_FATAL_FAILURE(start(first_));
    loop = connectDisk(first_);
    ASSERT_FALSE(loop.empty()) << readFileBytes(first_.log);
    const std::string diskFile = backingFile(loop);
    ASSERT_TRUE(isMountPoint(first_.volumeMountPoint())) << readFileBytes(first_.log);
    ASSERT_TRUE(first_.vkvd->crash());
    ASSERT_EQ(backingFile(loop), diskFile);
    ASSERT_TRUE(hasPartition(loop, 1) && hasPartition(loop, 2));
    ASSERT_TRUE(isMountPoint(first_.diskMountPoint()));
    ASSERT_TRUE(isMountPoint(first_.volumeMountPoint()));
    first_.use();
    ASSERT_TRUE(fs::exists(protocol::identityFile(loop)));
  }

  // Starts `driver`'s vkvd again and waits for it to serve: it reclaims what
  // was left before it answers.
  void restart(Driver& driver) {
    ASSERT_NO_FATAL_FAILURE(start(driver));
    const Reply reply =
        ControlClient(driver.interface).request(wire::kControlCode, wire::subCommand(wire::kGetDriverGuid), 16);
    ASSERT_TRUE(reply.received) << readFileBytes(driver.log);
  }

  bool readsBack(const std::string& loop, off_t offset, size_t size) {
    std::vector<uint8_t> read;
    return disk_checks::directRead("/dev/" + loop, offset, size, &read) == 0 &&
           std::equal(read.begin(), read.end(), disk_.begin() + offset);
  }

  TempDir dir_;
  std::vector<uint8_t> disk_;
  Driver first_{dir_.path() / "run", dir_.path() / "volumes", dir_.path() / "vkvd.log"};
  // Another vkvd, its runtime and mount directories inside the first one's,
  // so that none of its things can be told apart from the first one's by a
  // path prefix.
  Driver other_{dir_.path() / "run" / "other", dir_.path() / "volumes" / "other", dir_.path() / "other-vkvd.log"};
};

}  // namespace

TEST_F(VkvdLifetimeTest, EveryThreadRunsAsAnIoFlusher) {
  // None where this machine refuses it (without CAP_SYS_RESOURCE), as it refuses vkvd.
  const unsigned long flusher = ioFlusherFlags();
  ASSERT_NO_FATAL_FAILURE(start(first_));
  // The disk's file system is served on a thread of its own, started later.
  ASSERT_FALSE(connectDisk(first_).empty()) << readFileBytes(first_.log);
  const pid_t pid = first_.vkvd->pid();
  const std::string log = readFileBytes(first_.log);
  if (flusher == 0) {
    EXPECT_NE(log.find("cannot run as an I/O flusher: Operation not permitted"), std::string::npos) << log;
  } else {
    EXPECT_NE(log.find("running as an I/O flusher"), std::string::npos) << log;
    int threads = 0;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
      EXPECT_EQ(taskFlags(task.path() / "stat").value_or(0) & flusher, flusher) << "thread " << task.path().filename();
      ++threads;
    }
    EXPECT_GE(threads, 2);
  }
  EXPECT_EQ(disconnectDisk(first_), wire::kSuccess);
}

TEST_F(VkvdLifetimeTest, ReclaimsWhatAKilledVkvdLeftAndNothingOfAnother) {
  ASSERT_NO_FATAL_FAILURE(start(other_));
  const std::string otherLoop = connectDisk(other_);
  ASSERT_FALSE(otherLoop.empty()) << readFileBytes(other_.log);
  const std::string otherDiskFile = backingFile(otherLoop);
  std::string loop;
  ASSERT_NO_FATAL_FAILURE(crashWithAVolumeMounted(loop));
  const std::string sequence = diskSequence(loop);

  ASSERT_NO_FATAL_FAILURE(restart(first_));
  EXPECT_TRUE(eventually([&] { return diskGone(loop, sequence); })) << readFileBytes(first_.log);
  EXPECT_FALSE(isMountPoint(first_.diskMountPoint()));
  EXPECT_FALSE(isMountPoint(first_.volumeMountPoint()));
  EXPECT_FALSE(fs::exists(first_.volumeMountPoint())) << "its directory goes with it";
  EXPECT_FALSE(fs::exists(protocol::identityFile(loop)));

  EXPECT_EQ(backingFile(otherLoop), otherDiskFile) << "the other vkvd's disk stays";
  EXPECT_TRUE(hasPartition(otherLoop, 1) && hasPartition(otherLoop, 2));
  EXPECT_TRUE(isMountPoint(other_.diskMountPoint()));
  EXPECT_TRUE(isMountPoint(other_.volumeMountPoint()));
  other_.use();
  EXPECT_TRUE(fs::exists(protocol::identityFile(otherLoop)));
  EXPECT_TRUE(readsBack(otherLoop, kSecondPartition, kReadBack)) << "and it still serves";
  EXPECT_EQ(disconnectDisk(other_), wire::kSuccess) << readFileBytes(other_.log);

  const std::string again = connectDisk(first_);
  ASSERT_FALSE(again.empty()) << "a new disk can be made\n" << readFileBytes(first_.log);
  EXPECT_TRUE(hasPartition(again, 1) && hasPartition(again, 2));
  EXPECT_TRUE(readsBack(again, kSecondPartition, kReadBack));
  EXPECT_EQ(disconnectDisk(first_), wire::kSuccess) << readFileBytes(first_.log);
}

TEST_F(VkvdLifetimeTest, ALeftLoopDeviceHeldOpenGoesAtItsLastClose) {
  std::string loop;
  ASSERT_NO_FATAL_FAILURE(crashWithAVolumeMounted(loop));
  const std::string sequence = diskSequence(loop);
  // As a process still reading the disk would hold it.
  sys::posix::UniqueFd held(open(("/dev/" + loop + "p2").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(held.valid()) << std::strerror(errno);

  ASSERT_NO_FATAL_FAILURE(restart(first_));
  EXPECT_FALSE(hasPartition(loop, 1)) << "the partition not in use is deleted\n" << readFileBytes(first_.log);
  EXPECT_TRUE(hasPartition(loop, 2));
  EXPECT_NE(backingFile(loop), "");
  EXPECT_FALSE(isMountPoint(first_.diskMountPoint()));
  EXPECT_FALSE(isMountPoint(first_.volumeMountPoint()));
  EXPECT_FALSE(fs::exists(first_.volumeMountPoint()));
  held.reset();
  EXPECT_TRUE(eventually([&] { return diskGone(loop, sequence); })) << "detached at its last close";
}
