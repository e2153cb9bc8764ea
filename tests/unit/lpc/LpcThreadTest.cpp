#include "lpc/LpcThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "common/Event.h"
#include "fakes/FakeDiskImage.h"
#include "fakes/FakePorts.h"
#include "fakes/FakeTokens.h"
#include "lpc/LpcServer.h"
#include "security/Impersonator.h"
#include "service/DebugLog.h"
#include "support/TempDir.h"
#include "sys/ScopedFake.h"

using namespace std::chrono_literals;

namespace {

const std::string kEnd = VK_TEXT_LINE_END;

class LpcThreadTest : public ::testing::Test {
 protected:
  LpcThreadTest() : portsFake_(ports_), factory_(&image_) {
    image_.data.resize(65536);
    view_.assign(2 * LpcDiskMessage::kWindowSize, 0);
    logPath_ = dir_.file(u"lpc.log");
    openDebugLog(logPath_.c_str());
  }
  ~LpcThreadTest() override { closeDebugLog(); }

  std::string log() { return readFileBytes(std::filesystem::path(logPath_)); }
  bool logged(const std::string& line) { return log().find(line + kEnd) != std::string::npos; }

  void openImage() {
    uint64_t size = 0;
    uint32_t block = 512;
    ASSERT_EQ(VirtualImageManager::openImage(u"vol.img", u"", size, block, nullptr), 0);
  }

  TempDir dir_;
  std::u16string logPath_;
  FakePorts ports_;
  sys::ScopedFake<sys::Ports> portsFake_;
  FakeDiskImage image_;
  ScopedFakeImageFactory factory_;
  std::vector<uint8_t> view_;
};

// An image whose reads wait until the test lets them go: a provider call that
// outlasts every stop stage.
class StuckImage : public FakeDiskImage {
 public:
  std::shared_ptr<Event> release = std::make_shared<Event>(Event::Reset::Manual);
  Event entered{Event::Reset::Manual};
  uint32_t read(void* destination, uint64_t offset, uint32_t count) override {
    entered.set();
    release->wait(30000ms);
    return FakeDiskImage::read(destination, offset, count);
  }
};

}  // namespace

TEST_F(LpcThreadTest, StartsOnceAndServesOneRequestPerConnection) {
  openImage();
  {
    LpcThread thread;
    EXPECT_EQ(LpcThread::instance(), &thread);
    ASSERT_TRUE(thread.start(nullptr));
    EXPECT_TRUE(thread.start(nullptr)) << "a thread is already there";
    EXPECT_EQ(ports_.createdNames.size(), 1u);

    ports_.connect({&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512)});
    ports_.connect({&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 512, 512)});
    ASSERT_TRUE(ports_.waitForReplies(2));
    EXPECT_EQ(ports_.replies[0].result(), 512u);
    EXPECT_EQ(ports_.replies[1].result(), 512u);
    thread.stop();
  }
  EXPECT_EQ(LpcThread::instance(), nullptr);
  EXPECT_TRUE(logged("LpcThread::onBeforeRun port_name=\\BaseNamedObjects\\vkvdport32"));
  EXPECT_TRUE(logged("LpcThread::onStart running OK"));
  // The thread is back in its listen (ended by closing the port) or just
  // between two connections (ended by the flag).
  EXPECT_TRUE(logged("LpcThread::stop force shutdown OK") || logged("LpcThread::stop isRunning==false OK"));
  EXPECT_TRUE(logged("LpcThread::run exiting"));
}

TEST_F(LpcThreadTest, StopOfAThreadWaitingForAConnection) {
  LpcThread thread;
  ASSERT_TRUE(thread.start(nullptr));
  ASSERT_TRUE(ports_.waitForListens(1));
  thread.stop();
  EXPECT_TRUE(logged("LpcThread::run server closed msg=LpcServer::lpc_listen fail NtListenPort"));
  EXPECT_TRUE(logged("LpcThread::stop force shutdown OK"));
}

TEST_F(LpcThreadTest, StopWithoutAThreadDoesNothing) {
  LpcThread thread;
  const std::string before = log();
  thread.stop();
  LpcThread::stopLpcThread();
  EXPECT_EQ(log(), before);
}

TEST_F(LpcThreadTest, AStartAfterTheThreadEndedStartsANewOne) {
  LpcThread thread;
  // The port goes away at once, and each thread ends as soon as it runs
  // (whether its start still saw it running is a matter of timing).
  ports_.listenStatus = NtStatus::PortDisconnected;
  thread.start(nullptr);
  for (int i = 0; i < 1000 && !logged("LpcThread::run exiting"); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(logged("LpcThread::run exiting"));

  thread.start(nullptr);
  EXPECT_EQ(ports_.createdNames.size(), 2u) << "nothing served: a new thread made the port again";
  thread.stop();
}

TEST_F(LpcThreadTest, RestartWhenThePortNameIsTaken) {
  LpcThread thread;
  ports_.createStatus = NtStatus::ObjectNameCollision;
  thread.restart(nullptr);
  EXPECT_TRUE(logged("LpcThread::onBeforeRun Error:LpcServer::create NtCreatePort fail"));
  EXPECT_TRUE(logged("LpcThread::onStart onBeforeRun failed"));
  EXPECT_TRUE(logged("LpcThread::start thread is not running"));
  EXPECT_TRUE(logged("LpcThread::restart failed to start thred"));

  const std::string before = log();
  thread.stop();
  EXPECT_EQ(log(), before) << "no thread was left behind";

  ports_.createStatus = NtStatus::Success;
  thread.restart(nullptr);
  EXPECT_EQ(ports_.createdNames.size(), 2u) << "a later restart tries again";
  EXPECT_TRUE(logged("LpcThread::onStart running OK"));
}

TEST_F(LpcThreadTest, ConnectionsWithoutAnImageAreRefusedAndServingGoesOn) {
  LpcThread thread;
  ASSERT_TRUE(thread.start(nullptr));
  ports_.connect({&view_});
  ASSERT_TRUE(ports_.waitForAcceptDecisions(1));
  openImage();
  ports_.connect({&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512)});
  ASSERT_TRUE(ports_.waitForReplies(1));
  thread.stop();
  EXPECT_TRUE(logged("LpcThread::run server status msg=LpcServer::lpc_listen fail NtCompleteConnectPort"));
  EXPECT_EQ(ports_.replies[0].status(), LpcDiskMessage::LPC_STATUS_OK);
}

