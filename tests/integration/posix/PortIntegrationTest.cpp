// The sector port for real: Unix sockets, a shared memfd view, a real image,
// the port thread, and the driver's side in another process (vkbvd-port).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "disk/VirtualImageManager.h"
#include "lpc/LpcDiskMessage.h"
#include "lpc/LpcServer.h"
#include "lpc/LpcThread.h"
#include "support/ExecAs.h"
#include "support/TempDir.h"
#include "sys/posix/PortClient.h"
#include "sys/posix/PortProtocol.h"
#include "sys/posix/UniqueFd.h"

using sys::posix::UniqueFd;
namespace protocol = sys::posix::port_protocol;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kOtherUid = 12345;

struct ToolRun {
  int exitCode = -1;
  std::string output;
};

// Runs vkbvd-port in a process of its own (as `uid` when given) and collects
// its output; a run that outlasts its bound is killed and reported as failed.
ToolRun runTool(const std::vector<std::string>& arguments, int uid = -1) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  std::vector<char*> argv;
  std::string tool = VKBVD_PORT_TOOL;
  argv.push_back(tool.data());
  std::vector<std::string> copies(arguments);
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(writeEnd.get(), STDOUT_FILENO);
    execAs(argv.data(), uid);
  }
  writeEnd.reset();
  ToolRun run;
  char buffer[512];
  pollfd entry{readEnd.get(), POLLIN, 0};
  while (poll(&entry, 1, 30000) > 0) {
    const ssize_t got = read(readEnd.get(), buffer, sizeof(buffer));
    if (got <= 0) break;
    run.output.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
    if (waited == 3000) kill(child, SIGKILL);
    std::this_thread::sleep_for(10ms);
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class PortIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtimeDir_ = dir_.path() / "run";
    setenv("VKBVD_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    image_.resize(256 * 1024);
    for (size_t i = 0; i < image_.size(); ++i) image_[i] = static_cast<uint8_t>(i * 7 + 3);
    std::ofstream(dir_.path() / "volume.img", std::ios::binary)
        .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    VirtualImageManager::init();
    const std::u16string path = dir_.file(u"volume.img");
    uint32_t block = 512;
    ASSERT_EQ(VirtualImageManager::openImage(path.c_str(), u"", diskSize_, block, nullptr), 0);
    ASSERT_TRUE(thread_.start(nullptr));
  }
  void TearDown() override {
    thread_.stop();
    VirtualImageManager::closeImage();
    unsetenv("VKBVD_RUNTIME_DIR");
  }

  std::string socketPath() const { return sys::posix::port_protocol::socketPath(LpcDiskMessage::kPortName); }

  TempDir dir_;
  std::filesystem::path runtimeDir_;
  std::vector<uint8_t> image_;
  uint64_t diskSize_ = 0;
  LpcThread thread_;
};

