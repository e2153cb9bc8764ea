#include "DiskChecks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "sys/posix/MountInfo.h"
#include "sys/posix/UniqueFd.h"

namespace fs = std::filesystem;

namespace disk_checks {

namespace {

struct Free {
  void operator()(void* block) const { std::free(block); }
};

// A buffer that O_DIRECT accepts.
std::unique_ptr<uint8_t, Free> alignedBuffer(size_t size) {
  void* block = nullptr;
  return std::unique_ptr<uint8_t, Free>(posix_memalign(&block, 4096, size) == 0 ? static_cast<uint8_t*>(block)
                                                                                : nullptr);
}

}  // namespace

bool canMakeDisks() {
  return geteuid() == 0 && access("/dev/fuse", R_OK | W_OK) == 0 && access("/dev/loop-control", R_OK | W_OK) == 0;
}

std::vector<std::string> loopDevicesBackedFrom(const fs::path& directory) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/sys/block", error)) {
    std::ifstream backing(entry.path() / "loop" / "backing_file");
    std::string file;
    if (std::getline(backing, file) && file.starts_with(directory.string())) found.push_back(entry.path().filename());
  }
  return found;
}

std::vector<std::string> mountsUnder(const fs::path& directory) {
  std::vector<std::string> found;
  std::ifstream mountInfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountInfo, line);) {
    if (line.find(" " + directory.string()) != std::string::npos) found.push_back(line);
  }
  return found;
}

std::vector<Mount> mounts() {
  std::vector<Mount> found;
  std::ifstream mountInfo("/proc/self/mountinfo");
  for (std::string line; std::getline(mountInfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, optional;
    Mount mount;
    if (!(fields >> id >> parent >> device >> root >> mount.point >> mount.options)) continue;
    // Optional fields, up to the separator.
    while (fields >> optional && optional != "-") continue;
    if (!(fields >> mount.type >> mount.source)) continue;
    mount.point = sys::posix::unescapeMountField(mount.point);
    found.push_back(mount);
  }
  return found;
}

bool hasOptions(const Mount& mount, const std::vector<std::string>& options) {
  const std::string own = "," + mount.options + ",";
  for (const std::string& option : options) {
    if (own.find("," + option + ",") == std::string::npos) return false;
  }
  return true;
}

std::vector<fs::path> filesBelow(const fs::path& root) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root));
  }
  return files;
}

int directRead(const std::string& device, off_t offset, size_t size, std::vector<uint8_t>* out) {
  sys::posix::UniqueFd fd(open(device.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
  const auto buffer = alignedBuffer(size);
  if (!fd.valid() || !buffer) return errno;
  const ssize_t got = pread(fd.get(), buffer.get(), size, offset);
  if (got < 0) return errno;
  if (out) out->assign(buffer.get(), buffer.get() + got);
  return got == static_cast<ssize_t>(size) ? 0 : EIO;
}

int directWrite(const std::string& device, off_t offset, const std::vector<uint8_t>& data) {
  sys::posix::UniqueFd fd(open(device.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
  const auto buffer = alignedBuffer(data.size());
  if (!fd.valid() || !buffer) return errno;
  std::memcpy(buffer.get(), data.data(), data.size());
  const ssize_t put = pwrite(fd.get(), buffer.get(), data.size(), offset);
  if (put < 0) return errno;
  return put == static_cast<ssize_t>(data.size()) ? 0 : EIO;
}

}  // namespace disk_checks
