// Reading the disk through the sector port, as the driver does: a driver in
// another process, one connection per request on one channel, data through
// the shared view. Reported as ratios against baselines measured in the same
// run:
//   1 MiB sequential reads against pread of the same bytes from the image file;
//   4 KiB random reads against the bare socket work that one request needed
//   before channels (connect, accept, one 50-byte request and reply, close),
//   and against pread of 4 KiB;
// medians of several rounds with the spread of the rounds' ratios, and the
// CPU time of both processes per 4 KiB request.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/NtStatus.h"
#include "common/WideString.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcDiskMessage.h"
#include "lpc/LpcThread.h"
#include "sys/posix/PortClient.h"
#include "sys/posix/UniqueFd.h"

extern char** environ;

namespace {

using bench::Clock;
using bench::makeImage;
using bench::median;
using bench::seconds;
using sys::posix::UniqueFd;

constexpr uint32_t kSequential = 1024 * 1024;
constexpr uint32_t kRandom = 4096;
constexpr int kRounds = 5;
constexpr int kRandomReads = 20000;

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

// The bare work of one request: accept, one 50-byte request, one reply, close.
void echoServer(int listener, const std::atomic<bool>& stop) {
  char buffer[50];
  while (!stop) {
    UniqueFd connection(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) continue;
    if (recv(connection.get(), buffer, sizeof(buffer), 0) == 50) send(connection.get(), buffer, 50, MSG_NOSIGNAL);
  }
}

// --- the driver process ---

int driver(const std::string& imagePath, uint64_t imageSize, uint64_t primaryAreaSize, const std::string& echoPath) {
  sys::posix::PortClient client(LpcDiskMessage::kPortName);
  if (!client.createView(2 * LpcDiskMessage::kWindowSize)) return 1;
  UniqueFd image(open(imagePath.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> buffer(kSequential);
  auto portRead = [&](uint64_t offset, uint32_t length) {
    LpcDiskMessage message;
    message.setOp(LpcDiskMessage::LPC_OP_READ);
    message.setOffset(offset);
    message.setLength(length);
    const int32_t status = client.request(message.message(), std::chrono::milliseconds(10000));
    if (status != NtStatus::Success || message.result() != length) {
      std::fprintf(stderr, "port read at %llu failed: status 0x%X, reply status %u, result %u\n",
                   static_cast<unsigned long long>(offset), static_cast<unsigned>(status), message.status(),
                   message.result());
      std::exit(1);
    }
  };
  auto bareRequest = [&] {
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const sockaddr_un address = unixAddress(echoPath);
    char message[50] = {};
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        send(fd.get(), message, 50, MSG_NOSIGNAL) != 50 || recv(fd.get(), message, 50, 0) != 50) {
      std::exit(1);
    }
  };

  std::mt19937_64 random(7);
  std::vector<uint64_t> offsets(kRandomReads);
  for (auto& offset : offsets) offset = (random() % (imageSize / kRandom)) * kRandom;

  // CPU time of this driver and of the service, its parent.
  const auto cpu = [] { return bench::cpuSeconds(0) + bench::cpuSeconds(getppid()); };
  std::vector<double> seqPread, seqPort, rndBare, rndPort, rndPread, bareCpu, portCpu;
  for (int round = 0; round <= kRounds; ++round) {
    auto start = Clock::now();
    for (uint64_t offset = 0; offset < imageSize; offset += kSequential) {
      if (pread(image.get(), buffer.data(), kSequential, static_cast<off_t>(offset)) != kSequential) return 1;
    }
    const double pread1m = static_cast<double>(imageSize) / seconds(start) / 1e6;
    start = Clock::now();
    for (uint64_t offset = 0; offset < imageSize; offset += kSequential)
      portRead(primaryAreaSize + offset, kSequential);
    const double port1m = static_cast<double>(imageSize) / seconds(start) / 1e6;

    double cpuStart = cpu();
    start = Clock::now();
    for (int i = 0; i < kRandomReads; ++i) bareRequest();
    const double bare = kRandomReads / seconds(start);
    const double bareCpuPerRequest = (cpu() - cpuStart) / kRandomReads;
    cpuStart = cpu();
    start = Clock::now();
    for (uint64_t offset : offsets) portRead(primaryAreaSize + offset, kRandom);
    const double port4k = kRandomReads / seconds(start);
    const double portCpuPerRequest = (cpu() - cpuStart) / kRandomReads;
    start = Clock::now();
    for (uint64_t offset : offsets) {
      if (pread(image.get(), buffer.data(), kRandom, static_cast<off_t>(offset)) != kRandom) return 1;
    }
    const double pread4k = kRandomReads / seconds(start);
    if (round == 0) continue;  // warm-up
    seqPread.push_back(pread1m);
    seqPort.push_back(port1m);
    rndBare.push_back(bare);
    rndPort.push_back(port4k);
    rndPread.push_back(pread4k);
    bareCpu.push_back(bareCpuPerRequest);
    portCpu.push_back(portCpuPerRequest);
  }
  std::printf("%d rounds, medians (driver in another process, one connection per request on one channel):\n", kRounds);
  bench::compare("1 MiB sequential", "MB/s", "port", seqPort, "pread", seqPread, 0.8);
  bench::compare("4 KiB random", "/s", "port", rndPort, "bare socket", rndBare, 3.0);
  bench::compare("4 KiB random", "/s", "port", rndPort, "pread", rndPread, 0);
  std::printf("CPU time per 4 KiB request, driver and service together: bare socket %.1f us, port %.1f us\n",
              median(bareCpu) * 1e6, median(portCpu) * 1e6);
  return 0;
}

// --- the service process ---

int service(uint64_t sizeMiB, const std::string& dir) {
  const std::string runtime = dir + "/vkbvd-bench-run-" + std::to_string(getpid());
  const std::string imagePath = runtime + ".img";
  const std::string echoPath = runtime + ".echo";
  setenv("VKBVD_RUNTIME_DIR", runtime.c_str(), 1);
  const uint64_t imageSize = sizeMiB * 1024 * 1024;
  if (!makeImage(imagePath, imageSize)) return 1;

  VirtualImageManager::init();
  uint64_t diskSize = 0;
  uint32_t block = 512;
  const std::u16string image = wide::fromUtf8(imagePath);
  LpcThread thread;
  UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const sockaddr_un echoAddress = unixAddress(echoPath);
  int exitCode = 1;
  if (VirtualImageManager::openImage(image.c_str(), u"", diskSize, block, nullptr) == 0 && thread.start(nullptr) &&
      bind(listener.get(), reinterpret_cast<const sockaddr*>(&echoAddress), sizeof(echoAddress)) == 0 &&
      listen(listener.get(), 64) == 0) {
    std::atomic<bool> stop{false};
    std::thread echo(echoServer, listener.get(), std::cref(stop));
    const std::string primary = std::to_string((diskSize - imageSize + block) / 2);
    const std::string size = std::to_string(imageSize);
    std::vector<std::string> args = {"/proc/self/exe", "--driver", imagePath, size, primary, echoPath};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      waitpid(child, &status, 0);
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    stop = true;
    shutdown(listener.get(), SHUT_RDWR);
    echo.join();
  }
  thread.stop();
  VirtualImageManager::closeImage();
  unlink(imagePath.c_str());
  unlink(echoPath.c_str());
  rmdir(runtime.c_str());
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--driver") == 0) {
    return driver(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10), argv[5]);
  }
  return service(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256, argc > 2 ? argv[2] : "/var/tmp");
}
