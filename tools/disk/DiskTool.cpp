#include "DiskTool.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "common/Guid.h"
#include "common/LittleEndian.h"
#include "common/WideString.h"
#include "disk/ImageResults.h"
#include "disk/VirtualImageManager.h"
#include "provider/CompressedImage.h"
#include "provider/CompressionFormat.h"
#include "service/DebugLog.h"
#include "service/VersionInfo.h"

namespace {

constexpr uint32_t kMaxRequest = 1024 * 1024;  // the largest request the driver sends

const char* const kUsage =
    "usage: vkbvd-disk info IMAGE [--block-size B]\n"
    "       vkbvd-disk dump IMAGE OUTPUT [--block-size B] [--log PATH]\n"
    "IMAGE is a volume image, raw or compressed (gzip, zstd, xz), or the first part of a set (NAME.001, NAME.aa).\n";

std::string utf8(const std::u16string& text) { return wide::toUtf8(text); }

// How the image (its first part) is stored, as the provider tells it.
vsimgpvd::CompressionFormat formatOf(const std::u16string& image) {
  uint8_t head[8] = {};
  std::ifstream in(std::filesystem::path(image), std::ios::binary);
  in.read(reinterpret_cast<char*>(head), sizeof(head));
  return vsimgpvd::detectCompression(head, static_cast<size_t>(in.gcount()));
}

bool parseBlockSize(const std::u16string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t parsed = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    parsed = parsed * 10 + static_cast<uint32_t>(c - u'0');
  }
  value = parsed;
  return true;
}

// Reads `count` bytes at `offset` of the disk; false when fewer came back.
bool readDisk(std::vector<uint8_t>& buffer, uint64_t offset, uint32_t count) {
  buffer.resize(count);
  return VirtualImageManager::read(buffer.data(), offset, count) == count;
}

// Closes the image and the log on every way out of a command.
struct OpenedImage {
  ~OpenedImage() {
    VirtualImageManager::closeImage();
    closeDebugLog();
  }
};

}  // namespace

int DiskTool::run(const std::vector<std::u16string>& arguments) {
  Options options;
  std::string error;
  if (!parse(arguments, options, error)) {
    std::fprintf(stderr, "vkbvd-disk: %s\n%s", error.c_str(), kUsage);
    return UsageError;
  }
  if (options.command == u"help") {
    std::fputs(kUsage, stdout);
    return Success;
  }
  return options.command == u"info" ? info(options) : dump(options);
}

bool DiskTool::parse(const std::vector<std::u16string>& arguments, Options& options, std::string& error) {
  std::vector<std::u16string> positional;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::u16string& argument = arguments[i];
    const bool takesValue = argument == u"--block-size" || argument == u"--log";
    if (takesValue && i + 1 >= arguments.size()) {
      error = utf8(argument) + " needs a value";
      return false;
    }
    if (argument == u"--block-size") {
      if (!parseBlockSize(arguments[++i], options.blockSize)) {
        error = "--block-size takes a number of bytes, such as 512 or 4096";
        return false;
      }
    } else if (argument == u"--log") {
      options.logPath = arguments[++i];
    } else if (argument == u"--help" || argument == u"-h") {
      options.command = u"help";
      return true;
    } else if (argument.starts_with(u"--")) {
      error = "unknown option " + utf8(argument);
      return false;
    } else {
      positional.push_back(argument);
    }
  }
  if (positional.empty()) {
    error = "no command given";
    return false;
  }
  options.command = positional[0];
  const size_t wanted = options.command == u"info" ? 2 : options.command == u"dump" ? 3 : 0;
  if (wanted == 0) {
    error = "unknown command " + utf8(options.command);
    return false;
  }
  if (positional.size() != wanted) {
    error = utf8(options.command) + (wanted == 2 ? " takes one image" : " takes an image and an output file");
    return false;
  }
  if (options.command == u"info" && !options.logPath.empty()) {
    error = "--log belongs to dump";
    return false;
  }
  options.image = positional[1];
  if (wanted == 3) options.output = positional[2];
  return true;
}

