// vkvd mounts the volumes of its disk as Windows gives a new volume its
// drive letter: each in a directory of its own in the mount directory, named
// after its label, never over or through anything it did not make; it
// unmounts them (lazily when busy) before it removes the disk, and mounts
// nothing with --no-mount. The disk holds a GPT with two ext4 partitions.
// Needs root, FUSE and loop devices.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
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

constexpr uint64_t kDiskSize = 20 << 20;
constexpr auto kSettleWait = 20s;

// A disk of kDiskSize bytes with a GPT of two partitions of 8 MiB, each
// holding an ext4 file system with the given label and a file "hello.txt";
// empty when the tools fail.
std::vector<uint8_t> twoVolumeDisk(const fs::path& file, const std::string& firstLabel,
                                   const std::string& secondLabel) {
  const fs::path files = file.parent_path() / "files";
  fs::create_directories(files);
  std::ofstream(files / "hello.txt") << "hello from the backup\n";
  const std::string path = file.string();
  const std::string commands = "truncate -s " + std::to_string(kDiskSize) + " " + path +
                               " && printf 'label: gpt\\nstart=2048, size=16384\\nsize=16384\\n' | sfdisk -q " + path +
                               " && mkfs.ext4 -q -F -L '" + firstLabel + "' -d " + files.string() +
                               " -E offset=1048576 " + path + " 8M" + " && mkfs.ext4 -q -F -L '" + secondLabel +
                               "' -d " + files.string() + " -E offset=9437184 " + path + " 8M";
  if (std::system(commands.c_str()) != 0) return {};
  const std::string bytes = readFileBytes(file);
  return {bytes.begin(), bytes.end()};
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

// The mounts of block device `device` ("/dev/loop0p1").
std::vector<disk_checks::Mount> mountsOf(const std::string& device) {
  std::vector<disk_checks::Mount> found;
  for (const disk_checks::Mount& mount : disk_checks::mounts()) {
    if (mount.source == device) found.push_back(mount);
  }
  return found;
}

bool isMountPoint(const fs::path& path) {
  for (const disk_checks::Mount& mount : disk_checks::mounts()) {
    if (mount.point == path.string()) return true;
  }
  return false;
}

std::string backingFile(const std::string& loop) {
  std::string file = readFileBytes("/sys/block/" + loop + "/loop/backing_file");
  if (!file.empty() && file.back() == '\n') file.pop_back();
  return file;
}

// A process whose working directory lies in `directory`, as a shell that
// was left there; killed when destroyed.
class ProcessIn {
 public:
  explicit ProcessIn(const fs::path& directory) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      if (chdir(directory.c_str()) == 0) {
        [[maybe_unused]] const ssize_t written = write(ready[1], "x", 1);
        pause();
      }
      _exit(1);
    }
    close(ready[1]);
    char byte = 0;
    entered_ = pid_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~ProcessIn() { end(); }
  ProcessIn(const ProcessIn&) = delete;
  ProcessIn& operator=(const ProcessIn&) = delete;

  bool entered() const { return entered_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool entered_ = false;
};

class VkvdMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "making disks needs root, /dev/fuse and loop devices";
    fs::create_directory(runtimeDir());
    fs::permissions(runtimeDir(), fs::perms::owner_all);
    setenv("VKBVD_RUNTIME_DIR", runtimeDir().c_str(), 1);
  }
  void TearDown() override {
    for (const fs::path& mountPoint : mounted_) umount2(mountPoint.c_str(), MNT_DETACH);
    vkvd_.reset();
    service_.reset();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  // Serves a disk whose partitions have the ext4 labels given and starts
  // vkvd, mounting in mountDir() unless `mounting` is false.
  void start(const std::string& firstLabel, const std::string& secondLabel, bool mounting = true,
             const std::vector<std::string>& options = {}) {
    const std::vector<uint8_t> disk = twoVolumeDisk(dir_.path() / "disk.img", firstLabel, secondLabel);
    ASSERT_EQ(disk.size(), kDiskSize) << "sfdisk and mkfs.ext4 make the disk";
    service_ = std::make_unique<FakePortService>(disk);
    ASSERT_TRUE(service_->listening());
    vkvd_ =
        std::make_unique<VkvdProcess>(runtimeDir(), dir_.path() / "vkvd.log", -1, mounting ? mountDir() : fs::path(),
                                      options);
    interface_ = vkvd_->waitForInterface();
    ASSERT_FALSE(interface_.empty()) << log();
  }

  // Makes the disk, for root or for user `owner`; its loop device ("loopN"),
  // empty when none was made.
  std::string connectDisk(std::optional<uid_t> owner = std::nullopt) {
    const std::vector<uint8_t> record =
        wire::connectRecord(wire::kConnect, u"first_tag", u"/fake.img", kDiskSize, 512);
    ControlClient client(interface_);
    const Reply reply = owner ? client.requestFor(*owner, wire::kControlCode, record, 4)
                              : client.request(wire::kControlCode, record, 4);
    if (reply.status != wire::kSuccess || reply.output.size() != 4) return {};
    return "loop" + std::to_string(wire::get(reply.output, 0, 4));
  }
  uint32_t disconnectDisk() {
    return ControlClient(interface_)
        .request(wire::kControlCode, wire::connectRecord(wire::kDisconnect, u"first_tag"), 0)
        .status;
  }

  // `device` is mounted once, at `point`, read-write with nosuid and nodev.
  void expectMountedAt(const std::string& device, const fs::path& point) {
    const std::vector<disk_checks::Mount> mounts = mountsOf(device);
    ASSERT_EQ(mounts.size(), 1u) << device << "\n" << log();
    EXPECT_EQ(mounts[0].point, point.string());
    EXPECT_TRUE(disk_checks::hasOptions(mounts[0], {"rw", "nosuid", "nodev"})) << mounts[0].options;
    EXPECT_EQ(readFileBytes(point / "hello.txt"), "hello from the backup\n");
  }

  // Nothing of the disk is left: no loop device on the disk file, no mount
  // below the mount directory, no directory in root's directory of it but
  // `kept` (and that directory gone when nothing is kept).
  void expectNothingLeft(const std::vector<fs::path>& kept = {}) {
    EXPECT_TRUE(disk_checks::loopDevicesBackedFrom(runtimeDir()).empty());
    EXPECT_TRUE(disk_checks::mountsUnder(runtimeDir()).empty());
    EXPECT_TRUE(disk_checks::mountsUnder(mountDir()).empty()) << log();
    std::vector<fs::path> entries;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(rootsVolumes(), missing)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, kept);
    if (kept.empty()) {
      EXPECT_TRUE(fs::is_empty(mountDir())) << "the user's directory goes once empty";
    }
  }

  std::string log() const { return readFileBytes(dir_.path() / "vkvd.log"); }
  fs::path runtimeDir() const { return dir_.path() / "run"; }
  fs::path mountDir() const { return dir_.path() / "volumes"; }
  // Where the volumes of a disk made for root (the test asks as root) go.
  fs::path rootsVolumes() const { return mountDir() / "0"; }

  TempDir dir_;
  std::unique_ptr<FakePortService> service_;
  std::unique_ptr<VkvdProcess> vkvd_;
  std::string interface_;
  std::vector<fs::path> mounted_;
};

}  // namespace

