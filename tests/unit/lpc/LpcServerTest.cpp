#include "lpc/LpcServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/WideString.h"
#include "device/TimerTask.h"
#include "fakes/FakeDiskImage.h"
#include "fakes/FakePorts.h"
#include "sys/ScopedFake.h"

namespace {

constexpr uint32_t kWindow = LpcDiskMessage::kWindowSize;

// A server on fake ports over a fake 1 MiB image.
class LpcServerTest : public ::testing::Test {
 protected:
  LpcServerTest() : portsFake_(ports_), factory_(&image_) {
    image_.data.resize(1048576);
    for (size_t i = 0; i < image_.data.size(); ++i) image_.data[i] = static_cast<uint8_t>(i % 251);
    view_.assign(2 * kWindow, 0xEE);
  }

  void openImage() {
    uint64_t size = 0;
    uint32_t block = 512;
    ASSERT_EQ(VirtualImageManager::openImage(u"vol.img", u"", size, block, nullptr), 0);
    diskSize_ = size;
  }

  // One connection with one request; the reply the server sent.
  LpcDiskMessage serve(const LpcDiskMessage& request, std::vector<uint8_t>* view) {
    FakePorts::Connection connection;
    connection.view = view;
    connection.request = request;
    ports_.connect(connection);
    EXPECT_EQ(server_.lpc_listen(), LpcServer::Connected) << wide::toUtf8(server_.lastError());
    EXPECT_TRUE(server_.handle_request());
    server_.closeCommPort();
    return ports_.replies.back();
  }
  LpcDiskMessage serve(const LpcDiskMessage& request) { return serve(request, &view_); }

  FakePorts ports_;
  sys::ScopedFake<sys::Ports> portsFake_;
  FakeDiskImage image_;
  ScopedFakeImageFactory factory_;
  LpcServer server_;
  std::vector<uint8_t> view_;
  uint64_t diskSize_ = 0;
};

}  // namespace

TEST_F(LpcServerTest, CreatesTheNamedPortOnce) {
  ASSERT_TRUE(server_.create());
  EXPECT_TRUE(server_.lastError().empty());
  EXPECT_EQ(ports_.createdNames.back(), u"\\BaseNamedObjects\\vkvdport32");
  EXPECT_EQ(ports_.maxMessageLengths.back(), 58u);
  EXPECT_FALSE(server_.create());
  EXPECT_EQ(server_.lastError(), u"LpcServer::create already created");
  server_.closePort();
  EXPECT_TRUE(server_.create()) << "a closed port can be made anew";
}

TEST_F(LpcServerTest, CreateAndListenFailures) {
  ports_.createStatus = NtStatus::ObjectNameCollision;
  EXPECT_FALSE(server_.create());
  EXPECT_EQ(server_.lastError(), u"LpcServer::create NtCreatePort fail");
  EXPECT_EQ(server_.lpc_listen(), LpcServer::PortGone);
  EXPECT_EQ(server_.lastError(), u"LpcServer::lpc_listen fail port_handle is NULL");

  ports_.createStatus = NtStatus::Success;
  ASSERT_TRUE(server_.create());
  ports_.listenStatus = NtStatus::PortDisconnected;
  EXPECT_EQ(server_.lpc_listen(), LpcServer::PortGone);
  EXPECT_EQ(server_.lastError(), u"LpcServer::lpc_listen fail NtListenPort");
}

TEST_F(LpcServerTest, RefusesConnectionsWhileNoImageIsOpen) {
  ASSERT_TRUE(server_.create());
  TimerTask::clearLpcConnectPending();
  ports_.connect({&view_});
  EXPECT_EQ(server_.lpc_listen(), LpcServer::ConnectionFailed);
  EXPECT_EQ(server_.lastError(), u"LpcServer::lpc_listen fail NtCompleteConnectPort");
  EXPECT_EQ(ports_.acceptDecisions, std::vector<bool>{false});
  EXPECT_EQ(TimerTask::lpcConnectPending(), 1u) << "left for the watchdog's check";
  TimerTask::clearLpcConnectPending();
}

TEST_F(LpcServerTest, AcceptFailureWhileAccepting) {
  openImage();
  ASSERT_TRUE(server_.create());
  FakePorts::Connection connection{&view_};
  connection.acceptStatus = NtStatus::NoMemory;
  ports_.connect(connection);
  EXPECT_EQ(server_.lpc_listen(), LpcServer::ConnectionFailed);
  EXPECT_EQ(server_.lastError(), u"LpcServer::lpc_listen fail NtAcceptConnectPort");
}

TEST_F(LpcServerTest, ReadsSectorZero) {
  openImage();
  ASSERT_TRUE(server_.create());
  TimerTask::setLpcConnectPending();
  const LpcDiskMessage reply = serve(diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512));
  EXPECT_EQ(TimerTask::lpcConnectPending(), 0u);
  EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_OK);
  EXPECT_EQ(reply.result(), 512u);
  EXPECT_EQ(reply.message().bytes[42], 0x77);
  EXPECT_EQ(view_[510], 0x55);
  EXPECT_EQ(view_[511], 0xAA);
  EXPECT_EQ(view_[512], 0xEE) << "nothing past the request is touched";
}

