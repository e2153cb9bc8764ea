// vkvd's control channel: the daemon in a process of its own, answering a
// client written here from the wire format alone. No disk is made, so these
// tests run anywhere; the one that makes vkvd lack privileges runs it as
// another user when it can.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ControlClient.h"
#include "DiskChecks.h"
#include "VkvdProcess.h"
#include "common/Guid.h"
#include "support/TempDir.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;
namespace protocol = sys::posix::device_protocol;

namespace {

constexpr uint32_t kUnprivilegedUid = 12345;

class VkvdControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtimeDir_ = dir_.path() / "run";
    setenv("VKBVD_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    vkvd_ = std::make_unique<VkvdProcess>(runtimeDir_, dir_.path() / "vkvd.log");
    interface_ = vkvd_->waitForInterface();
    ASSERT_FALSE(interface_.empty()) << "vkvd did not publish its interface\n" << log();
  }
  void TearDown() override {
    vkvd_.reset();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  std::string log() const { return readFileBytes(dir_.path() / "vkvd.log"); }

  TempDir dir_;
  fs::path runtimeDir_;
  std::unique_ptr<VkvdProcess> vkvd_;
  std::string interface_;
};

}  // namespace

TEST_F(VkvdControlTest, AnswersTheDriverGuidInTheWindowsLayout) {
  ControlClient client(interface_);
  ASSERT_TRUE(client.connected());
  const Reply reply = client.request(wire::kControlCode, wire::subCommand(wire::kGetDriverGuid), 16);
  ASSERT_TRUE(reply.received);
  EXPECT_EQ(reply.status, wire::kSuccess);
  ASSERT_EQ(reply.bytesReturned, 16u);
  ASSERT_EQ(reply.output.size(), 16u);
  EXPECT_EQ(Guid::fromBytes(reply.output.data()), wire::kDriverGuid);
  const std::vector<uint8_t> expected = {0x92, 0xC6, 0x3B, 0x54, 0x1C, 0x94, 0xFA, 0x46,
                                         0x89, 0x88, 0xFB, 0x3B, 0xAE, 0x5D, 0x76, 0x37};
  EXPECT_EQ(reply.output, expected);
  EXPECT_EQ(fs::status(interface_).permissions() & fs::perms::others_all, fs::perms::none);
}

TEST_F(VkvdControlTest, ReportsNoActiveDeviceAndRemovesNone) {
  ControlClient client(interface_);
  const Reply active =
      client.request(wire::kControlCode, wire::subCommand(wire::kGetActiveDevice), wire::kActiveReplySize);
  EXPECT_EQ(active.status, wire::kSuccess);
  EXPECT_EQ(active.bytesReturned, wire::kActiveReplySize);
  EXPECT_EQ(active.output, std::vector<uint8_t>(wire::kActiveReplySize, 0));
  const Reply disconnect = client.request(wire::kControlCode, wire::connectRecord(wire::kDisconnect, u"first_tag"), 0);
  EXPECT_EQ(disconnect.status, wire::kFileNotFound);
  EXPECT_EQ(disconnect.bytesReturned, 0u);
}