TEST_F(VkvdMountTest, EachVolumeIsMountedReadWriteInADirectoryOfItsOwn) {
  ASSERT_NO_FATAL_FAILURE(start("DATA", "a/b"));
  const std::string loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  expectMountedAt("/dev/" + loop + "p1", rootsVolumes() / "DATA");
  expectMountedAt("/dev/" + loop + "p2", rootsVolumes() / "volume2");
  // Said only once they are mounted: the service reads the mount points then.
  EXPECT_TRUE(readFileBytes(protocol::identityFile(loop)).ends_with("\nvolumes=settled\n"));

  const fs::path written = rootsVolumes() / "DATA" / "written.txt";
  std::ofstream(written) << "written on the mounted volume\n";
  EXPECT_EQ(readFileBytes(written), "written on the mounted volume\n");

  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  expectNothingLeft();
  EXPECT_NE(log().find("unmounted /dev/" + loop + "p1 from " + (rootsVolumes() / "DATA").string()), std::string::npos)
      << log();
}

// A disk for a user other than root: its volumes go to that user's own
// directory, mode 0700, noexec; only file systems of the listed types are
// mounted for such a user, root's of every type.
TEST_F(VkvdMountTest, AUsersVolumesAreMountedInTheirDirectoryNoexecAndOfTheListedTypesOnly) {
  constexpr uid_t kUser = 65534;
  ASSERT_NO_FATAL_FAILURE(start("DATA", "OTHER", true, {"--user-fs-types", "xfs,ext4"}));
  std::string loop = connectDisk(kUser);
  ASSERT_FALSE(loop.empty()) << log();
  const fs::path users = mountDir() / std::to_string(kUser);
  const std::vector<disk_checks::Mount> mounts = mountsOf("/dev/" + loop + "p1");
  ASSERT_EQ(mounts.size(), 1u) << log();
  EXPECT_EQ(mounts[0].point, (users / "DATA").string());
  EXPECT_TRUE(disk_checks::hasOptions(mounts[0], {"rw", "nosuid", "nodev", "noexec"})) << mounts[0].options;
  struct stat status {};
  ASSERT_EQ(stat(users.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, kUser);
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  EXPECT_NE(log().find("connect \"first_tag\" for user 65534"), std::string::npos) << log();
  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  expectNothingLeft();

  vkvd_.reset();
  service_.reset();  // its port goes before the next one is made
  ASSERT_NO_FATAL_FAILURE(start("DATA", "OTHER", true, {"--user-fs-types", "xfs"}));
  loop = connectDisk(kUser);
  ASSERT_FALSE(loop.empty()) << log();
  EXPECT_TRUE(mountsOf("/dev/" + loop + "p1").empty());
  EXPECT_TRUE(mountsOf("/dev/" + loop + "p2").empty());
  EXPECT_NE(log().find("/dev/" + loop +
                       "p1 holds ext4, which is not among the file systems mounted for users other than root "
                       "(--user-fs-types); not mounted"),
            std::string::npos)
      << log();
  EXPECT_TRUE(readFileBytes(protocol::identityFile(loop)).ends_with("\nvolumes=settled\n")) << "none to wait for";
  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  expectMountedAt("/dev/" + loop + "p1", rootsVolumes() / "DATA");
  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
}

TEST_F(VkvdMountTest, WithNoMountNothingIsMounted) {
  ASSERT_NO_FATAL_FAILURE(start("DATA", "OTHER", false));
  const std::string loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  EXPECT_TRUE(fs::exists("/dev/" + loop + "p1") && fs::exists("/dev/" + loop + "p2")) << "the volumes are there";
  EXPECT_TRUE(mountsOf("/dev/" + loop + "p1").empty());
  EXPECT_TRUE(mountsOf("/dev/" + loop + "p2").empty());
  EXPECT_FALSE(fs::exists(mountDir()));
  EXPECT_NE(log().find("volumes are not mounted"), std::string::npos) << log();
  EXPECT_TRUE(readFileBytes(protocol::identityFile(loop)).ends_with("\nvolumes=settled\n")) << "none to wait for";
  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
}

// The mount directory is root's, but root may have put something there.
TEST_F(VkvdMountTest, ANameTakenAlreadyIsNeitherFollowedNorMountedOver) {
  const fs::path target = dir_.path() / "target";
  fs::create_directories(target);
  std::ofstream(target / "kept") << "kept\n";
  fs::create_directories(rootsVolumes());
  fs::create_directory_symlink(target, rootsVolumes() / "DATA");
  fs::create_directory(rootsVolumes() / "volume2");
  std::ofstream(rootsVolumes() / "volume2" / "kept") << "kept\n";

  ASSERT_NO_FATAL_FAILURE(start("DATA", ""));
  const std::string loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  expectMountedAt("/dev/" + loop + "p1", rootsVolumes() / "volume1");
  EXPECT_TRUE(mountsOf("/dev/" + loop + "p2").empty()) << "its name is taken, and so is its fallback";
  EXPECT_TRUE(fs::is_symlink(rootsVolumes() / "DATA"));
  EXPECT_FALSE(isMountPoint(target));
  EXPECT_FALSE(isMountPoint(rootsVolumes() / "volume2"));
  const std::string text = log();
  EXPECT_NE(text.find((rootsVolumes() / "DATA").string() + " exists already: mounting /dev/" + loop + "p1 at " +
                      (rootsVolumes() / "volume1").string() + " instead"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("cannot make the mount point " + (rootsVolumes() / "volume2").string() + " for /dev/" + loop +
                      "p2: something else has that name; not mounted"),
            std::string::npos)
      << text;

  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  expectNothingLeft({rootsVolumes() / "DATA", rootsVolumes() / "volume2"});
  EXPECT_TRUE(fs::is_symlink(rootsVolumes() / "DATA"));
  EXPECT_EQ(disk_checks::filesBelow(target), std::vector<fs::path>{"kept"});
  EXPECT_EQ(disk_checks::filesBelow(rootsVolumes() / "volume2"), std::vector<fs::path>{"kept"});
}

TEST_F(VkvdMountTest, AVolumeInUseIsDetachedLazilyAndTheDiskGoesWithItsLastUser) {
  ASSERT_NO_FATAL_FAILURE(start("DATA", "OTHER"));
  const std::string loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  const std::string diskFile = backingFile(loop);
  ProcessIn user(rootsVolumes() / "DATA");
  ASSERT_TRUE(user.entered());

  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  const std::string text = log();
  EXPECT_NE(text.find((rootsVolumes() / "DATA").string() + " is in use: detached it lazily"), std::string::npos) << text;
  EXPECT_NE(text.find("unmounted /dev/" + loop + "p2"), std::string::npos) << text;
  EXPECT_TRUE(disk_checks::mountsUnder(mountDir()).empty()) << text;
  EXPECT_FALSE(fs::exists(rootsVolumes() / "DATA"));
  EXPECT_FALSE(fs::exists(rootsVolumes() / "OTHER"));
  const Reply active =
      ControlClient(interface_)
          .request(wire::kControlCode, wire::subCommand(wire::kGetActiveDevice), wire::kActiveReplySize);
  EXPECT_EQ(wire::get(active.output, 0, 4), 0u) << "the driver holds no disk";

  user.end();
  EXPECT_TRUE(eventually([&] { return backingFile(loop) != diskFile; })) << "the disk went with its last user";
  expectNothingLeft();
}

TEST_F(VkvdMountTest, ADiskInUseElsewhereStaysWithItsVolumesMounted) {
  ASSERT_NO_FATAL_FAILURE(start("DATA", "OTHER"));
  const std::string loop = connectDisk();
  ASSERT_FALSE(loop.empty()) << log();
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::create_directory(elsewhere);
  ASSERT_EQ(mount(("/dev/" + loop + "p2").c_str(), elsewhere.c_str(), "ext4", MS_NOSUID | MS_NODEV, nullptr), 0)
      << std::strerror(errno);
  mounted_.push_back(elsewhere);

  EXPECT_EQ(disconnectDisk(), wire::kBusy) << log();
  expectMountedAt("/dev/" + loop + "p1", rootsVolumes() / "DATA");
  EXPECT_TRUE(isMountPoint(rootsVolumes() / "OTHER")) << log();

  ASSERT_EQ(umount2(elsewhere.c_str(), 0), 0);
  mounted_.clear();
  EXPECT_EQ(disconnectDisk(), wire::kSuccess) << log();
  expectNothingLeft();
}

// A mount directory that others could change would let them choose where
// volumes go: vkvd does not start on it.
TEST(VkvdMountDirectory, OneThatOthersCouldChangeIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount directory is root's";
  struct Refusal {
    const char* name;
    const char* path;  // in a directory of the test's
    void (*prepare)(const fs::path& directory);
    const char* reason;
  };
  const Refusal refusals[] = {
      {"open to all", "volumes",
       [](const fs::path& directory) {
         fs::create_directory(directory);
         fs::permissions(directory, fs::perms::all);
       },
       "its mode 0777 lets other users change it"},
      {"another user's", "volumes",
       [](const fs::path& directory) {
         fs::create_directory(directory);
         ASSERT_EQ(chown(directory.c_str(), 12345, 12345), 0);
       },
       "it belongs to user 12345"},
      {"a symbolic link", "volumes",
       [](const fs::path& directory) {
         fs::create_directory(directory.string() + ".real");
         fs::create_directory_symlink(directory.string() + ".real", directory);
       },
       "it is a symbolic link"},
      {"in a missing directory", "missing/volumes", [](const fs::path&) {}, "cannot open"},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path run = dir.path() / "run";
    fs::create_directory(run);
    fs::permissions(run, fs::perms::owner_all);
    const fs::path mountDir = dir.path() / c.path;
    c.prepare(mountDir);
    const fs::path log = dir.path() / "vkvd.log";
    VkvdProcess vkvd(run, log, -1, mountDir);
    EXPECT_EQ(vkvd.exitCode(), 2);
    const std::string text = readFileBytes(log);
    EXPECT_NE(text.find("the mount directory " + mountDir.string() + " is refused: " + c.reason), std::string::npos)
        << text;
    EXPECT_FALSE(fs::exists(run / "interfaces")) << "nothing is published";
  }
}