TEST_F(LpcThreadTest, ADriverThatNeverSendsIsCutOffByStop) {
  openImage();
  LpcThread thread;
  ASSERT_TRUE(thread.start(nullptr));
  FakePorts::Connection silent{&view_};
  silent.neverSends = true;
  ports_.connect(silent);
  ASSERT_TRUE(ports_.waitForAcceptDecisions(1));
  thread.stop();
  EXPECT_TRUE(logged("LpcThread::stop force shutdown OK"));
  EXPECT_TRUE(logged("LpcThread::run handle_request fail=LpcServer::handle_request fail NtReplyWaitReceivePort"));
}

// A request stuck in the provider outlasts both stop stages: the thread is
// left to end by itself, a new thread serves with a new port meanwhile, and
// the stuck one finishes cleanly once its read returns.
TEST_F(LpcThreadTest, AThreadStuckInARequestIsLeftBehindNotKilled) {
  StuckImage stuck;
  stuck.data.resize(65536);
  ScopedFakeImageFactory stuckFactory(&stuck);
  openImage();
  std::shared_ptr<Event> release = stuck.release;
  LpcThread thread;
  ASSERT_TRUE(thread.start(nullptr));
  ports_.connect({&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 34 * 512, 512)});
  ASSERT_TRUE(stuck.entered.wait(10000ms));
  thread.stop();
  EXPECT_TRUE(logged("LpcThread::stop brutal TerminateThread"));

  ASSERT_TRUE(thread.start(nullptr)) << "a new thread starts while the old one is stuck";
  EXPECT_EQ(ports_.createdNames.size(), 2u);
  release->set();
  ASSERT_TRUE(ports_.waitForReplies(1)) << "the stuck request still gets its reply";
  thread.stop();
  VirtualImageManager::closeImage();
}

// Handed an Impersonator, the thread serves as its user or not at all: the
// thread that served as the service is gone, and no other takes its place.
TEST_F(LpcThreadTest, ServesAsTheImpersonatedUserOrNotAtAll) {
  struct Case {
    const char* name;
    bool loggedOn;
    uint32_t impersonateError;
    bool serves;
    std::string line;
  };
  const Case cases[] = {
      {"impersonated", true, 0, true, ""},
      {"no logged user", false, 0, false, "Impersonator::impersonateToUser no logged user"},
      {"impersonation refused", true, 0x522, false,
       "Impersonator::impersonateToUser ImpersonateLoggedOnUser err=0x522"},
  };
  openImage();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t logStart = log().size();
    FakeTokens tokens;
    tokens.impersonateError = c.impersonateError;
    const sys::ScopedFake<sys::Tokens> tokensFake(tokens);
    FakePorts ports;
    const sys::ScopedFake<sys::Ports> portsFake(ports);
    ASSERT_EQ(tokens.currentThreadId(), 1u);  // the port thread becomes thread 2
    LpcThread thread;
    ASSERT_TRUE(thread.start(nullptr));

    auto impersonator = std::make_shared<Impersonator>();
    if (c.loggedOn) {
      ASSERT_TRUE(impersonator->logonAsProcess(4242));
    }
    EXPECT_EQ(thread.restart(impersonator), c.serves);
    impersonator.reset();  // the thread keeps its own reference
    const std::string logged = log().substr(logStart);
    EXPECT_NE(logged.find("LpcThread::onStart try to impersonate thread" + kEnd), std::string::npos);
    EXPECT_EQ(logged.find("LpcThread::onStart impersonation failed" + kEnd) == std::string::npos, c.serves);
    if (c.serves) {
      EXPECT_EQ(tokens.actingAs(2), 2u) << "the thread acts as the token's user";
      ports.connect({&view_, diskRequest(LpcDiskMessage::LPC_OP_READ, 0, 512)});
      ASSERT_TRUE(ports.waitForReplies(1));
      EXPECT_EQ(ports.replies[0].result(), 512u);
    } else {
      EXPECT_NE(logged.find(c.line + kEnd), std::string::npos);
      EXPECT_NE(logged.find("LpcThread::restart failed to start thred" + kEnd), std::string::npos);
      EXPECT_EQ(ports.createdNames.size(), 1u) << "only the thread that served as the service made a port";
      const std::string before = log();
      thread.stop();
      EXPECT_EQ(log(), before) << "no thread is left";
    }
  }
}

TEST_F(LpcThreadTest, ConcurrentStartsStopsAndRestartsStayConsistent) {
  LpcThread thread;
  std::vector<std::unique_ptr<Thread>> callers;
  for (int i = 0; i < 6; ++i) {
    callers.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(callers.back()->start([&thread, i] {
      for (int round = 0; round < 3; ++round) {
        if (i % 3 == 0) thread.start(nullptr);
        if (i % 3 == 1) thread.restart(nullptr);
        if (i % 3 == 2) thread.stop();
      }
    }));
  }
  for (auto& caller : callers) ASSERT_TRUE(caller->waitFor(120000ms));
  thread.stop();
  const std::string before = log();
  thread.stop();
  EXPECT_EQ(log(), before) << "one stop ended the only thread";
}
