// The Linux device backends against real sockets: interfaces published as
// sockets in the runtime directory, and control requests to a hand-made driver.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "common/Thread.h"
#include "common/WideString.h"
#include "common/WinError.h"
#include "support/TempDir.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/PosixDeviceInterfaces.h"
#include "sys/posix/PosixDeviceIo.h"
#include "sys/posix/UniqueFd.h"

using sys::posix::UniqueFd;
namespace protocol = sys::posix::device_protocol;
using namespace std::chrono_literals;

namespace {

const Guid kClass{0xAAA4747F, 0xF023, 0x430C, {0x80, 0xC1, 0x6D, 0xBD, 0xA4, 0xEC, 0x69, 0x9D}};

// A listening interface socket whose one connection is answered by `answer`.
class FakeDriverSocket {
 public:
  FakeDriverSocket(const std::string& path, std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> answer)
      : listener_(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)), answer_(std::move(answer)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    bound_ = bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
             listen(listener_.get(), 4) == 0;
    server_.start([this] {
      UniqueFd connection(accept(listener_.get(), nullptr, nullptr));
      std::vector<uint8_t> request(protocol::kMaxPayload + 64);
      for (;;) {
        const ssize_t size = recv(connection.get(), request.data(), request.size(), 0);
        if (size <= 0) return;
        const std::vector<uint8_t> reply = answer_(std::vector<uint8_t>(request.begin(), request.begin() + size));
        if (!reply.empty()) send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    });
  }
  ~FakeDriverSocket() {
    shutdown(listener_.get(), SHUT_RDWR);
    server_.waitFor(5000ms);
  }
  bool bound() const { return bound_; }

 private:
  UniqueFd listener_;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)> answer_;
  bool bound_ = false;
  Thread server_;
};

std::vector<uint8_t> reply(uint32_t magic, uint32_t status, uint32_t claimed, const std::vector<uint8_t>& output) {
  const protocol::ControlReplyHeader header{magic, status, claimed, 0};
  std::vector<uint8_t> bytes(sizeof(header) + output.size());
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::copy(output.begin(), output.end(), bytes.begin() + sizeof(header));
  return bytes;
}

class PosixDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all);
    setenv("VKBVD_RUNTIME_DIR", dir_.path().c_str(), 1);
    classDir_ = protocol::interfaceClassDirectory(kClass);
    std::filesystem::create_directories(classDir_);
  }
  void TearDown() override { unsetenv("VKBVD_RUNTIME_DIR"); }

  TempDir dir_;
  std::string classDir_;
};

}  // namespace

TEST_F(PosixDevicesTest, PublishedSocketsAreTheClassesInterfaces) {
  FakeDriverSocket b(classDir_ + "/vkvd1", [](const auto&) { return std::vector<uint8_t>{}; });
  FakeDriverSocket a(classDir_ + "/vkvd0", [](const auto&) { return std::vector<uint8_t>{}; });
  ASSERT_TRUE(a.bound() && b.bound());
  std::ofstream(classDir_ + "/not-a-socket") << "x";

  sys::posix::PosixDeviceInterfaces interfaces;
  uint32_t error = 0;
  const auto set = interfaces.getClassDevs(kClass, error);
  ASSERT_NE(set, sys::DeviceInterfaces::kInvalidSet);
  std::vector<std::string> paths;
  for (uint32_t index = 0;; ++index) {
    sys::DeviceInterfaces::InterfaceData data;
    if (!interfaces.enumDeviceInterfaces(set, kClass, index, data, error)) break;
    uint8_t detail[1024] = {};
    sys::DeviceInterfaces::DeviceRecord device;
    ASSERT_TRUE(interfaces.getDeviceInterfaceDetail(set, data, detail, 1018, device, error));
    std::string path;
    for (size_t i = 4; detail[i] || detail[i + 1]; i += 2) path.push_back(static_cast<char>(detail[i]));
    paths.push_back(path);
    uint8_t tooSmall[16];
    EXPECT_FALSE(interfaces.getDeviceInterfaceDetail(set, data, tooSmall, sizeof(tooSmall), device, error));
    EXPECT_EQ(error, WinError::InsufficientBuffer);
  }
  EXPECT_EQ(error, sys::DeviceInterfaces::ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(paths, (std::vector<std::string>{classDir_ + "/vkvd0", classDir_ + "/vkvd1"}));
  interfaces.destroyDeviceInfoList(set);
  sys::DeviceInterfaces::InterfaceData data;
  EXPECT_FALSE(interfaces.enumDeviceInterfaces(set, kClass, 0, data, error));
  EXPECT_EQ(error, WinError::InvalidHandle);
}

// An interface in a runtime directory that another user made, or could
// reach, may be anyone's: none is taken for the driver's.
TEST_F(PosixDevicesTest, ARuntimeDirectoryOthersCouldReachIsRefused) {
  FakeDriverSocket planted(classDir_ + "/vkvd0", [](const auto&) { return std::vector<uint8_t>{}; });
  ASSERT_TRUE(planted.bound());
  struct Case {
    const char* name;
    bool needsRoot;
    uid_t owner;
    std::filesystem::perms mode;
  };
  const Case cases[] = {
      {"open to all", false, geteuid(), std::filesystem::perms(0755)},
      {"made by another user", true, 12345, std::filesystem::perms::owner_all},
  };
  sys::posix::PosixDeviceInterfaces interfaces;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    std::filesystem::permissions(dir_.path(), c.mode);
    ASSERT_EQ(chown(dir_.path().c_str(), c.owner, c.owner), 0);
    uint32_t error = 0;
    const auto set = interfaces.getClassDevs(kClass, error);
    EXPECT_EQ(set, sys::DeviceInterfaces::kInvalidSet);
    EXPECT_EQ(error, WinError::AccessDenied);
    if (set != sys::DeviceInterfaces::kInvalidSet) interfaces.destroyDeviceInfoList(set);
    ASSERT_EQ(chown(dir_.path().c_str(), geteuid(), getegid()), 0);
  }
}

