// vkvd works only in a runtime directory of its own: one that another user
// made, or could change or replace, is refused before vkvd touches anything
// in it. In its own directory it follows no symbolic link, so that it
// deletes, unmounts and mounts nothing elsewhere.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "DiskChecks.h"
#include "FakePortService.h"
#include "VkvdProcess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kOtherUid = 12345;
constexpr uint64_t kDiskSize = 4 << 20;

fs::path makeDirectory(const fs::path& path, fs::perms mode) {
  fs::create_directory(path);
  fs::permissions(path, mode);
  return path;
}

fs::path makeOwnDirectory(const fs::path& path) { return makeDirectory(path, fs::perms::owner_all); }

void giveToOtherUser(const fs::path& path) { ASSERT_EQ(chown(path.c_str(), kOtherUid, kOtherUid), 0) << path; }

// An identity file such as an earlier run leaves: what vkvd clears at start.
fs::path plantIdentity(const fs::path& directory) {
  fs::create_directories(directory);
  const fs::path file = directory / "loop9";
  std::ofstream(file) << "vendor=VELKAR/A\n";
  return file;
}

struct Refusal {
  const char* name;
  bool needsRoot;
  // Prepares the runtime directory in `base`; its path.
  fs::path (*prepare)(const fs::path& base);
  const char* reason;  // in vkvd's log line
};

const Refusal kRefusals[] = {
    {"made by another user", true,
     [](const fs::path& base) {
       const fs::path run = makeOwnDirectory(base / "run");
       giveToOtherUser(run);
       return run;
     },
     "belongs to user 12345"},
    {"a symbolic link to a directory of ours", false,
     [](const fs::path& base) {
       fs::create_directory_symlink(makeOwnDirectory(base / "real"), base / "run");
       return base / "run";
     },
     "symbolic link"},
    {"open to the group", false, [](const fs::path& base) { return makeDirectory(base / "run", fs::perms(0750)); },
     "mode 0750"},
    {"open to all", false, [](const fs::path& base) { return makeDirectory(base / "run", fs::perms(0755)); },
     "mode 0755"},
    {"in a directory every user may change", false,
     [](const fs::path& base) { return makeOwnDirectory(makeDirectory(base / "open", fs::perms::all) / "run"); },
     "above it"},
    {"in a directory of another user", true,
     [](const fs::path& base) {
       const fs::path theirs = makeDirectory(base / "theirs", fs::perms(0755));
       const fs::path run = makeOwnDirectory(theirs / "run");
       giveToOtherUser(theirs);
       return run;
     },
     "above it belongs to user 12345"},
};

}  // namespace

TEST(VkvdRuntimeDirectory, OneThatOthersMadeOrCouldChangeIsRefused) {
  for (const Refusal& c : kRefusals) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    TempDir dir;
    const fs::path run = c.prepare(dir.path());
    const fs::path identity = plantIdentity(run / "identity");
    const fs::path log = dir.path() / "vkvd.log";
    VkvdProcess vkvd(run, log);
    EXPECT_EQ(vkvd.exitCode(), 2);
    const std::string text = readFileBytes(log);
    EXPECT_NE(text.find("the runtime directory " + run.string() + " is refused: "), std::string::npos) << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_TRUE(fs::exists(identity)) << "nothing in it is touched";
    EXPECT_FALSE(fs::exists(run / "interfaces")) << "nothing is published in it";
  }
}

// Whether vkvd then serves or not, what the link points to stays as it was.
TEST(VkvdRuntimeDirectory, NothingIsDeletedOrMadeThroughASymbolicLinkInIt) {
  for (const char* link : {"identity", "interfaces"}) {
    SCOPED_TRACE(link);
    TempDir dir;
    const fs::path run = makeOwnDirectory(dir.path() / "run");
    const fs::path victim = makeOwnDirectory(dir.path() / "victim");
    plantIdentity(victim);
    fs::create_directory_symlink(victim, run / link);
    const fs::path log = dir.path() / "vkvd.log";
    setenv("VKBVD_RUNTIME_DIR", run.c_str(), 1);
    {
      VkvdProcess vkvd(run, log);
      vkvd.waitForInterface();
    }
    unsetenv("VKBVD_RUNTIME_DIR");
    EXPECT_EQ(disk_checks::filesBelow(victim), std::vector<fs::path>{"loop9"}) << readFileBytes(log);
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1) << readFileBytes(log);
  }
}

// A directory with a file system of its own mounted on it, as another
// user's mounted volume; vkvd's runtime directory names it "disk".
class VkvdDiskLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "making disks needs root, /dev/fuse and loop devices";
    run_ = makeOwnDirectory(dir_.path() / "run");
    setenv("VKBVD_RUNTIME_DIR", run_.c_str(), 1);
    victim_ = makeOwnDirectory(dir_.path() / "victim");
    ASSERT_EQ(mount("victim", victim_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m"), 0) << std::strerror(errno);
    mounted_ = true;
    std::ofstream(victim_ / "kept") << "another user's file\n";
    fs::create_directory_symlink(victim_, run_ / "disk");
  }
  void TearDown() override {
    vkvd_.reset();
    service_.reset();
    if (mounted_) umount2(victim_.c_str(), MNT_DETACH);
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  std::string log() const { return readFileBytes(dir_.path() / "vkvd.log"); }

  TempDir dir_;
  fs::path run_;
  fs::path victim_;
  bool mounted_ = false;
  std::unique_ptr<FakePortService> service_;
  std::unique_ptr<VkvdProcess> vkvd_;
};

TEST_F(VkvdDiskLinkTest, NothingIsUnmountedOrMountedThroughIt) {
  service_ = std::make_unique<FakePortService>(std::vector<uint8_t>(kDiskSize, 0));
  ASSERT_TRUE(service_->listening());
  vkvd_ = std::make_unique<VkvdProcess>(run_, dir_.path() / "vkvd.log");
  const std::string interface = vkvd_->waitForInterface();
  ASSERT_FALSE(interface.empty()) << log();
  EXPECT_TRUE(fs::exists(victim_ / "kept")) << "the file system on it stays mounted\n" << log();

  const Reply reply = ControlClient(interface).request(
      wire::kControlCode, wire::connectRecord(wire::kConnect, u"tag", u"/x.img", kDiskSize, 512), 4);
  EXPECT_NE(reply.status, wire::kSuccess) << "no disk is made over it";
  EXPECT_TRUE(fs::exists(victim_ / "kept")) << log();
  EXPECT_FALSE(fs::exists(victim_ / "disk")) << "vkvd's file system is not mounted on it";
  EXPECT_EQ(disk_checks::mountsUnder(victim_).size(), 1u) << log();
}