TEST_F(LpcServerTest, ReadBeyondTheEndFails) {
  openImage();
  ASSERT_TRUE(server_.create());
  const LpcDiskMessage reply = serve(diskRequest(LpcDiskMessage::LPC_OP_READ, diskSize_, 512));
  EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_FAILED);
  EXPECT_EQ(reply.result(), 0u);
}

TEST_F(LpcServerTest, WriteIsReadBack) {
  openImage();
  ASSERT_TRUE(server_.create());
  const uint64_t offset = 34 * 512 + 4096;
  std::memset(view_.data() + kWindow, 0x3C, 1024);
  LpcDiskMessage reply = serve(diskRequest(LpcDiskMessage::LPC_OP_WRITE, offset, 1024));
  EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_OK);
  EXPECT_EQ(reply.result(), 1024u);
  reply = serve(diskRequest(LpcDiskMessage::LPC_OP_READ, offset, 1024));
  EXPECT_EQ(reply.result(), 1024u);
  EXPECT_EQ(std::vector<uint8_t>(view_.begin(), view_.begin() + 1024), std::vector<uint8_t>(1024, 0x3C));
}

TEST_F(LpcServerTest, UnknownOpIsAnsweredUnchanged) {
  openImage();
  ASSERT_TRUE(server_.create());
  LpcDiskMessage request = diskRequest(5, 0, 512);
  request.setStatus(9);
  const LpcDiskMessage reply = serve(request);
  EXPECT_EQ(reply.message().bytes, request.message().bytes);
  EXPECT_EQ(image_.count("read"), 0u);
}

TEST_F(LpcServerTest, NoImageStatusWhenTheImageWentAway) {
  openImage();
  ASSERT_TRUE(server_.create());
  FakePorts::Connection connection{&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512)};
  ports_.connect(connection);
  ASSERT_EQ(server_.lpc_listen(), LpcServer::Connected);
  VirtualImageManager::closeImage();
  ASSERT_TRUE(server_.handle_request());
  EXPECT_EQ(ports_.replies.back().status(), LpcDiskMessage::LPC_STATUS_NO_IMAGE);
  EXPECT_EQ(ports_.replies.back().result(), 0u);
}

// Requests that do not fit the driver's view move nothing and fail, however
// the rest of the request looks; nothing outside the view is touched.
TEST_F(LpcServerTest, RequestsThatDoNotFitTheViewFail) {
  openImage();
  ASSERT_TRUE(server_.create());
  std::vector<uint8_t> small(4096, 0xEE);
  std::vector<uint8_t> oneWindow(kWindow, 0xEE);
  struct Case {
    const char* name;
    LpcDiskMessage request;
    std::vector<uint8_t>* view;
  };
  const Case cases[] = {
      {"read longer than the read window", diskRequest(LpcDiskMessage::LPC_OP_READ, 0, kWindow + 512), &view_},
      {"read longer than the view", diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 8192), &small},
      {"write in a view without a write window", diskRequest(LpcDiskMessage::LPC_OP_WRITE, 0, 512), &oneWindow},
      {"write past the view's end", diskRequest(LpcDiskMessage::LPC_OP_WRITE, 0, kWindow + 512), &view_},
      {"no view at all", diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512), nullptr},
  };
  for (const auto& c : cases) {
    image_.calls.clear();
    const LpcDiskMessage reply = serve(c.request, c.view);
    EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_FAILED) << c.name;
    EXPECT_EQ(reply.result(), 0u) << c.name;
    EXPECT_TRUE(image_.calls.empty()) << c.name;
  }
  EXPECT_EQ(small, std::vector<uint8_t>(4096, 0xEE));
  const LpcDiskMessage ok = serve(diskRequest(LpcDiskMessage::LPC_OP_WRITE, 0, kWindow), &view_);
  EXPECT_EQ(ok.result(), kWindow) << "a write that exactly fills the view is served";
}

TEST_F(LpcServerTest, AFailedReceiveStillGetsAReply) {
  openImage();
  ASSERT_TRUE(server_.create());
  FakePorts::Connection connection{&view_};
  connection.receiveStatus = NtStatus::InvalidParameter;  // a message of the wrong size
  ports_.connect(connection);
  ASSERT_EQ(server_.lpc_listen(), LpcServer::Connected);
  EXPECT_FALSE(server_.handle_request());
  EXPECT_EQ(server_.lastError(), u"LpcServer::handle_request fail NtReplyWaitReceivePort");
  ASSERT_EQ(ports_.replies.size(), 1u);
  EXPECT_EQ(ports_.replies.back().status(), LpcDiskMessage::LPC_STATUS_FAILED);
  EXPECT_EQ(ports_.replies.back().result(), 0u);
}

TEST_F(LpcServerTest, AReplyThatCannotBeSentIsAFailure) {
  openImage();
  ASSERT_TRUE(server_.create());
  FakePorts::Connection connection{&view_};
  connection.request = diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512);
  connection.replyStatus = NtStatus::PortDisconnected;  // the driver went away meanwhile
  ports_.connect(connection);
  ASSERT_EQ(server_.lpc_listen(), LpcServer::Connected);
  EXPECT_FALSE(server_.handle_request());
  EXPECT_EQ(server_.lastError(), u"LpcServer::handle_request fail NtReplyPort");
}