TEST_F(PosixDevicesTest, ControlRequestsAndTheirAnswers) {
  const std::string path = classDir_ + "/vkvd0";
  std::vector<uint8_t> lastRequest;
  std::vector<uint8_t> nextReply;
  FakeDriverSocket driver(path, [&](const std::vector<uint8_t>& request) {
    lastRequest = request;
    return nextReply;
  });
  ASSERT_TRUE(driver.bound());
  sys::posix::PosixDeviceIo io;
  uint32_t error = 0;
  const auto device = io.open(wide::fromUtf8(path), error);
  ASSERT_NE(device, sys::DeviceIo::kInvalidHandle);

  struct Case {
    const char* name;
    std::vector<uint8_t> answer;
    bool succeeds;
    uint32_t error;
  };
  const std::vector<uint8_t> guid(16, 0xAB);
  const Case cases[] = {
      {"a good answer", reply(protocol::kReplyMagic, 0, 16, guid), true, 0},
      {"a failed request", reply(protocol::kReplyMagic, 170, 0, {}), false, 170},
      {"a wrong magic", reply(0x12345678, 0, 16, guid), false, WinError::InvalidData},
      {"more bytes claimed than sent", reply(protocol::kReplyMagic, 0, 32, guid), false, WinError::InvalidData},
      {"more bytes than fit", reply(protocol::kReplyMagic, 0, 20, std::vector<uint8_t>(20, 1)), false,
       WinError::InvalidData},
      {"a truncated header", {1, 2, 3}, false, WinError::GenFailure},
  };
  for (const auto& c : cases) {
    nextReply = c.answer;
    uint8_t input[4] = {0x38, 0xF0, 0x7F, 0xF7};
    uint8_t output[16] = {};
    uint32_t returned = 99;
    EXPECT_EQ(io.control(device, 0x4D038, input, sizeof(input), output, sizeof(output), returned, error), c.succeeds)
        << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (c.succeeds) {
      EXPECT_EQ(returned, 16u);
      EXPECT_EQ(output[15], 0xAB);
    }
  }
  ASSERT_EQ(lastRequest.size(), 16u + 4u);
  protocol::ControlRequestHeader header{};
  std::memcpy(&header, lastRequest.data(), sizeof(header));
  EXPECT_EQ(header.magic, protocol::kRequestMagic);
  EXPECT_EQ(header.controlCode, 0x4D038u);
  EXPECT_EQ(header.inputSize, 4u);
  EXPECT_EQ(header.outputSize, 16u);
  io.close(device);
  uint32_t returned = 0;
  EXPECT_FALSE(io.control(device, 0x4D038, nullptr, 0, nullptr, 0, returned, error));
  EXPECT_EQ(error, WinError::InvalidHandle);
}

TEST_F(PosixDevicesTest, CancelEndsARequestTheDriverNeverAnswers) {
  const std::string path = classDir_ + "/silent";
  FakeDriverSocket driver(path, [](const auto&) { return std::vector<uint8_t>{}; });
  sys::posix::PosixDeviceIo io;
  uint32_t error = 0;
  const auto device = io.open(wide::fromUtf8(path), error);
  ASSERT_NE(device, sys::DeviceIo::kInvalidHandle);
  bool done = true;
  uint32_t requestError = 0;
  Thread requester;
  ASSERT_TRUE(requester.start([&] {
    uint8_t input[4] = {};
    uint32_t returned = 0;
    done = io.control(device, 0x4D038, input, sizeof(input), nullptr, 0, returned, requestError);
  }));
  EXPECT_FALSE(requester.waitFor(200ms));
  io.cancel(device);
  ASSERT_TRUE(requester.waitFor(5000ms));
  EXPECT_FALSE(done);
  EXPECT_EQ(requestError, WinError::OperationAborted);
  io.close(device);
}

TEST_F(PosixDevicesTest, OpeningAMissingInterfaceFails) {
  sys::posix::PosixDeviceIo io;
  uint32_t error = 0;
  EXPECT_EQ(io.open(wide::fromUtf8(classDir_ + "/gone"), error), sys::DeviceIo::kInvalidHandle);
  EXPECT_EQ(error, WinError::FileNotFound);
}

TEST_F(PosixDevicesTest, OpeningADriverThatTakesNoConnectionsIsBounded) {
  // A driver that never accepts: once its listen queue is full, a blocking
  // connect would wait for ever.
  const std::string path = classDir_ + "/full";
  UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  std::vector<UniqueFd> queued;
  for (;;) {
    UniqueFd filler(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) break;
    queued.push_back(std::move(filler));
    ASSERT_LT(queued.size(), 64u);
  }

  sys::posix::PosixDeviceIo io(100ms);
  uint32_t error = 0;
  sys::DeviceIo::Handle device = 0;
  Thread opener;
  ASSERT_TRUE(opener.start([&] { device = io.open(wide::fromUtf8(path), error); }));
  ASSERT_TRUE(opener.waitFor(10000ms));
  EXPECT_EQ(device, sys::DeviceIo::kInvalidHandle);
  EXPECT_EQ(error, WinError::Timeout);
}