int DiskTool::open(const Options& options, uint64_t& diskSize, uint32_t& blockSize) {
  if (!options.logPath.empty()) {
    openDebugLog(options.logPath.c_str());
    if (!debugLogIsOpen()) {
      std::fprintf(stderr, "vkbvd-disk: cannot write the log %s\n", utf8(options.logPath).c_str());
      return OutputFailed;
    }
    VersionInfo::logReport();
  }
  VirtualImageManager::init();
  diskSize = 0;
  blockSize = options.blockSize;
  const int32_t result = VirtualImageManager::openImage(options.image.c_str(), u"", diskSize, blockSize, nullptr);
  if (result == -14) {
    std::fprintf(stderr,
                 "vkbvd-disk: note: the image is not a whole number of 512-byte sectors; its tail reads as zeros\n");
  } else if (result != 0) {
    std::fprintf(stderr, "vkbvd-disk: %s: %s (code %d)\n", utf8(options.image).c_str(), imageResultText(result),
                 result);
    return OpenFailed;
  }
  return Success;
}

int DiskTool::info(const Options& options) {
  OpenedImage closer;
  uint64_t diskSize = 0;
  uint32_t blockSize = 0;
  if (const int failed = open(options, diskSize, blockSize)) return failed;

  // Everything below is read back from the disk as the driver serves it.
  std::vector<uint8_t> header;
  std::vector<uint8_t> entry;
  if (!readDisk(header, blockSize, blockSize) || !readDisk(entry, uint64_t{2} * blockSize, 128)) {
    std::fprintf(stderr, "vkbvd-disk: the partition table could not be read back\n");
    return OpenFailed;
  }
  const uint64_t first = readLittleEndian(entry.data() + 32, 8);
  const uint64_t last = readLittleEndian(entry.data() + 40, 8);
  const uint64_t sectors = diskSize / blockSize;
  const uint64_t imageSectors = last - first + 1;
  const std::u16string name = readUtf16LittleEndian(entry.data() + 56, 36);
  std::printf("image:                 %s\n", utf8(options.image).c_str());
  const vsimgpvd::CompressionFormat format = formatOf(options.image);
  std::printf("format:                %s\n", utf8(vsimgpvd::compressionName(format)).c_str());
  if (format != vsimgpvd::CompressionFormat::None) {
    std::printf("index:                 %s\n", vsimgpvd::CompressedImage::storedIndexState(options.image).c_str());
  }
  std::printf("block size:            %u\n", blockSize);
  std::printf("primary sectors (P):   %llu\n", static_cast<unsigned long long>(first));
  std::printf("secondary sectors (S): %llu\n", static_cast<unsigned long long>(sectors - first - imageSectors));
  std::printf("image sectors (N):     %llu\n", static_cast<unsigned long long>(imageSectors));
  std::printf("disk size:             %llu bytes (%llu sectors)\n", static_cast<unsigned long long>(diskSize),
              static_cast<unsigned long long>(sectors));
  std::printf("disk GUID:             %s\n", utf8(Guid::fromBytes(header.data() + 56).toString()).c_str());
  std::printf("partition name:        %s\n", utf8(name).c_str());
  std::printf("partition type GUID:   %s\n", utf8(Guid::fromBytes(entry.data()).toString()).c_str());
  std::printf("partition GUID:        %s\n", utf8(Guid::fromBytes(entry.data() + 16).toString()).c_str());
  std::printf("partition first LBA:   %llu\n", static_cast<unsigned long long>(first));
  std::printf("partition last LBA:    %llu\n", static_cast<unsigned long long>(last));
  return Success;
}

int DiskTool::dump(const Options& options) {
  OpenedImage closer;
  uint64_t diskSize = 0;
  uint32_t blockSize = 0;
  if (const int failed = open(options, diskSize, blockSize)) return failed;

  const std::filesystem::path outputPath(options.output);
  std::ofstream output(outputPath, std::ios::binary | std::ios::trunc);
  if (!output) {
    std::fprintf(stderr, "vkbvd-disk: cannot create %s\n", utf8(options.output).c_str());
    return OutputFailed;
  }
  std::vector<uint8_t> buffer;
  for (uint64_t offset = 0; offset < diskSize;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kMaxRequest, diskSize - offset));
    if (!readDisk(buffer, offset, count)) {
      std::fprintf(stderr, "vkbvd-disk: reading %u bytes at disk offset %llu failed\n", count,
                   static_cast<unsigned long long>(offset));
      return OpenFailed;
    }
    if (!output.write(reinterpret_cast<const char*>(buffer.data()), count)) break;
    offset += count;
  }
  output.close();
  if (!output) {
    std::fprintf(stderr, "vkbvd-disk: writing %s failed\n", utf8(options.output).c_str());
    return OutputFailed;
  }
  std::printf("wrote %llu bytes (%llu sectors of %u bytes) to %s\n", static_cast<unsigned long long>(diskSize),
              static_cast<unsigned long long>(diskSize / blockSize), blockSize, utf8(options.output).c_str());
  return Success;
}