// A hand-made client for what the driver library never sends.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    connected_ = connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }

  bool connected() const { return connected_; }

  static constexpr size_t kMostPassed = 3;

  // Sends a connection request of `size` bytes with a view of `viewSize`
  // bytes in a memfd of `memfdSize` bytes (the view's when 0), sealed against
  // shrinking when `sealed`, passed `passed` times.
  bool handOver(size_t size, uint32_t viewSize, bool sealed, size_t passed = 1, size_t memfdSize = 0) {
    if (passed == 0 || passed > kMostPassed) return false;
    view_ = UniqueFd(memfd_create("test-view", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (ftruncate(view_.get(), static_cast<off_t>(memfdSize ? memfdSize : viewSize)) != 0) return false;
    if (sealed && fcntl(view_.get(), F_ADD_SEALS, F_SEAL_SHRINK) != 0) return false;
    std::vector<uint8_t> request(size, 0);
    if (size >= 24) std::memcpy(request.data() + 20, &viewSize, 4);
    if (size >= 6) std::memcpy(request.data() + 4, &type_, 2);
    viewSize_ = viewSize;
    iovec data{request.data(), request.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(kMostPassed * sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(passed * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(passed * sizeof(int));
    const int fd = view_.get();
    for (size_t i = 0; i < passed; ++i) std::memcpy(CMSG_DATA(c) + i * sizeof(int), &fd, sizeof(fd));
    return sendmsg(fd_.get(), &header, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }

  // Opens a channel: a connection request of the channel's kind with a view
  // of `viewSize` bytes (sealed against shrinking when `sealed`), in a memfd
  // with room for the mailbox after it unless `withoutMailbox`.
  bool openChannel(uint32_t viewSize, bool sealed, bool withoutMailbox = false) {
    type_ = protocol::kChannelType;
    const size_t memfdSize = withoutMailbox ? viewSize : protocol::mailboxOffset(viewSize) + protocol::kMailboxSize;
    if (!handOver(50, viewSize, sealed, 1, memfdSize)) return false;
    void* base = mmap(nullptr, memfdSize, PROT_READ | PROT_WRITE, MAP_SHARED, view_.get(), 0);
    if (base == MAP_FAILED) return false;
    mapping_.reset(static_cast<uint8_t*>(base), [memfdSize](uint8_t* p) { munmap(p, memfdSize); });
    return true;
  }
  // The channel's first read, on its socket; the reply's size (0: the
  // channel ended), and the reply. Takes the bells the reply brings.
  ssize_t channelRead(uint64_t offset, uint32_t length, LpcDiskMessage& reply) {
    LpcDiskMessage request = readRequest(offset, length);
    if (!send(request.message().bytes.data(), 50)) return -1;
    pollfd entry{fd_.get(), POLLIN, 0};
    if (poll(&entry, 1, 15000) <= 0) return -1;
    iovec data{reply.message().bytes.data(), 50};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    const ssize_t size = recvmsg(fd_.get(), &header, MSG_CMSG_CLOEXEC);
    const cmsghdr* c = CMSG_FIRSTHDR(&header);
    if (size > 0 && c && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(2 * sizeof(int))) {
      int bells[2];
      std::memcpy(bells, CMSG_DATA(c), sizeof(bells));
      requestBell_ = UniqueFd(bells[0]);
      replyBell_ = UniqueFd(bells[1]);
    }
    return size;
  }
  bool hasBells() const { return requestBell_.valid() && replyBell_.valid(); }

  // A later connection: `request` into the mailbox, the request bell rung `rings` times.
  bool post(const LpcDiskMessage& request, uint64_t rings = 1) {
    uint8_t* mailbox = mapping_.get() + protocol::mailboxOffset(viewSize_);
    std::memcpy(mailbox + protocol::kMailboxRequest, request.message().bytes.data(), 50);
    protocol::mailboxWord(mailbox, protocol::kMailboxRequestSequence).store(++sequence_);
    return write(requestBell_.get(), &rings, sizeof(rings)) == sizeof(rings);
  }
  // Waits for the reply to the last request posted; false when the channel
  // ended (or nothing came within the bound) first.
  bool awaitReply(LpcDiskMessage& reply) {
    uint8_t* mailbox = mapping_.get() + protocol::mailboxOffset(viewSize_);
    for (;;) {
      if (protocol::mailboxWord(mailbox, protocol::kMailboxReplySequence).load() == sequence_) {
        std::memcpy(reply.message().bytes.data(), mailbox + protocol::kMailboxReply, 50);
        return true;
      }
      pollfd entries[2] = {{replyBell_.get(), POLLIN, 0}, {fd_.get(), POLLIN, 0}};
      if (poll(entries, 2, 15000) <= 0) return false;
      uint64_t rings = 0;
      if (entries[0].revents && read(replyBell_.get(), &rings, sizeof(rings)) != sizeof(rings)) return false;
      if (entries[1].revents && protocol::mailboxWord(mailbox, protocol::kMailboxReplySequence).load() != sequence_) {
        return false;
      }
    }
  }
  // A read through the mailbox; false when the channel ended unanswered.
  bool mailboxRead(uint64_t offset, uint32_t length, LpcDiskMessage& reply) {
    return post(readRequest(offset, length)) && awaitReply(reply);
  }
  static LpcDiskMessage readRequest(uint64_t offset, uint32_t length) {
    LpcDiskMessage request;
    request.setOp(LpcDiskMessage::LPC_OP_READ);
    request.setOffset(offset);
    request.setLength(length);
    const uint16_t type = protocol::kRequestType;
    std::memcpy(request.message().bytes.data() + 4, &type, 2);
    return request;
  }
  // The first `size` bytes of the view.
  std::vector<uint8_t> viewBytes(size_t size) const {
    std::vector<uint8_t> bytes(size);
    if (pread(view_.get(), bytes.data(), size, 0) != static_cast<ssize_t>(size)) bytes.clear();
    return bytes;
  }
  // True while nothing came from the service: no reply, no end.
  bool quiet() const {
    pollfd entry{fd_.get(), POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
  }
  // True once the service has ended the connection (its end read within the bound).
  bool ended() {
    char buffer[64];
    for (int i = 0; i < 4; ++i) {
      const ssize_t got = receive(buffer, sizeof(buffer));
      if (got <= 0) return got == 0 || errno == ECONNRESET;
    }
    return false;
  }

  // Sends a read of sector 0; the size of the reply (0: the connection ended unanswered).
  ssize_t readSectorZero() {
    LpcDiskMessage request;
    request.setOp(LpcDiskMessage::LPC_OP_READ);
    request.setLength(512);
    if (!send(request.message().bytes.data(), 50)) return -1;
    LpcDiskMessage reply;
    return receive(reply.message().bytes.data(), 50);
  }

  bool send(const void* data, size_t size) {
    return ::send(fd_.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  ssize_t receive(void* buffer, size_t size) {
    pollfd entry{fd_.get(), POLLIN, 0};
    if (poll(&entry, 1, 15000) <= 0) return -1;
    return recv(fd_.get(), buffer, size, 0);
  }

 private:
  UniqueFd fd_;
  UniqueFd view_;
  std::shared_ptr<uint8_t> mapping_;  // a channel's view and mailbox
  UniqueFd requestBell_;
  UniqueFd replyBell_;
  uint32_t sequence_ = 0;
  uint32_t viewSize_ = 0;
  uint16_t type_ = 0;  // of its connection requests: none for a single connection
  bool connected_ = false;
};

std::filesystem::path makeDirectory(const std::filesystem::path& path, mode_t mode) {
  mkdir(path.c_str(), mode);
  chmod(path.c_str(), mode);
  return path;
}

// The descriptors this process holds (the listing's own included).
size_t openDescriptorCount() {
  const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

}  // namespace

TEST_F(PortIntegrationTest, SectorZeroFromAnotherProcess) {
  const std::string out = (dir_.path() / "sector0.bin").string();
  const ToolRun run = runTool({"read", "0", "512", "--out", out});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "status=0 result=512\n");
  const std::string sector = readFileBytes(out);
  ASSERT_EQ(sector.size(), 512u);
  EXPECT_EQ(static_cast<uint8_t>(sector[510]), 0x55);
  EXPECT_EQ(static_cast<uint8_t>(sector[511]), 0xAA);
  EXPECT_EQ(static_cast<uint8_t>(sector[450]), 0xEE);
}

TEST_F(PortIntegrationTest, ReadBeyondTheEndFails) {
  const ToolRun run = runTool({"read", std::to_string(diskSize_), "512"});
  EXPECT_EQ(run.output, "status=2 result=0\n");
}

TEST_F(PortIntegrationTest, WriteIsReadBackAndTheImageFileStaysAsItWas) {
  const std::string data(4096, 'w');
  const std::string in = (dir_.path() / "in.bin").string();
  std::ofstream(in, std::ios::binary) << data;
  const std::string offset = std::to_string(34 * 512 + 8192);
  EXPECT_EQ(runTool({"write", offset, in}).output, "status=0 result=4096\n");
  const std::string out = (dir_.path() / "out.bin").string();
  EXPECT_EQ(runTool({"read", offset, "4096", "--out", out}).output, "status=0 result=4096\n");
  EXPECT_TRUE(readFileBytes(out) == data) << "the written bytes come back";
  const std::string file = readFileBytes(dir_.path() / "volume.img");
  EXPECT_TRUE(std::vector<uint8_t>(file.begin(), file.end()) == image_) << "the image file is unchanged";
}

TEST_F(PortIntegrationTest, EachRequestNeedsAConnectionOfItsOwn) {
  RawClient client(socketPath());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.handOver(50, 2 * LpcDiskMessage::kWindowSize, true));
  LpcDiskMessage request;
  request.setOp(LpcDiskMessage::LPC_OP_READ);
  request.setLength(512);
  ASSERT_TRUE(client.send(request.message().bytes.data(), 50));
  LpcDiskMessage reply;
  ASSERT_EQ(client.receive(reply.message().bytes.data(), 50), 50);
  EXPECT_EQ(reply.result(), 512u);
  client.send(request.message().bytes.data(), 50);
  // The service ended the connection after its reply: the client reads its
  // end (0), or a reset when the second request reached it before it closed.
  EXPECT_LE(client.receive(reply.message().bytes.data(), 50), 0) << "no second reply on one connection";
}

// A channel: one socket, its view handed over once, the first connection on
// the socket, every later one through the mailbox; two channels at once each
// get their own data in their own view.
TEST_F(PortIntegrationTest, ChannelsCarryOneConnectionAfterAnother) {
  constexpr uint64_t kImageStart = 34 * 512;  // the partition's first sector on the disk
  RawClient first(socketPath());
  RawClient second(socketPath());
  ASSERT_TRUE(first.openChannel(2 * LpcDiskMessage::kWindowSize, true));
  ASSERT_TRUE(second.openChannel(2 * LpcDiskMessage::kWindowSize, true));
  size_t descriptorsWhileOpen = 0;  // once both channels are served
  for (uint32_t i = 0; i < 20; ++i) {
    if (i == 2) descriptorsWhileOpen = openDescriptorCount();
    RawClient& client = i % 2 ? second : first;
    LpcDiskMessage reply;
    if (i < 2) {
      ASSERT_EQ(client.channelRead(kImageStart + i * 4096, 4096, reply), 50);
      ASSERT_TRUE(client.hasBells()) << "the first reply brings the channel's bells";
    } else {
      ASSERT_TRUE(client.mailboxRead(kImageStart + i * 4096, 4096, reply)) << i;
    }
    EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_OK);
    EXPECT_EQ(reply.result(), 4096u);
    const std::vector<uint8_t> expected(image_.begin() + i * 4096, image_.begin() + (i + 1) * 4096);
    EXPECT_TRUE(client.viewBytes(4096) == expected) << "connection " << i;
  }
  EXPECT_EQ(openDescriptorCount(), descriptorsWhileOpen) << "no descriptor per connection";
}

// The driver's library on a channel, many requests one after another, every
// fifth a write: each reply is the one to its own request (a wake-up left
// over from a reply seen without sleeping is never taken for the next), and
// every read sees the writes before it.
TEST_F(PortIntegrationTest, EveryReplyThroughTheMailboxIsItsOwnRequests) {
  constexpr uint64_t kImageStart = 34 * 512;
  sys::posix::PortClient client(LpcDiskMessage::kPortName);
  ASSERT_TRUE(client.createView(2 * LpcDiskMessage::kWindowSize));
  std::vector<uint8_t> expected = image_;
  for (uint32_t i = 0; i < 300; ++i) {
    const uint32_t length = 512 * (1 + i % 8);
    const uint64_t at = (i * 7919u) % (image_.size() - length) / 512 * 512;
    const auto begin = expected.begin() + static_cast<ptrdiff_t>(at);
    LpcDiskMessage message = RawClient::readRequest(kImageStart + at, length);
    if (i % 5 == 0) {
      std::fill(begin, begin + length, static_cast<uint8_t>(i));
      std::copy(begin, begin + length, client.view() + LpcDiskMessage::kWindowSize);
      message.setOp(LpcDiskMessage::LPC_OP_WRITE);
    }
    ASSERT_EQ(client.request(message.message(), 10s), 0) << client.lastFailure();
    ASSERT_EQ(message.result(), length) << i;
    if (i % 5 != 0) {
      ASSERT_TRUE(std::equal(begin, begin + length, client.view())) << "request " << i;
    }
  }
  const std::string file = readFileBytes(dir_.path() / "volume.img");
  EXPECT_TRUE(std::vector<uint8_t>(file.begin(), file.end()) == image_) << "the image file is unchanged";
}

// A channel that breaks its rules ends; the service and another channel go on.
TEST_F(PortIntegrationTest, AChannelThatBreaksTheRulesEndsAndOthersGoOn) {
  struct Case {
    const char* name;
    // Misbehaves on `client`, whose channel has had a connection on its socket and one through its mailbox.
    void (*misbehave)(RawClient& client);
    bool posts;             // it rings the request bell itself; else a good request follows it
    bool failedReplyFirst;  // the service answers the broken connection with a failed reply
  };
  const Case cases[] = {
      {"a message on the socket between connections",
       [](RawClient& c) { ASSERT_TRUE(c.send("not a port message", 18)); }, false, false},
      {"a request on the socket between connections",
       [](RawClient& c) {
         const LpcDiskMessage request = RawClient::readRequest(0, 512);
         ASSERT_TRUE(c.send(request.message().bytes.data(), 50));
       },
       false, false},
      {"a descriptor on the socket", [](RawClient& c) { ASSERT_TRUE(c.handOver(50, 4096, true)); }, false, false},
      {"the request bell rung twice for one connection",
       [](RawClient& c) { ASSERT_TRUE(c.post(RawClient::readRequest(0, 512), 2)); }, true, false},
      {"a mailbox request that is not a request",
       [](RawClient& c) {
         LpcDiskMessage request = RawClient::readRequest(0, 512);
         const uint16_t type = protocol::kChannelType;
         std::memcpy(request.message().bytes.data() + 4, &type, 2);
         ASSERT_TRUE(c.post(request));
       },
       true, true},
  };
  RawClient other(socketPath());
  ASSERT_TRUE(other.openChannel(2 * LpcDiskMessage::kWindowSize, true));
  LpcDiskMessage reply;
  ASSERT_EQ(other.channelRead(0, 512, reply), 50);
  const size_t before = openDescriptorCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      RawClient client(socketPath());
      ASSERT_TRUE(client.openChannel(2 * LpcDiskMessage::kWindowSize, true));
      ASSERT_EQ(client.channelRead(0, 512, reply), 50);
      ASSERT_TRUE(client.mailboxRead(0, 512, reply));
      ASSERT_EQ(reply.result(), 512u);
      reply = LpcDiskMessage();
      c.misbehave(client);
      if (!c.posts) {
        ASSERT_TRUE(client.post(RawClient::readRequest(0, 512)));
      }
      EXPECT_EQ(client.awaitReply(reply), c.failedReplyFirst);
      if (c.failedReplyFirst) {
        EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_FAILED);
        EXPECT_EQ(reply.result(), 0u);
      }
      EXPECT_TRUE(client.ended());
    }
    ASSERT_TRUE(other.mailboxRead(0, 512, reply)) << "the other channel goes on";
    EXPECT_EQ(reply.result(), 512u);
    EXPECT_EQ(openDescriptorCount(), before) << "the ended channel's socket and bells are closed";
  }
  {
    RawClient closing(socketPath());
    ASSERT_TRUE(closing.openChannel(2 * LpcDiskMessage::kWindowSize, true));
    ASSERT_EQ(closing.channelRead(0, 512, reply), 50);
    ASSERT_TRUE(closing.post(RawClient::readRequest(0, 512)));
  }  // closed in the middle of a connection
  {
    RawClient unsealed(socketPath());
    ASSERT_TRUE(unsealed.openChannel(2 * LpcDiskMessage::kWindowSize, false));
    EXPECT_LE(unsealed.channelRead(0, 512, reply), 0) << "a view that could shrink is refused";
  }
  {
    RawClient noMailbox(socketPath());
    ASSERT_TRUE(noMailbox.openChannel(2 * LpcDiskMessage::kWindowSize, true, true));
    ASSERT_EQ(noMailbox.channelRead(0, 512, reply), 50) << "a memfd without room for the mailbox gets one connection";
    EXPECT_EQ(reply.result(), 512u);
    EXPECT_FALSE(noMailbox.hasBells());
    EXPECT_TRUE(noMailbox.ended());
  }
  {
    RawClient small(socketPath());
    ASSERT_TRUE(small.openChannel(4096, true));
    ASSERT_EQ(small.channelRead(0, 512, reply), 50);
    ASSERT_TRUE(small.mailboxRead(0, 8192, reply));
    EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_FAILED) << "a read larger than the view moves nothing";
    EXPECT_EQ(reply.result(), 0u);
    ASSERT_TRUE(small.mailboxRead(0, 4096, reply)) << "and the channel goes on";
    EXPECT_EQ(reply.result(), 4096u);
  }
  EXPECT_TRUE(other.mailboxRead(0, 512, reply));
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n") << "the port still serves";
}

// New clients that keep silent (before their connection request, or between
// it and their request) hold up no channel and no other new client, and are
// dropped after the bound.
TEST_F(PortIntegrationTest, SilentNewClientsHoldUpNobody) {
  RawClient channel(socketPath());
  ASSERT_TRUE(channel.openChannel(2 * LpcDiskMessage::kWindowSize, true));
  LpcDiskMessage reply;
  ASSERT_EQ(channel.channelRead(0, 512, reply), 50);
  RawClient silent(socketPath());
  RawClient withoutRequest(socketPath());
  ASSERT_TRUE(silent.connected() && withoutRequest.connected());
  ASSERT_TRUE(withoutRequest.handOver(50, 2 * LpcDiskMessage::kWindowSize, true));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(channel.mailboxRead(0, 512, reply));
    EXPECT_EQ(reply.result(), 512u);
  }
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n") << "a new client is served";
  EXPECT_TRUE(silent.quiet() && withoutRequest.quiet()) << "served while the silent ones still wait";
  EXPECT_TRUE(silent.ended());
  EXPECT_TRUE(withoutRequest.ended());
}

