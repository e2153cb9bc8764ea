// The port thread and the image under a client's identity, for real: an image
// that only one user may read is opened and served as that user, and cannot
// be opened as another; meanwhile the rest of the service keeps its own
// identity.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "common/Thread.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcDiskMessage.h"
#include "lpc/LpcThread.h"
#include "security/Impersonator.h"
#include "security/posix/ChildProcess.h"
#include "support/TempDir.h"
#include "sys/posix/PortClient.h"

using namespace std::chrono_literals;

namespace {

constexpr uid_t kOwner = 12345;
constexpr uid_t kStranger = 23456;

bool canOpen(const std::filesystem::path& path) { return std::ifstream(path, std::ios::binary).is_open(); }

class ImpersonatedPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "acting as other users needs root";
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    setenv("VKBVD_RUNTIME_DIR", (dir_.path() / "run").c_str(), 1);
    image_ = dir_.path() / "owner-only.img";
    std::ofstream(image_, std::ios::binary) << std::string(128 * 1024, 'o');
    ASSERT_EQ(chown(image_.c_str(), kOwner, kOwner), 0);
    ASSERT_EQ(chmod(image_.c_str(), 0400), 0);
    rootOnly_ = dir_.path() / "root-only.txt";
    std::ofstream(rootOnly_) << "root";
    ASSERT_EQ(chmod(rootOnly_.c_str(), 0400), 0);
    VirtualImageManager::init();
  }
  void TearDown() override {
    thread_.stop();
    VirtualImageManager::closeImage();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  // Opens the image the way a mount does: on a thread that impersonates the
  // user of process `pid` and reverts before it ends.
  int32_t openImageAs(const std::shared_ptr<Impersonator>& impersonator) {
    int32_t result = 1;
    bool sawOwnIdentityElsewhere = false;
    Thread mount;
    EXPECT_TRUE(mount.start([&] {
      impersonator->impersonateToUser();
      uint64_t size = 0;
      uint32_t block = 512;
      const std::u16string path = image_.u16string();
      result = VirtualImageManager::openImage(path.c_str(), u"", size, block, nullptr);
      impersonator->resetImpersonation();
    }));
    sawOwnIdentityElsewhere = canOpen(rootOnly_);  // this thread is still root meanwhile
    EXPECT_TRUE(mount.waitFor(10000ms));
    EXPECT_TRUE(sawOwnIdentityElsewhere);
    return result;
  }

  LpcDiskMessage readThroughThePort(uint64_t offset) {
    sys::posix::PortClient client(LpcDiskMessage::kPortName);
    EXPECT_TRUE(client.createView(2 * LpcDiskMessage::kWindowSize));
    LpcDiskMessage message;
    message.setOp(LpcDiskMessage::LPC_OP_READ);
    message.setOffset(offset);
    message.setLength(512);
    status_ = client.request(message.message(), 10000ms);
    if (status_ == 0) lastByte_ = client.view()[511];
    return message;
  }

  TempDir dir_;
  std::filesystem::path image_;
  std::filesystem::path rootOnly_;
  LpcThread thread_;
  int32_t status_ = -1;
  uint8_t lastByte_ = 0;
};

}  // namespace

TEST_F(ImpersonatedPortTest, TheOwnersImageIsServedAsTheOwner) {
  ChildProcess owner(ChildProcess::User{kOwner, kOwner, kOwner});
  ASSERT_TRUE(owner.running());
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(owner.pid())));
  ASSERT_EQ(openImageAs(impersonator), 0);
  thread_.restart(impersonator);
  impersonator.reset();  // the port thread keeps its own reference

  const LpcDiskMessage reply = readThroughThePort(34 * 512);
  ASSERT_EQ(status_, 0);
  EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_OK);
  EXPECT_EQ(reply.result(), 512u);
  EXPECT_EQ(lastByte_, 'o');
  EXPECT_TRUE(canOpen(rootOnly_)) << "the service's other threads keep their own identity";
}

TEST_F(ImpersonatedPortTest, AnotherUserCannotOpenIt) {
  ChildProcess stranger(ChildProcess::User{kStranger, kStranger, kStranger});
  ASSERT_TRUE(stranger.running());
  auto impersonator = std::make_shared<Impersonator>();
  ASSERT_TRUE(impersonator->logonAsProcess(static_cast<uint32_t>(stranger.pid())));
  EXPECT_EQ(openImageAs(impersonator), -5) << "the image file cannot be read";
  VirtualImageManager::closeImage();
  thread_.restart(impersonator);
  readThroughThePort(34 * 512);
  EXPECT_NE(status_, 0) << "no image is open: the driver's connection is refused";
  EXPECT_TRUE(canOpen(rootOnly_));
}
