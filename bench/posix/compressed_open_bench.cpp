// Opening compressed images through the provider against the standard
// decompressors, in one run: the first opening (one pass over the whole
// stream, which builds the index or the decompressed copy) against
// `gzip -dc`, `zstd -dc` and `xz -dc` into /dev/null, and the second (from
// the stored index) against the first; then 1 MiB sequential reads of the
// opened image against the same decompressor, and 4 KiB random reads against
// pread of the raw image and against the rate the decompressor gives for
// the data one random read decodes (on average half the distance between
// access points, and the 1 MiB chunk read). The image
// compresses as a file system does: text, zeros and random blocks.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "disk/VirtualDiskImage.h"

namespace {

using bench::Clock;
using bench::median;
using bench::seconds;

constexpr uint32_t kSequentialRequest = 1024 * 1024;
constexpr uint32_t kRandomRequest = 4096;
constexpr int kRounds = 3;
constexpr size_t kRandomReads = 2000;

struct ReleaseImage {
  void operator()(IVirtualDiskImage* image) const { image->release(); }
};
using ImagePtr = std::unique_ptr<IVirtualDiskImage, ReleaseImage>;

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

// `size` bytes in 1 MiB blocks of text, zeros and random bytes, in a fixed mix.
bool makeCompressibleImage(const std::string& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(7);
  std::string text;
  while (text.size() < kSequentialRequest) text += "a line of a configuration file, or of a log, much like the last\n";
  text.resize(kSequentialRequest);
  std::vector<uint64_t> noise(kSequentialRequest / sizeof(uint64_t));
  const std::string zeros(kSequentialRequest, '\0');
  for (uint64_t block = 0; out && block < size / kSequentialRequest; ++block) {
    switch (block % 10) {
      case 0: case 3: case 6:
        for (auto& word : noise) word = random();
        out.write(reinterpret_cast<const char*>(noise.data()), kSequentialRequest);
        break;
      case 1: case 4: case 7: case 9:
        out.write(text.data(), kSequentialRequest);
        break;
      default:
        out.write(zeros.data(), kSequentialRequest);
    }
  }
  return static_cast<bool>(out);
}

double peakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

double timed(const std::string& command) {
  const auto start = Clock::now();
  if (!run(command)) std::abort();
  return seconds(start);
}

struct Opened {
  ImagePtr image;
  double seconds;
};

Opened openImage(const std::string& path) {
  ImagePtr image(CreateInstanceVirtualDiskImage(nullptr, nullptr));
  const auto start = Clock::now();
  if (image->init(wide::fromUtf8(path).c_str(), nullptr, false, nullptr, nullptr, nullptr) != 0) std::abort();
  return {std::move(image), seconds(start)};
}

double sequentialSeconds(IVirtualDiskImage& image, uint64_t size, std::vector<uint8_t>& buffer) {
  const auto start = Clock::now();
  for (uint64_t offset = 0; offset < size; offset += kSequentialRequest) {
    if (image.read(buffer.data(), offset, kSequentialRequest) != kSequentialRequest) std::abort();
  }
  return seconds(start);
}

// Reads per second at the same random offsets: the raw file, then the image.
std::pair<double, double> randomRates(int rawFd, IVirtualDiskImage& image, const std::vector<uint64_t>& offsets,
                                      std::vector<uint8_t>& buffer) {
  auto start = Clock::now();
  for (uint64_t offset : offsets) {
    if (pread(rawFd, buffer.data(), kRandomRequest, static_cast<off_t>(offset)) != kRandomRequest) std::abort();
  }
  const double raw = static_cast<double>(offsets.size()) / seconds(start);
  start = Clock::now();
  for (uint64_t offset : offsets) {
    if (image.read(buffer.data(), offset, kRandomRequest) != kRandomRequest) std::abort();
  }
  return {raw, static_cast<double>(offsets.size()) / seconds(start)};
}

void report(const char* name, const char* what, const std::vector<double>& values, const char* against,
            const std::vector<double>& baseline, bool timesAreSeconds) {
  // For times the ratio is baseline / value, for rates value / baseline: above 1 is better either way.
  std::vector<double> ratios;
  for (size_t i = 0; i < values.size(); ++i) {
    ratios.push_back(timesAreSeconds ? baseline[i] / values[i] : values[i] / baseline[i]);
  }
  std::printf("%s: %s %.3g against %s %.3g: ratio %.2f (rounds %.2f to %.2f)\n", name, what, median(values), against,
              median(baseline), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string dir = argc > 2 ? argv[2] : "/var/tmp";
  const uint64_t size = mib * kSequentialRequest;
  const std::string raw = dir + "/vkbvd-compressed-bench.img";
  const std::string store = dir + "/vkbvd-compressed-bench-index";
  setenv("VSIMGPVD_INDEX_DIR", store.c_str(), 1);
  std::printf("image: %llu MiB of text, zeros and random blocks, in %s; medians of %d rounds\n",
              static_cast<unsigned long long>(mib), dir.c_str(), kRounds);
  if (!makeCompressibleImage(raw, size)) return 1;
  // gzip (access points about every 1 MiB) and xz in blocks of 3 MiB
  // (xz -T2 -1) are read through their access points; zstd in one frame
  // through its decompressed copy, where a random read decodes nothing.
  const struct {
    const char* name;
    const char* compress;
    const char* decompress;
    double randomReadDecodes;  // MiB a random read decodes on average
  } formats[] = {{"gzip", "gzip -c", "gzip -dc", 1.5}, {"zstd", "zstd -q -c", "zstd -q -dc", 0},
                 {"xz", "xz -T2 -1 -c", "xz -dc", 2.5}};
  const sys::posix::UniqueFd rawFd(open(raw.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<uint8_t> buffer(kSequentialRequest);
  std::mt19937_64 random(3);
  std::vector<uint64_t> offsets(kRandomReads);
  for (auto& offset : offsets) offset = random() % (size / kRandomRequest) * kRandomRequest;

  for (const auto& format : formats) {
    const std::string compressed = raw + "." + format.name;
    if (!run(std::string(format.compress) + " " + raw + " > " + compressed)) return 1;
    std::vector<double> decompressor, opening, reopening, sequential, rawRandom, imageRandom, modelRandom;
    for (int round = 0; round < kRounds; ++round) {
      if (!run("rm -rf " + store)) return 1;
      decompressor.push_back(timed(std::string(format.decompress) + " " + compressed + " > /dev/null"));
      Opened opened = openImage(compressed);
      opening.push_back(opened.seconds);
      reopening.push_back(openImage(compressed).seconds);
      sequential.push_back(sequentialSeconds(*opened.image, size, buffer));
      const auto [rawRate, imageRate] = randomRates(rawFd.get(), *opened.image, offsets, buffer);
      rawRandom.push_back(rawRate);
      imageRandom.push_back(imageRate);
      modelRandom.push_back(static_cast<double>(mib) / decompressor.back() / format.randomReadDecodes);
    }
    std::printf("%s: compressed %llu MiB; index store on disk, and its apparent size: ", format.name,
                static_cast<unsigned long long>(std::filesystem::file_size(compressed) >> 20));
    std::fflush(stdout);
    run("echo $(du -sh " + store + " | cut -f1) $(du -sh --apparent-size " + store + " | cut -f1)");
    report(format.name, "first opening s", opening, format.decompress, decompressor, true);
    report(format.name, "second opening s", reopening, "the first opening", opening, true);
    report(format.name, "1 MiB sequential reads s", sequential, format.decompress, decompressor, true);
    report(format.name, "4 KiB random reads/s", imageRandom, "pread of the raw image", rawRandom, false);
    if (format.randomReadDecodes > 0) {
      const std::string model = "the decompressor's rate for " + std::to_string(format.randomReadDecodes).substr(0, 3) + " MiB";
      report(format.name, "4 KiB random reads/s", imageRandom, model.c_str(), modelRandom, false);
    }
    unlink(compressed.c_str());
  }
  std::printf("peak resident memory of the benchmark: %.0f MiB\n", peakResidentMiB());
  run("rm -rf " + store);
  unlink(raw.c_str());
  return 0;
}