TEST_F(PortIntegrationTest, MalformedRequestsGetAFailedReplyOrNoConnection) {
  {
    RawClient shortRequest(socketPath());
    ASSERT_TRUE(shortRequest.handOver(50, 2 * LpcDiskMessage::kWindowSize, true));
    const std::vector<uint8_t> bytes(49, 3);
    ASSERT_TRUE(shortRequest.send(bytes.data(), bytes.size()));
    LpcDiskMessage reply;
    ASSERT_EQ(shortRequest.receive(reply.message().bytes.data(), 50), 50);
    EXPECT_EQ(reply.status(), LpcDiskMessage::LPC_STATUS_FAILED);
    EXPECT_EQ(reply.result(), 0u);
  }
  {
    RawClient unsealed(socketPath());
    ASSERT_TRUE(unsealed.handOver(50, 2 * LpcDiskMessage::kWindowSize, false));
    EXPECT_LE(unsealed.readSectorZero(), 0) << "a view that could shrink is refused";
  }
  {
    RawClient wrongSize(socketPath());
    ASSERT_TRUE(wrongSize.handOver(60, 2 * LpcDiskMessage::kWindowSize, true));
    EXPECT_LE(wrongSize.readSectorZero(), 0) << "a connection request of the wrong size is refused";
  }
  // The port still serves afterwards.
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n");
}

