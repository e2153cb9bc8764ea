#include "IdentityFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "RuntimeDirectory.h"
#include "sys/posix/DeviceProtocol.h"

namespace {

std::string identityDirectory() { return RuntimeDirectory::parentOf(sys::posix::device_protocol::identityFile("")); }

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

int writeWhole(const std::string& path, const std::string& text) {
  sys::posix::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return errno;
  if (write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return errno ? errno : EIO;
  return 0;
}

}  // namespace

std::unique_ptr<IdentityFile> IdentityFile::publish(const std::string& deviceName, std::shared_ptr<DriverLog> log,
                                                    int& error) {
  const std::string path = sys::posix::device_protocol::identityFile(deviceName);
  const std::string partial = path + ".new";
  const std::string text = std::string("vendor=") + kVendor + "\nproduct=" + kProduct + "\nrevision=" + kRevision +
                           "\nserial=" + kSerial + "\n";
  error = RuntimeDirectory::makeDirectories(RuntimeDirectory::parentOf(path));
  if (error == 0) error = writeWhole(partial, text);
  if (error == 0 && rename(partial.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(partial.c_str());
    log->line("cannot publish the identity file %s: %s", path.c_str(), std::strerror(error));
    return nullptr;
  }
  return std::unique_ptr<IdentityFile>(new IdentityFile(path, std::move(log)));
}

IdentityFile::~IdentityFile() {
  if (unlink(path_.c_str()) != 0) log_->line("cannot remove %s: %s", path_.c_str(), std::strerror(errno));
}

void IdentityFile::removeLeftovers(DriverLog& log) {
  const std::string directory = identityDirectory();
  const std::unique_ptr<DIR, DirectoryCloser> listing(opendir(directory.c_str()));
  if (!listing) return;
  while (const dirent* entry = readdir(listing.get())) {
    const std::string path = directory + "/" + entry->d_name;
    if (entry->d_type == DT_REG && unlink(path.c_str()) == 0) {
      log.line("removed %s, left behind by an earlier run", path.c_str());
    }
  }
}