TEST_F(VkvdControlTest, RefusesBadRequestsAndGoesOnServing) {
  const uint32_t max = protocol::kMaxPayload;
  auto control = [](const std::vector<uint8_t>& input, uint32_t outputSize) {
    return wire::requestMessage(wire::kControlCode, input, outputSize);
  };
  auto connect = [&](uint64_t volumeSize, uint32_t sectorSize, const std::u16string& tag = u"t") {
    return control(wire::connectRecord(wire::kConnect, tag, u"p", volumeSize, sectorSize), 4);
  };
  auto patched = [](std::vector<uint8_t> message, size_t at, uint32_t value) {
    wire::put(message, at, value, 4);
    return message;
  };
  auto record = [](size_t size) {
    std::vector<uint8_t> bytes = wire::connectRecord(wire::kConnect, u"t", u"p", 4096, 512);
    bytes.resize(size);
    return bytes;
  };
  const std::vector<uint8_t> guid = wire::subCommand(wire::kGetDriverGuid);
  const uint32_t invalid = wire::kInvalidParameter;
  // A refused connect still answers its dbg_status (4 bytes); nothing else
  // that is refused returns output.
  const struct {
    const char* what;
    std::vector<uint8_t> message;
    uint32_t status;
    uint32_t bytesReturned;
  } cases[] = {
      {"shorter than a header", std::vector<uint8_t>(10, 0), invalid, 0},
      {"wrong magic", patched(control(guid, 16), 0, 0x12345678), invalid, 0},
      {"input size beyond the limit", patched(control({}, 16), 8, max + 1), invalid, 0},
      {"output size beyond the limit", control(guid, max + 1), invalid, 0},
      {"length not matching the input size", patched(control(guid, 16), 8, 8), invalid, 0},
      {"longer than any request", patched(control(std::vector<uint8_t>(max + 100), 16), 8, max), invalid, 0},
      {"another control code", wire::requestMessage(0x0004D03C, guid, 16), wire::kInvalidFunction, 0},
      {"no sub-command", control({0x38, 0xF0, 0x7F}, 16), invalid, 0},
      {"unknown sub-command", control(wire::subCommand(0xF72AB04C), 16), wire::kInvalidFunction, 0},
      {"guid into 15 bytes", control(guid, 15), wire::kInsufficientBuffer, 0},
      {"active device into 5758 bytes", control(wire::subCommand(wire::kGetActiveDevice), 5758),
       wire::kInsufficientBuffer, 0},
      {"connect with room for 3 bytes", control(record(wire::kRecordSize), 3), wire::kInsufficientBuffer, 0},
      {"connect record of 1142 bytes", control(record(wire::kRecordSize - 1), 4), invalid, 4},
      {"connect record of 1144 bytes", control(record(wire::kRecordSize + 1), 4), invalid, 4},
      {"disconnect record of 4 bytes", control(wire::subCommand(wire::kDisconnect), 0), invalid, 0},
      {"connect of 0 bytes", connect(0, 512), invalid, 4},
      {"connect with 256-byte sectors", connect(4096, 256), invalid, 4},
      {"connect with 1000-byte sectors", connect(64000, 1000), invalid, 4},
      {"connect with 8192-byte sectors", connect(65536, 8192), invalid, 4},
      {"connect with a part sector", connect(4097, 512), invalid, 4},
      {"connect larger than a file", connect(1ull << 63, 512), invalid, 4},
      {"connect with an unterminated tag", connect(4096, 512, std::u16string(51, u't')), invalid, 4},
  };
  ControlClient client(interface_);
  ASSERT_TRUE(client.connected());
  for (const auto& c : cases) {
    const Reply reply = client.send(c.message);
    ASSERT_TRUE(reply.received) << c.what;
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.bytesReturned, c.bytesReturned) << c.what;
    if (c.bytesReturned == 4) {
      EXPECT_EQ(wire::get(reply.output, 0, 4), 0xFFFFFFFFu) << c.what;
    }
  }
  EXPECT_EQ(client.request(wire::kControlCode, guid, 16).status, wire::kSuccess) << "the same handle still serves";
  const Reply active =
      client.request(wire::kControlCode, wire::subCommand(wire::kGetActiveDevice), wire::kActiveReplySize);
  EXPECT_EQ(wire::get(active.output, 0, 4), 0u) << "no refused connect made a disk";
  EXPECT_NE(log().find("refused a connect record of 1142 bytes"), std::string::npos) << log();
}

TEST_F(VkvdControlTest, AClientStringNeverBeginsALineOfItsOwn) {
  ControlClient client(interface_);
  const Reply reply = client.request(wire::kControlCode,
                                     wire::connectRecord(wire::kConnect, u"tag\nforged line", u"/x.img", 0, 512), 4);
  EXPECT_EQ(reply.status, wire::kInvalidParameter);
  EXPECT_NE(log().find("refused connect \"tag\\nforged line\""), std::string::npos) << log();
  EXPECT_EQ(log().find("\nforged line"), std::string::npos) << log();
}

