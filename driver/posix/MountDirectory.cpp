#include "MountDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using sys::posix::PrivateDirectory;
using sys::posix::UniqueFd;

namespace {

constexpr mode_t kMode = 0755;

}  // namespace

std::unique_ptr<MountDirectory> MountDirectory::open(const std::string& path, DriverLog& log) {
  // Only the directory itself is made: one whose parent is missing is most
  // likely a mistyped path.
  const bool made = mkdir(path.c_str(), kMode) == 0;
  PrivateDirectory directory(path, PrivateDirectory::Readers::Everyone, PrivateDirectory::Missing::Fail);
  if (!directory.valid()) {
    log.line("the mount directory %s is refused: %s", path.c_str(), directory.refusal().c_str());
    return nullptr;
  }
  // Whatever the umask took away.
  if (made) fchmod(directory.fd(), kMode);
  return std::unique_ptr<MountDirectory>(new MountDirectory(std::move(directory)));
}

UniqueFd MountDirectory::makeMountPoint(const std::string& name, int& error) const {
  if (mkdirat(directory_.fd(), name.c_str(), kMode) != 0) {
    error = errno;
    return {};
  }
  UniqueFd point(openat(directory_.fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!point.valid()) {
    error = errno;
    unlinkat(directory_.fd(), name.c_str(), AT_REMOVEDIR);
  }
  return point;
}

int MountDirectory::removeMountPoint(const std::string& name) const {
  return unlinkat(directory_.fd(), name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}
