// Reading the disk that vkvd presents, end to end: O_DIRECT reads of its
// partition's block device go through the loop device, vkvd's FUSE file and
// the sector port to the service in this process, which reads the image.
// Reported as ratios against the same reads, measured in the same run
// (medians of several rounds, with the spread of the rounds' ratios), from
// two baselines: a loop device on a FUSE file that passes reads straight to
// the raw image (the cost of FUSE and loop alone, set up as vkvd sets up
// its own), and a loop device attached directly to the raw image: 1 MiB
// sequential reads, and 4 KiB reads at random offsets. Beside them, the CPU
// time per read of this process (the reader, the service, the passthrough)
// and vkvd together.
//
//   vkvd_read_bench [MiB] [DIR]     (root; a 256 MiB image in /var/tmp by default)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ConnectRecord.h"
#include "DriverControl.h"
#include "FusePassthrough.h"
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "disk/VirtualImageManager.h"
#include "lpc/LpcThread.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/UniqueFd.h"

namespace {

namespace fs = std::filesystem;
namespace dc = driver_control;
namespace protocol = sys::posix::device_protocol;
using bench::Clock;
using bench::compare;
using bench::makeImage;
using bench::median;
using bench::seconds;
using sys::posix::UniqueFd;

constexpr uint32_t kSequential = 1024 * 1024;
constexpr uint32_t kRandom = 4096;
constexpr int kRounds = 5;
constexpr int kRandomReads = 4000;

// One control request on vkvd's interface; the reply's status, and its
// output in `output`.
uint32_t control(const std::string& interface, const std::vector<uint8_t>& input, uint32_t outputSize,
                 std::vector<uint8_t>& output) {
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, interface.c_str(), sizeof(address.sun_path) - 1);
  const protocol::ControlRequestHeader header{protocol::kRequestMagic, dc::kControlCode,
                                              static_cast<uint32_t>(input.size()), outputSize};
  std::vector<uint8_t> message(sizeof(header) + input.size());
  std::memcpy(message.data(), &header, sizeof(header));
  std::memcpy(message.data() + sizeof(header), input.data(), input.size());
  std::vector<uint8_t> reply(sizeof(protocol::ControlReplyHeader) + protocol::kMaxPayload);
  pollfd entry{fd.get(), POLLIN, 0};
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      send(fd.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()) ||
      poll(&entry, 1, 60000) != 1) {
    return UINT32_MAX;
  }
  const ssize_t size = recv(fd.get(), reply.data(), reply.size(), 0);
  protocol::ControlReplyHeader answer{};
  if (size < static_cast<ssize_t>(sizeof(answer))) return UINT32_MAX;
  std::memcpy(&answer, reply.data(), sizeof(answer));
  output.assign(reply.begin() + sizeof(answer), reply.begin() + size);
  return answer.status;
}

std::vector<uint8_t> connectRecord(uint32_t command, const std::string& imagePath, uint64_t size) {
  std::vector<uint8_t> record(ConnectRecord::kSize, 0);
  for (int i = 0; i < 4; ++i) record[i] = static_cast<uint8_t>(command >> (8 * i));
  ConnectRecord{u"first_tag", wide::fromUtf8(imagePath), size, 512, 0}.writeFields(record.data());
  return record;
}