// The service keeps the one view it maps and closes every other descriptor a
// connection request passes, also of a request it refuses.
TEST_F(PortIntegrationTest, PassedDescriptorsAreNotLeftOpen) {
  struct Case {
    const char* name;
    size_t size;
    size_t passed;
    bool answered;
  };
  const Case cases[] = {
      {"one view", 50, 1, true},
      {"two descriptors", 50, 2, false},
      {"three descriptors, more than the service takes in", 50, 3, false},
      {"one view, a request of the wrong size", 60, 1, false},
      {"three descriptors, a request of the wrong size", 60, 3, false},
  };
  // Once the service has refused a connection, it has let go of every earlier one.
  const auto refusedConnection = [this] {
    RawClient client(socketPath());
    ASSERT_TRUE(client.handOver(60, 2 * LpcDiskMessage::kWindowSize, true));
    ASSERT_LE(client.readSectorZero(), 0);
  };
  ASSERT_NO_FATAL_FAILURE(refusedConnection());
  const size_t before = openDescriptorCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int answered = 0;
    for (int i = 0; i < 100; ++i) {
      RawClient client(socketPath());
      ASSERT_TRUE(client.handOver(c.size, 2 * LpcDiskMessage::kWindowSize, true, c.passed));
      if (client.readSectorZero() == 50) ++answered;
    }
    EXPECT_EQ(answered, c.answered ? 100 : 0);
    ASSERT_NO_FATAL_FAILURE(refusedConnection());
    EXPECT_EQ(openDescriptorCount(), before);
  }
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n") << "the port still serves";
}

