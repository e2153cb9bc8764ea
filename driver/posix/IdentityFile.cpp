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

// Writes `text` as file `name` in `directory`, so that a reader finds the
// old file or the new one whole; an errno.
int replaceWhole(int directory, const std::string& name, const std::string& text) {
  const std::string partial = name + ".new";
  int error = writeWhole(directory, partial, text);
  if (error == 0 && renameat(directory, partial.c_str(), directory, name.c_str()) != 0) error = errno;
  if (error != 0) unlinkat(directory, partial.c_str(), 0);
  return error;
}

std::string identityText() {
  return std::string("vendor=") + IdentityFile::kVendor + "\nproduct=" + IdentityFile::kProduct +
         "\nrevision=" + IdentityFile::kRevision + "\nserial=" + IdentityFile::kSerial + "\n";
}

}  // namespace

std::unique_ptr<IdentityFile> IdentityFile::publish(const RuntimeDirectory& runtime, const std::string& deviceName,
                                                    std::shared_ptr<DriverLog> log, int& error) {
  UniqueFd directory = runtime.openSubdirectory(kDirectory, PrivateDirectory::Missing::Make, error);
  if (directory.valid()) error = replaceWhole(directory.get(), deviceName, identityText());
  if (error != 0) {
    log->line("cannot publish the identity file %s/%s: %s", kDirectory, deviceName.c_str(), std::strerror(error));
    return nullptr;
  }
  return std::unique_ptr<IdentityFile>(new IdentityFile(std::move(directory), deviceName, std::move(log)));
}

void IdentityFile::markVolumesSettled() {
  const std::string text = identityText() + sys::posix::device_protocol::kVolumesSettledLine + "\n";
  const int error = replaceWhole(directory_.get(), name_, text);
  if (error != 0) {
    log_->line("cannot mark the volumes settled in %s/%s: %s", kDirectory, name_.c_str(), std::strerror(error));
  }
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
