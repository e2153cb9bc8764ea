// Reading the virtual disk through VirtualImageManager against pread of the
// same bytes from the image file, in one run: 1 MiB sequential requests over
// the whole disk, and 4 KiB random requests. Both sides read from the page
// cache, so the ratio shows the cost of the disk view itself.
#include <fcntl.h>
#include <unistd.h>

#include "BenchSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "disk/VirtualImageManager.h"

namespace {

using bench::Clock;
using bench::makeImage;
using bench::median;
using bench::seconds;

constexpr uint32_t kSequentialRequest = 1024 * 1024;
constexpr uint32_t kRandomRequest = 4096;
constexpr int kRounds = 7;
constexpr size_t kRandomReads = 100000;

struct Result {
  double baseline;
  double measured;
};

// Bytes per second of sequential 1 MiB reads: pread over the image file, and
// the manager over the whole disk.
Result sequentialRound(int fd, uint64_t imageSize, uint64_t diskSize, std::vector<uint8_t>& buffer) {
  auto start = Clock::now();
  for (uint64_t offset = 0; offset < imageSize; offset += kSequentialRequest) {
    if (pread(fd, buffer.data(), kSequentialRequest, static_cast<off_t>(offset)) <= 0) std::abort();
  }
  const double baseline = static_cast<double>(imageSize) / seconds(start);
  start = Clock::now();
  for (uint64_t offset = 0; offset < diskSize; offset += kSequentialRequest) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kSequentialRequest, diskSize - offset));
    if (VirtualImageManager::read(buffer.data(), offset, count) != count) std::abort();
  }
  return {baseline, static_cast<double>(diskSize) / seconds(start)};
}

// Reads per second of 4 KiB requests at the same random image offsets.
Result randomRound(int fd, uint64_t primaryAreaSize, const std::vector<uint64_t>& offsets,
                   std::vector<uint8_t>& buffer) {
  auto start = Clock::now();
  for (uint64_t offset : offsets) {
    if (pread(fd, buffer.data(), kRandomRequest, static_cast<off_t>(offset)) != kRandomRequest) std::abort();
  }
  const double baseline = static_cast<double>(offsets.size()) / seconds(start);
  start = Clock::now();
  for (uint64_t offset : offsets) {
    if (VirtualImageManager::read(buffer.data(), primaryAreaSize + offset, kRandomRequest) != kRandomRequest) {
      std::abort();
    }
  }
  return {baseline, static_cast<double>(offsets.size()) / seconds(start)};
}

void report(const char* name, const char* unit, double scale, const std::vector<Result>& rounds, double target) {
  std::vector<double> ratios, baselines, measured;
  for (const auto& r : rounds) {
    ratios.push_back(r.measured / r.baseline);
    baselines.push_back(r.baseline / scale);
    measured.push_back(r.measured / scale);
  }
  const double ratio = median(ratios);
  std::printf("%-28s pread %10.1f %s   disk view %10.1f %s   ratio %.3f (target %.2f: %s)\n", name, median(baselines),
              unit, median(measured), unit, ratio, target, ratio >= target ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t sizeMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string dir = argc > 2 ? argv[2] : "/var/tmp";
  const uint64_t imageSize = sizeMiB * 1024 * 1024;
  const std::string path = dir + "/vkbvd-bench-" + std::to_string(getpid()) + ".img";
  if (imageSize == 0 || !makeImage(path, imageSize)) {
    std::fprintf(stderr, "cannot make a %llu MiB image in %s\n", static_cast<unsigned long long>(sizeMiB), dir.c_str());
    return 1;
  }

  uint64_t diskSize = 0;
  uint32_t blockSize = 512;
  VirtualImageManager::init();
  const std::u16string image = wide::fromUtf8(path);
  const int32_t opened = VirtualImageManager::openImage(image.c_str(), u"", diskSize, blockSize, nullptr);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (opened != 0 || fd < 0) {
    std::fprintf(stderr, "cannot open the image (%d)\n", opened);
    unlink(path.c_str());
    return 1;
  }
  // The disk adds P sectors in front of the image and P - 1 behind it.
  const uint64_t primaryAreaSize = (diskSize - imageSize + blockSize) / 2;

  std::vector<uint8_t> buffer(kSequentialRequest);
  std::mt19937_64 random(7);
  std::vector<uint64_t> offsets(kRandomReads);
  for (auto& offset : offsets) offset = (random() % (imageSize / kRandomRequest)) * kRandomRequest;

  sequentialRound(fd, imageSize, diskSize, buffer);  // warm the page cache
  std::vector<Result> sequential, randomReads;
  for (int round = 0; round < kRounds; ++round) {
    sequential.push_back(sequentialRound(fd, imageSize, diskSize, buffer));
    randomReads.push_back(randomRound(fd, primaryAreaSize, offsets, buffer));
  }
  std::printf("image %llu MiB, %d rounds, medians:\n", static_cast<unsigned long long>(sizeMiB), kRounds);
  report("1 MiB sequential", "MB/s", 1e6, sequential, 0.95);
  report("4 KiB random", "k/s ", 1e3, randomReads, 0.90);

  VirtualImageManager::closeImage();
  close(fd);
  unlink(path.c_str());
  return 0;
}