TEST_F(VkvdControlTest, ASecondHandleWaitsForTheFirstToClose) {
  auto first = std::make_unique<ControlClient>(interface_);
  ASSERT_EQ(first->request(wire::kControlCode, wire::subCommand(wire::kGetDriverGuid), 16).status, wire::kSuccess);
  ControlClient second(interface_);
  ASSERT_TRUE(second.connected());
  ASSERT_TRUE(second.post(wire::requestMessage(wire::kControlCode, wire::subCommand(wire::kGetDriverGuid), 16)));
  EXPECT_FALSE(second.receive(200).received) << "no answer while the first handle is open";
  first.reset();
  EXPECT_EQ(second.receive(60000).status, wire::kSuccess) << "served once the first handle closed";
}

TEST(VkvdWithoutPrivileges, ConnectFailsWithAClearReason) {
  TempDir dir;
  const fs::path runtimeDir = dir.path() / "run";
  fs::create_directory(runtimeDir);
  fs::permissions(runtimeDir, fs::perms::owner_all);
  int uid = -1;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(runtimeDir.c_str(), kUnprivilegedUid, kUnprivilegedUid), 0);
    uid = static_cast<int>(kUnprivilegedUid);
  }
  setenv("VKBVD_RUNTIME_DIR", runtimeDir.c_str(), 1);
  const fs::path log = runtimeDir / "vkvd.log";
  {
    VkvdProcess vkvd(runtimeDir, log, uid);
    const std::string interface = vkvd.waitForInterface();
    ASSERT_FALSE(interface.empty()) << readFileBytes(log);
    ControlClient client(interface);
    const Reply reply = client.request(wire::kControlCode,
                                       wire::connectRecord(wire::kConnect, u"first_tag", u"/x.img", 1 << 20, 512), 4);
    EXPECT_EQ(reply.status, wire::kAccessDenied);
    ASSERT_EQ(reply.output.size(), 4u);
    EXPECT_EQ(wire::get(reply.output, 0, 4), 0xFFFFFFFFu) << "dbg_status of a failed connect";
    EXPECT_EQ(vkvd.stop(), 0);
  }
  unsetenv("VKBVD_RUNTIME_DIR");
  EXPECT_NE(readFileBytes(log).find("making a disk needs root"), std::string::npos) << readFileBytes(log);
  EXPECT_TRUE(disk_checks::mountsUnder(runtimeDir).empty());
}

TEST(VkvdStart, ClearsWhatAnEarlierRunLeftAndServesAlone) {
  TempDir dir;
  const fs::path runtimeDir = dir.path() / "run";
  setenv("VKBVD_RUNTIME_DIR", runtimeDir.c_str(), 1);
  const fs::path identity = protocol::identityFile("loop7");
  const fs::path interfaceDir = protocol::interfaceClassDirectory(wire::kInterfaceClass);
  fs::create_directory(runtimeDir);
  fs::permissions(runtimeDir, fs::perms::owner_all);
  fs::create_directories(identity.parent_path());
  fs::create_directories(interfaceDir);
  std::ofstream(identity) << "vendor=VELKAR/A\n";
  {
    // A socket file nobody serves, as a run that ended without cleaning up leaves it.
    sys::posix::UniqueFd stale(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (interfaceDir / "vkvd0").c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  VkvdProcess first(runtimeDir, dir.path() / "first.log");
  const std::string interface = first.waitForInterface();
  ASSERT_FALSE(interface.empty()) << readFileBytes(dir.path() / "first.log");
  ControlClient client(interface);
  EXPECT_EQ(client.request(wire::kControlCode, wire::subCommand(wire::kGetDriverGuid), 16).status, wire::kSuccess);
  EXPECT_FALSE(fs::exists(identity)) << "a left-over identity would name another device as the service's disk";

  VkvdProcess second(runtimeDir, dir.path() / "second.log");
  EXPECT_EQ(second.exitCode(), 2) << "a second vkvd does not start";
  EXPECT_NE(readFileBytes(dir.path() / "second.log").find("another vkvd serves"), std::string::npos);
  EXPECT_EQ(first.stop(), 0);
  EXPECT_FALSE(fs::exists(interface));
  unsetenv("VKBVD_RUNTIME_DIR");
}
