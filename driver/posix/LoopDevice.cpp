#include "LoopDevice.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

// Another process may take the free device between asking and attaching.
constexpr int kAttempts = 8;

}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::attach(int fileFd, uint32_t blockSize, std::shared_ptr<DriverLog> log,
                                               int& error) {
  sys::posix::UniqueFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control.valid()) {
    error = errno;
    log->line("cannot open /dev/loop-control: %s", std::strerror(error));
    return nullptr;
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) {
      error = errno;
      log->line("no free loop device: %s", std::strerror(error));
      return nullptr;
    }
    const std::string path = "/dev/loop" + std::to_string(number);
    sys::posix::UniqueFd device(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!device.valid()) {
      error = errno;
      log->line("cannot open %s: %s", path.c_str(), std::strerror(error));
      return nullptr;
    }
    loop_config config{};
    config.fd = static_cast<uint32_t>(fileFd);
    config.block_size = blockSize;
    // Direct I/O hands each request to the file as it comes (the file has no
    // page cache anyway); the kernel falls back to buffered I/O where it cannot.
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_DIRECT_IO;
    std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), "vkvd disk", LO_NAME_SIZE - 1);
    if (ioctl(device.get(), LOOP_CONFIGURE, &config) == 0) {
      return std::unique_ptr<LoopDevice>(new LoopDevice(number, std::move(device), std::move(log)));
    }
    error = errno;
    if (error != EBUSY) {
      log->line("cannot attach the disk file to %s with %u-byte sectors: %s", path.c_str(), blockSize,
                std::strerror(error));
      return nullptr;
    }
  }
  log->line("every free loop device was taken by others before it could be attached");
  return nullptr;
}

std::unique_ptr<LoopDevice> LoopDevice::adopt(int number, const std::string& file, std::shared_ptr<DriverLog> log) {
  const std::string path = "/dev/loop" + std::to_string(number);
  sys::posix::UniqueFd device(open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (!device.valid()) {
    log->line("cannot open %s: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  // Until it was open, it could have cleared itself and been taken by another.
  if (backingFile(number) != file) return nullptr;
  return std::unique_ptr<LoopDevice>(new LoopDevice(number, std::move(device), std::move(log)));
}

LoopDevice::LoopDevice(int number, sys::posix::UniqueFd fd, std::shared_ptr<DriverLog> log)
    : number_(number), fd_(std::move(fd)), log_(std::move(log)) {}

LoopDevice::~LoopDevice() {
  // The device clears once its last user closes it: at once when that is us.
  if (ioctl(fd_.get(), LOOP_CLR_FD) != 0) {
    log_->line("cannot detach %s: %s", path().c_str(), std::strerror(errno));
  }
}

std::string LoopDevice::backingFile(int number) {
  std::ifstream attribute("/sys/block/loop" + std::to_string(number) + "/loop/backing_file");
  std::string file;
  std::getline(attribute, file);
  return file;
}

int LoopDevice::scanPartitions() {
  loop_info64 info{};
  if (ioctl(fd_.get(), LOOP_GET_STATUS64, &info) != 0) return errno;
  info.lo_flags |= LO_FLAGS_PARTSCAN;
  return ioctl(fd_.get(), LOOP_SET_STATUS64, &info) == 0 ? 0 : errno;
}
