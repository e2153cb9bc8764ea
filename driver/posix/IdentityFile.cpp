#include "IdentityFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/posix/DeviceProtocol.h"

using sys::posix::PrivateDirectory;
using sys::posix::UniqueFd;

namespace {

constexpr const char* kDirectory = sys::posix::device_protocol::kIdentityDirectory;

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

int writeWhole(int directory, const std::string& name, const std::string& text) {
  UniqueFd fd(openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid()) return errno;
  if (write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return errno ? errno : EIO;
  return 0;
}

}  // namespace

std::unique_ptr<IdentityFile> IdentityFile::publish(const RuntimeDirectory& runtime, const std::string& deviceName,
                                                    std::shared_ptr<DriverLog> log, int& error) {
  const std::string partial = deviceName + ".new";
  const std::string text = std::string("vendor=") + kVendor + "\nproduct=" + kProduct + "\nrevision=" + kRevision +
                           "\nserial=" + kSerial + "\n";
  UniqueFd directory = runtime.openSubdirectory(kDirectory, PrivateDirectory::Missing::Make, error);
  if (directory.valid()) error = writeWhole(directory.get(), partial, text);
  if (error == 0 && renameat(directory.get(), partial.c_str(), directory.get(), deviceName.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    if (directory.valid()) unlinkat(directory.get(), partial.c_str(), 0);
    log->line("cannot publish the identity file %s/%s: %s", kDirectory, deviceName.c_str(), std::strerror(error));
    return nullptr;
  }
  return std::unique_ptr<IdentityFile>(new IdentityFile(std::move(directory), deviceName, std::move(log)));
}

IdentityFile::~IdentityFile() {
  if (unlinkat(directory_.get(), name_.c_str(), 0) != 0) {
    log_->line("cannot remove the identity file %s/%s: %s", kDirectory, name_.c_str(), std::strerror(errno));
  }
}

void IdentityFile::removeLeftovers(const RuntimeDirectory& runtime, DriverLog& log) {
  int error = 0;
  const UniqueFd directory = runtime.openSubdirectory(kDirectory, PrivateDirectory::Missing::Fail, error);
  if (!directory.valid()) {
    if (error != ENOENT) log.line("cannot clear the identity files in %s: %s", kDirectory, std::strerror(error));
    return;
  }
  // The listing takes a descriptor of its own.
  const int listed = openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::unique_ptr<DIR, DirectoryCloser> listing(listed >= 0 ? fdopendir(listed) : nullptr);
  if (!listing) {
    if (listed >= 0) close(listed);
    return;
  }
  while (const dirent* entry = readdir(listing.get())) {
    if (entry->d_type == DT_REG && unlinkat(directory.get(), entry->d_name, 0) == 0) {
      log.line("removed %s/%s, left behind by an earlier run", kDirectory, entry->d_name);
    }
  }
}
