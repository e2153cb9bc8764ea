// vkvd against a faulty service: a stand-in for the sector port that drops
// connections or answers wrongly. A dropped request is sent once more; a
// wrong answer fails the read with EIO and nothing else; reads succeed again
// once the service answers well. And a client that goes away before its
// connect is answered leaves no disk behind. Needs root, FUSE and loop devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "DiskChecks.h"
#include "FakePortService.h"
#include "VkvdProcess.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using Behaviour = FakePortService::Behaviour;

namespace {

constexpr uint64_t kDiskSize = 8 << 20;

std::vector<uint8_t> randomBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(5);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

class VkvdFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_checks::canMakeDisks()) GTEST_SKIP() << "making disks needs root, /dev/fuse and loop devices";
    fs::create_directory(runtimeDir());
    fs::permissions(runtimeDir(), fs::perms::owner_all);
    setenv("VKBVD_RUNTIME_DIR", runtimeDir().c_str(), 1);
    disk_ = randomBytes(kDiskSize);
    service_ = std::make_unique<FakePortService>(disk_);
    ASSERT_TRUE(service_->listening());
    vkvd_ = std::make_unique<VkvdProcess>(runtimeDir(), dir_.path() / "vkvd.log");
    interface_ = vkvd_->waitForInterface();
    ASSERT_FALSE(interface_.empty()) << log();
  }
  void TearDown() override {
    vkvd_.reset();
    service_.reset();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  // The connect request of the disk (random bytes, no partition table).
  static std::vector<uint8_t> connectRequest() {
    return wire::requestMessage(wire::kControlCode,
                                wire::connectRecord(wire::kConnect, u"first_tag", u"/fake.img", kDiskSize, 512), 4);
  }

  // Makes the disk; its /dev/loopN.
  std::string connectDisk() {
    ControlClient client(interface_);
    const Reply reply = client.send(connectRequest());
    if (reply.status != wire::kSuccess || reply.output.size() != 4) return {};
    return "/dev/loop" + std::to_string(wire::get(reply.output, 0, 4));
  }

  bool readsBack(const std::string& device, off_t offset, size_t size) {
    std::vector<uint8_t> read;
    return disk_checks::directRead(device, offset, size, &read) == 0 &&
           std::equal(read.begin(), read.end(), disk_.begin() + offset);
  }

  std::string log() const { return readFileBytes(dir_.path() / "vkvd.log"); }
  fs::path runtimeDir() const { return dir_.path() / "run"; }

  TempDir dir_;
  std::vector<uint8_t> disk_;
  std::unique_ptr<FakePortService> service_;
  std::unique_ptr<VkvdProcess> vkvd_;
  std::string interface_;
};

}  // namespace

TEST_F(VkvdFaultTest, SendsADroppedRequestOnceMore) {
  service_->setBehaviour(Behaviour::DropEveryOther);
  const std::string device = connectDisk();
  ASSERT_FALSE(device.empty()) << log();
  const int before = service_->connections();
  EXPECT_TRUE(readsBack(device, 3 << 20, 64 << 10)) << log();
  EXPECT_EQ(service_->connections() - before, 2) << "one read: one dropped connection and one answered";
  // The line tells which step failed: the connection ended before the reply,
  // seen when sending the request or when waiting for the reply, as it falls.
  const std::string text = log();
  EXPECT_TRUE(text.find("a sector request dropped unanswered (reply: ") != std::string::npos ||
              text.find("a sector request dropped unanswered (request: ") != std::string::npos)
      << text;
  EXPECT_NE(log().find(") was answered when sent again"), std::string::npos) << log();
}

TEST_F(VkvdFaultTest, AWrongAnswerFailsTheReadAndTheDiskRecovers) {
  const std::string device = connectDisk();
  ASSERT_FALSE(device.empty()) << log();
  const struct {
    Behaviour behaviour;
    const char* logged;
  } cases[] = {
      {Behaviour::DropAll, "dropped the connection"},
      {Behaviour::ReplyFailed, "failed the request"},
      {Behaviour::ReplyShort, "moved another number of bytes"},
      {Behaviour::ReplyTooMuch, "moved another number of bytes"},
      {Behaviour::ReplyTruncated, "dropped the connection"},
  };
  off_t offset = 1 << 20;
  for (const auto& c : cases) {
    service_->setBehaviour(c.behaviour);
    EXPECT_EQ(disk_checks::directRead(device, offset, 4096), EIO) << c.logged;
    EXPECT_NE(log().find(c.logged), std::string::npos) << c.logged << "\n" << log();
    service_->setBehaviour(Behaviour::Serve);
    EXPECT_TRUE(readsBack(device, offset, 4096)) << c.logged;
    offset += 1 << 20;
  }
  EXPECT_NE(log().find("sector requests are answered again"), std::string::npos);
  ControlClient client(interface_);
  EXPECT_EQ(client.request(wire::kControlCode, wire::connectRecord(wire::kDisconnect, u"first_tag"), 0).status,
            wire::kSuccess)
      << log();
}

// The client that asked for the disk never learns of it, so nobody would ever
// remove it: vkvd removes it itself.
TEST_F(VkvdFaultTest, AConnectWhoseClientWentAwayIsUndone) {
  {
    ControlClient gone(interface_);
    ASSERT_TRUE(gone.post(connectRequest()));
  }
  // vkvd serves one client at a time, in the order they came: the connect is
  // over before this query is answered.
  ControlClient client(interface_);
  const Reply active =
      client.request(wire::kControlCode, wire::subCommand(wire::kGetActiveDevice), wire::kActiveReplySize);
  ASSERT_TRUE(active.received) << log();
  ASSERT_EQ(active.output.size(), wire::kActiveReplySize);
  EXPECT_EQ(wire::get(active.output, 0, 4), 0u) << "no active device\n" << log();
  EXPECT_NE(log().find("the reply to connect \"first_tag\" was not delivered: removing its disk"), std::string::npos)
      << log();
  EXPECT_TRUE(disk_checks::loopDevicesBackedFrom(runtimeDir()).empty());
  EXPECT_TRUE(disk_checks::mountsUnder(runtimeDir()).empty());
  EXPECT_EQ(client.send(connectRequest()).status, wire::kSuccess) << "a new connect makes the disk\n" << log();
}