// vkvd in a process of its own; its interface's path once it serves.
pid_t startVkvd(const std::string& runtime, std::string& interface) {
  std::vector<std::string> args = {VKVD_PROGRAM, "--runtime-dir", runtime, "--log", runtime + ".log"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(121);
  }
  const std::string path = protocol::interfaceClassDirectory(dc::VIRTUAL_DISK_INTERFACE_GUID) + "/vkvd0";
  for (int waited = 0; waited < 2000 && child > 0; ++waited) {
    if (access(path.c_str(), F_OK) == 0) {
      interface = path;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return child;
}

void stopVkvd(pid_t child) {
  kill(child, SIGTERM);
  for (int waited = 0; waited < 3000; ++waited) {
    if (waitpid(child, nullptr, WNOHANG) == child) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "vkvd did not stop within 30 s\n");
}

// Reads of one block device with O_DIRECT into an aligned buffer.
class DirectReader {
 public:
  explicit DirectReader(const std::string& device) : fd_(open(device.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC)) {
    if (posix_memalign(&buffer_, 4096, kSequential) != 0) buffer_ = nullptr;
  }
  ~DirectReader() { std::free(buffer_); }
  DirectReader(const DirectReader&) = delete;
  DirectReader& operator=(const DirectReader&) = delete;

  bool valid() const { return fd_.valid() && buffer_; }

  // MB/s of reading `size` bytes from the start in 1 MiB reads; 0 on failure.
  double sequential(uint64_t size) {
    const auto start = Clock::now();
    for (uint64_t offset = 0; offset < size; offset += kSequential) {
      if (!readAt(offset, kSequential)) return 0;
    }
    return static_cast<double>(size) / seconds(start) / 1e6;
  }

  // Reads per second of 4 KiB at each of `offsets`; 0 on failure.
  double random(const std::vector<uint64_t>& offsets) {
    const auto start = Clock::now();
    for (uint64_t offset : offsets) {
      if (!readAt(offset, kRandom)) return 0;
    }
    return static_cast<double>(offsets.size()) / seconds(start);
  }

 private:
  bool readAt(uint64_t offset, uint32_t length) {
    return pread(fd_.get(), buffer_, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
  }

  UniqueFd fd_;
  void* buffer_ = nullptr;
};

// A loop device on `file`, read-only, with or without direct I/O.
class BaselineLoop {
 public:
  BaselineLoop(const std::string& file, bool directIo) {
    const std::string command =
        "losetup --find --show --read-only --direct-io=" + std::string(directIo ? "on " : "off ") + file;
    FILE* output = popen(command.c_str(), "r");
    char line[64] = {};
    if (output && std::fgets(line, sizeof(line), output)) path_ = std::string(line, std::strcspn(line, "\n"));
    if (output) pclose(output);
  }
  ~BaselineLoop() {
    if (!path_.empty()) [[maybe_unused]]
      const int ignored = std::system(("losetup --detach " + path_).c_str());
  }
  BaselineLoop(const BaselineLoop&) = delete;
  BaselineLoop& operator=(const BaselineLoop&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The rates of one device, round by round, and the CPU time per read.
struct Rates {
  std::vector<double> sequential, random;
  std::vector<double> sequentialCpu, randomCpu;
};

bool measure(const std::vector<std::string>& devices, uint64_t size, pid_t vkvd, std::vector<Rates>& rates) {
  std::vector<std::unique_ptr<DirectReader>> readers;
  for (const std::string& device : devices) {
    readers.push_back(std::make_unique<DirectReader>(device));
    if (!readers.back()->valid()) return false;
  }
  std::mt19937_64 random(7);
  std::vector<uint64_t> offsets(kRandomReads);
  for (auto& offset : offsets) offset = (random() % (size / kRandom)) * kRandom;
  rates.assign(devices.size(), Rates{});
  const auto cpu = [vkvd] { return bench::cpuSeconds(0) + bench::cpuSeconds(vkvd); };
  for (int round = 0; round <= kRounds; ++round) {
    for (size_t i = 0; i < readers.size(); ++i) {
      const double cpuStart = cpu();
      const double sequential = readers[i]->sequential(size);
      const double cpuBetween = cpu();
      const double randomRate = readers[i]->random(offsets);
      const double cpuEnd = cpu();
      if (sequential == 0 || randomRate == 0) return false;
      if (round == 0) continue;  // warm-up
      rates[i].sequential.push_back(sequential);
      rates[i].random.push_back(randomRate);
      rates[i].sequentialCpu.push_back((cpuBetween - cpuStart) / static_cast<double>(size / kSequential));
      rates[i].randomCpu.push_back((cpuEnd - cpuBetween) / kRandomReads);
    }
  }
  return true;
}

// Devices: the raw image's loop, the passthrough's loop, vkvd's partition.
void report(const std::vector<Rates>& r) {
  std::printf(
      "%d rounds, medians of O_DIRECT reads; fuse: a loop device on a FUSE passthrough file of the raw image, "
      "loop: a loop device on the raw image\n",
      kRounds);
  compare("1 MiB sequential", "MB/s", "vkvd", r[2].sequential, "fuse", r[1].sequential, 0.8);
  compare("1 MiB sequential", "MB/s", "vkvd", r[2].sequential, "loop", r[0].sequential, 0);
  compare("1 MiB sequential", "MB/s", "fuse", r[1].sequential, "loop", r[0].sequential, 0);
  compare("4 KiB random", "/s", "vkvd", r[2].random, "fuse", r[1].random, 0.8);
  compare("4 KiB random", "/s", "vkvd", r[2].random, "loop", r[0].random, 0);
  compare("4 KiB random", "/s", "fuse", r[1].random, "loop", r[0].random, 0);
  std::printf(
      "CPU time per read (this process and vkvd): 1 MiB loop %.0f us, fuse %.0f us, vkvd %.0f us; "
      "4 KiB loop %.1f us, fuse %.1f us, vkvd %.1f us\n",
      median(r[0].sequentialCpu) * 1e6, median(r[1].sequentialCpu) * 1e6, median(r[2].sequentialCpu) * 1e6,
      median(r[0].randomCpu) * 1e6, median(r[1].randomCpu) * 1e6, median(r[2].randomCpu) * 1e6);
}

// With the service serving the image and vkvd started, makes the disk,
// measures, and removes the disk again.
bool benchmark(const std::string& interface, pid_t vkvd, const std::string& imagePath, uint64_t imageSize,
               uint64_t diskSize) {
  std::vector<uint8_t> output;
  if (control(interface, connectRecord(dc::CMD_CONNECT_DEVICE, imagePath, diskSize), 4, output) != 0 ||
      output.size() != 4) {
    std::fprintf(stderr, "vkvd did not make the disk (see its log)\n");
    return false;
  }
  const auto loop = static_cast<uint32_t>(readLittleEndian(output.data(), 4));
  const std::string partition = "/dev/loop" + std::to_string(loop) + "p1";
  // The raw image's loop is buffered, as losetup attaches it by default, so
  // that the image is read from the page cache, as the service reads it.
  const BaselineLoop rawLoop(imagePath, false);
  const FusePassthrough passthrough(imagePath, imagePath + ".fuse");
  const BaselineLoop fuseLoop(passthrough.filePath(), true);
  std::vector<Rates> rates;
  const bool measured = !rawLoop.path().empty() && !fuseLoop.path().empty() &&
                        measure({rawLoop.path(), fuseLoop.path(), partition}, imageSize, vkvd, rates);
  if (measured) report(rates);
  control(interface, connectRecord(dc::CMD_DISCONNECT_DEVICE, "", 0), 0, output);
  return measured;
}

}  // namespace

int main(int argc, char** argv) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "vkvd_read_bench needs root (loop devices and FUSE)\n");
    return 1;
  }
  const uint64_t sizeMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const std::string dir = argc > 2 ? argv[2] : "/var/tmp";
  const std::string runtime = dir + "/vkvd-bench-run-" + std::to_string(getpid());
  const std::string imagePath = runtime + ".img";
  setenv("VKBVD_RUNTIME_DIR", runtime.c_str(), 1);
  const uint64_t imageSize = sizeMiB * 1024 * 1024;
  if (!makeImage(imagePath, imageSize)) return 1;

  VirtualImageManager::init();
  uint64_t diskSize = 0;
  uint32_t block = 512;
  const std::u16string image = wide::fromUtf8(imagePath);
  LpcThread service;
  int exitCode = 1;
  if (VirtualImageManager::openImage(image.c_str(), u"", diskSize, block, nullptr) == 0 && service.start(nullptr)) {
    std::string interface;
    const pid_t vkvd = startVkvd(runtime, interface);
    if (!interface.empty() && benchmark(interface, vkvd, imagePath, imageSize, diskSize)) exitCode = 0;
    if (vkvd > 0) stopVkvd(vkvd);
  }
  service.stop();
  VirtualImageManager::closeImage();
  std::error_code ignored;
  fs::remove(imagePath, ignored);
  fs::remove_all(runtime, ignored);
  if (exitCode == 0) fs::remove(runtime + ".log", ignored);
  if (exitCode != 0) std::fprintf(stderr, "vkvd's log: %s.log\n", runtime.c_str());
  return exitCode;
}