TEST_F(PortIntegrationTest, OnlyAllowedUsersConnect) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to another user needs root";
  // The directory alone keeps others out.
  EXPECT_EQ(runTool({"read", "0", "512"}, kOtherUid).exitCode, 3);
  // With the directory and the socket open to all, the peer check does.
  chmod(runtimeDir_.c_str(), 0755);
  chmod(socketPath().c_str(), 0777);
  const ToolRun run = runTool({"read", "0", "512"}, kOtherUid);
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n");
}

TEST_F(PortIntegrationTest, TheNameIsTakenWhileThePortLivesAndFreeAfter) {
  LpcServer second;
  EXPECT_FALSE(second.create());
  EXPECT_EQ(second.lastError(), u"LpcServer::create NtCreatePort fail");
  thread_.stop();
  EXPECT_TRUE(second.create());
  second.closePort();
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

TEST_F(PortIntegrationTest, ALeftOverSocketFileDoesNotBlockTheName) {
  thread_.stop();
  {
    UniqueFd stale(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }  // closed without removing its file, as a crashed process leaves it
  ASSERT_TRUE(thread_.start(nullptr));
  EXPECT_EQ(runTool({"read", "0", "512"}).output, "status=0 result=512\n");
}

// The port is made only in a runtime directory that no other user can
// enter, change or replace.
TEST_F(PortIntegrationTest, ARuntimeDirectoryOthersCouldReachOrChangeIsRefused) {
  thread_.stop();
  struct Case {
    const char* name;
    bool needsRoot;
    // Prepares the runtime directory in `base`; its path.
    std::filesystem::path (*prepare)(const std::filesystem::path& base);
  };
  const Case cases[] = {
      {"open to all", false, [](const std::filesystem::path& base) { return makeDirectory(base / "run", 0777); }},
      {"open to the group", false, [](const std::filesystem::path& base) { return makeDirectory(base / "run", 0750); }},
      {"made by another user", true,
       [](const std::filesystem::path& base) {
         const std::filesystem::path run = makeDirectory(base / "run", 0700);
         EXPECT_EQ(chown(run.c_str(), kOtherUid, kOtherUid), 0);
         return run;
       }},
      {"a symbolic link to a directory of ours", false,
       [](const std::filesystem::path& base) {
         std::filesystem::create_directory_symlink(makeDirectory(base / "real", 0700), base / "run");
         return base / "run";
       }},
      {"in a directory every user may change", false,
       [](const std::filesystem::path& base) {
         return makeDirectory(makeDirectory(base / "open", 0777) / "run", 0700);
       }},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    // A short name: the socket's path must fit a socket address.
    const std::filesystem::path base = makeDirectory(dir_.path() / std::to_string(i), 0755);
    const std::filesystem::path run = c.prepare(base);
    setenv("VKBVD_RUNTIME_DIR", run.c_str(), 1);
    LpcServer server;
    EXPECT_FALSE(server.create());
    EXPECT_EQ(server.lastError(), u"LpcServer::create NtCreatePort fail");
    EXPECT_FALSE(std::filesystem::exists(socketPath())) << "no socket is made in it";
  }
}

// The driver's library against a hand-made service that rings the reply
// bell once before the reply is there: the client takes the reply only when
// its sequence number says it is its own, never a wake-up for one.
TEST(PortClientMailboxTest, AWakeUpWithoutItsReplyIsNotTakenForTheReply) {
  TempDir dir;
  const std::filesystem::path runtime = makeDirectory(dir.path() / "run", 0700);
  setenv("VKBVD_RUNTIME_DIR", runtime.c_str(), 1);
  const std::string path = protocol::socketPath(LpcDiskMessage::kPortName);
  UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener.get(), 1), 0);
  // Answers each request with its number as the result.
  std::thread service([&listener] {
    UniqueFd channel(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    sys::PortMessage connection;
    iovec data{connection.bytes.data(), connection.bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    ASSERT_EQ(recvmsg(channel.get(), &header, MSG_CMSG_CLOEXEC), 50);
    int passed = -1;
    std::memcpy(&passed, CMSG_DATA(CMSG_FIRSTHDR(&header)), sizeof(passed));
    const UniqueFd memfd(passed);
    const size_t mapped =
        protocol::mailboxOffset(protocol::getField32(connection, protocol::kClientViewSize)) + protocol::kMailboxSize;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, memfd.get(), 0);
    ASSERT_NE(base, MAP_FAILED);
    uint8_t* mailbox = static_cast<uint8_t*>(base) + mapped - protocol::kMailboxSize;
    LpcDiskMessage message;
    ASSERT_EQ(recv(channel.get(), message.message().bytes.data(), 50, 0), 50);
    message.setResult(1);
    const UniqueFd requestBell(eventfd(0, EFD_CLOEXEC));
    const UniqueFd replyBell(eventfd(0, EFD_CLOEXEC));
    int bells[2] = {requestBell.get(), replyBell.get()};
    alignas(cmsghdr) char bellControl[CMSG_SPACE(sizeof(bells))] = {};
    iovec replyData{message.message().bytes.data(), 50};
    msghdr reply{};
    reply.msg_iov = &replyData;
    reply.msg_iovlen = 1;
    reply.msg_control = bellControl;
    reply.msg_controllen = sizeof(bellControl);
    cmsghdr* c = CMSG_FIRSTHDR(&reply);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(bells));
    std::memcpy(CMSG_DATA(c), bells, sizeof(bells));
    ASSERT_EQ(sendmsg(channel.get(), &reply, MSG_NOSIGNAL), 50);
    uint64_t one = 1;
    for (uint32_t result = 2; result <= 3; ++result) {
      uint64_t rings = 0;
      ASSERT_EQ(read(requestBell.get(), &rings, sizeof(rings)), 8);
      if (result == 3) {
        ASSERT_EQ(write(replyBell.get(), &one, sizeof(one)), 8);  // a wake-up before the reply
        std::this_thread::sleep_for(100ms);
      }
      std::memcpy(message.message().bytes.data(), mailbox + protocol::kMailboxRequest, 50);
      message.setResult(result);
      std::memcpy(mailbox + protocol::kMailboxReply, message.message().bytes.data(), 50);
      const uint32_t sequence = protocol::mailboxWord(mailbox, protocol::kMailboxRequestSequence).load();
      protocol::mailboxWord(mailbox, protocol::kMailboxReplySequence).store(sequence);
      ASSERT_EQ(write(replyBell.get(), &one, sizeof(one)), 8);
    }
    munmap(base, mapped);
  });
  sys::posix::PortClient client(LpcDiskMessage::kPortName);
  ASSERT_TRUE(client.createView(2 * LpcDiskMessage::kWindowSize));
  for (uint32_t expected = 1; expected <= 3; ++expected) {
    LpcDiskMessage message = RawClient::readRequest(0, 512);
    ASSERT_EQ(client.request(message.message(), 10s), 0) << client.lastFailure();
    EXPECT_EQ(message.result(), expected);
  }
  service.join();
  unsetenv("VKBVD_RUNTIME_DIR");
}
